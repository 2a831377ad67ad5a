#include "platform/freedesktop/exec_value.h"

#include <sstream>
#include <utility>

namespace zolven::platform {

std::string execArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  // The value is a string first: its backslashes and control characters are escaped again.
  std::string value;
  for (const char c : quoted) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

std::optional<std::vector<std::string>> execArguments(const std::string& value) {
  // The string's own escapes first.
  std::string text;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      text += value[i];
      continue;
    }
    const char next = value[++i];
    switch (next) {
      case 's':
        text += ' ';
        break;
      case 'n':
        text += '\n';
        break;
      case 't':
        text += '\t';
        break;
      case 'r':
        text += '\r';
        break;
      case '\\':
        text += '\\';
        break;
      default:
        text += '\\';
        text += next;
    }
  }
  // Then the arguments: separated by spaces, a quoted one with its own four escapes.
  std::vector<std::string> arguments;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    std::string argument;
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return std::nullopt;  // no closing quote
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size()) {
          const char next = text[i + 1];
          if (next == '"' || next == '`' || next == '$' || next == '\\') ++i;
        }
        argument += text[i];
      }
      ++i;
      if (i < text.size() && text[i] != ' ') return std::nullopt;
    } else {
      for (; i < text.size() && text[i] != ' '; ++i) {
        if (text[i] == '"' || text[i] == '\\' || text[i] == '`' || text[i] == '$')
          return std::nullopt;  // reserved outside quotes
        argument += text[i];
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::optional<std::string> entryProgram(const std::string& entryText) {
  std::istringstream lines(entryText);
  bool inMainGroup = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup || line.rfind("Exec", 0) != 0) continue;
    const size_t equals = line.find_first_not_of(' ', 4);
    if (equals == std::string::npos || line[equals] != '=') continue;  // ExecSomething=
    const size_t start = line.find_first_not_of(' ', equals + 1);
    const std::optional<std::vector<std::string>> arguments =
        execArguments(start == std::string::npos ? "" : line.substr(start));
    if (!arguments) return std::nullopt;
    auto argument = arguments->begin();
    if (argument != arguments->end() && (*argument == "env" || argument->ends_with("/env"))) {
      ++argument;
      while (argument != arguments->end() && argument->find('=') != std::string::npos) ++argument;
    }
    if (argument == arguments->end() || argument->empty()) return std::nullopt;
    return *argument;
  }
  return std::nullopt;
}

}  // namespace zolven::platform
