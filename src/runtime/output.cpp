#include "app/app_delegate.h"

void AppDelegate::consumeOutput(std::string_view chunk) { outputBuffer.append(chunk); }
