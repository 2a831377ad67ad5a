#include "platform/qt/desktop_ui.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>

#include "platform/environment.h"

namespace zolven::platform {
namespace {

// The bundle's application icon, at every size it carries; a drawn stand-in when the
// launcher runs outside a bundle made by the bundle tool.
QIcon launcherIcon() {
  QIcon icon;
  const QString icons =
      QCoreApplication::applicationDirPath() + QStringLiteral("/share/icons/hicolor/");
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    const QString file = icons + QStringLiteral("%1x%1/apps/zolven.png").arg(size);
    if (QFileInfo::exists(file)) icon.addFile(file, QSize(size, size));
  }
  if (!icon.isNull()) return icon;

  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x2b, 0x59, 0xc3));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(40);
  painter.setFont(font);
  painter.drawText(QRectF(4, 4, 56, 56), Qt::AlignCenter, QStringLiteral("Z"));
  return QIcon(pixmap);
}

QKeySequence commandKey(const std::string& key) {
  if (key.empty()) return {};
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(key).toUpper());
}

bool isSet(const char* name) { return nonEmptyVariable(name).has_value(); }

// Qt aborts when its display cannot be reached; a fallback to the offscreen platform
// lets us notice that and carry on headless instead.
std::string platformCandidates() {
  std::string candidates;
  if (isSet("QT_QPA_PLATFORM")) {
    candidates = std::getenv("QT_QPA_PLATFORM");
  } else {
    candidates = isSet("WAYLAND_DISPLAY") ? "wayland;xcb" : "xcb";
  }
  return candidates + ";offscreen";
}

// The desktop entry's id (zolven.desktop), which desktops match against a window's class
// (X11) or app id (Wayland) to show the entry's name and icon for it.
constexpr const char* kDesktopEntryId = "zolven";

// The QApplication and its arguments, which must outlive it.
struct QtRuntime {
  int argc = 5;
  std::string program;
  std::string platformArgument = "-platform";
  std::string candidates;
  // The instance part of the X11 window class; the class part is the application name.
  std::string nameArgument = "-name";
  std::string name = kDesktopEntryId;
  char* argv[6] = {};
  std::unique_ptr<QApplication> application;
};

QtRuntime* qtRuntime = nullptr;

}  // namespace

QtDesktopUi::QtDesktopUi() {
  // Quit requests that Qt itself delivers (session end, QCoreApplication::quit) go
  // through the application's terminate path like every other.
  QCoreApplication::instance()->installEventFilter(this);
  QGuiApplication::setQuitOnLastWindowClosed(false);
}

QtDesktopUi::~QtDesktopUi() {
  notifiers_.clear();
  if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

void QtDesktopUi::setMenu(const Menu& menu, std::function<void()> onTerminate) {
  menu_ = std::make_unique<QMenu>();
  for (const MenuItem& top : menu.items) {
    for (const MenuItem& item : top.submenu) {
      QAction* action = menu_->addAction(QString::fromStdString(item.title));
      action->setShortcut(commandKey(item.keyEquivalent));
      action->setShortcutContext(Qt::ApplicationShortcut);
      if (item.action == MenuAction::Terminate)
        connect(action, &QAction::triggered, this, [onTerminate] { onTerminate(); });
    }
  }
  if (!tray_) {
    tray_ = std::make_unique<QSystemTrayIcon>(launcherIcon());
    tray_->setToolTip(QStringLiteral("ZOLVEN"));
    // Clicking the icon of a running application brings its page back, as opening it
    // again does.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger && onReopen_) onReopen_();
            });
  }
  tray_->setContextMenu(menu_.get());
  // Shown even when no tray is there yet: Qt docks the icon once a tray appears.
  tray_->show();
}

void QtDesktopUi::setReopenHandler(std::function<void()> onReopen) {
  onReopen_ = std::move(onReopen);
}

void QtDesktopUi::setQuitRequestHandler(std::function<void()> onQuitRequest) {
  onQuitRequest_ = std::move(onQuitRequest);
}

void QtDesktopUi::watch(int fd, std::function<void()> onReadable) {
  auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(notifier.get(), &QSocketNotifier::activated, this, [onReadable] { onReadable(); });
  notifiers_.push_back(std::move(notifier));
}

void QtDesktopUi::run() {
  if (quitting_) return;
  QCoreApplication::exec();
}

void QtDesktopUi::quit() {
  quitting_ = true;
  if (tray_) tray_->hide();
  QCoreApplication::exit(0);
}

bool QtDesktopUi::eventFilter(QObject* watched, QEvent* event) {
  if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit && !quitting_) {
    if (onQuitRequest_) onQuitRequest_();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void QtDesktopUi::runModal(const Alert& alert) {
  // Not destroyed afterwards: Qt's Wayland client (6.4) can abort the process when a
  // window's buffers are freed on this thread while its event thread dispatches events for
  // them, which a quit signal that closes the alert made happen. The launcher ends after its
  // alerts, and the process's end takes the window down; until then Qt keeps it with the
  // application's other top-level widgets.
  auto* box = new QMessageBox();
  box->setIcon(alert.style == AlertStyle::Critical  ? QMessageBox::Critical
               : alert.style == AlertStyle::Warning ? QMessageBox::Warning
                                                    : QMessageBox::Information);
  box->setWindowTitle(QStringLiteral("ZOLVEN"));
  box->setText(QString::fromStdString(alert.messageText));
  box->setInformativeText(QString::fromStdString(alert.informativeText));
  for (const std::string& title : alert.buttons)
    box->addButton(QString::fromStdString(title), QMessageBox::AcceptRole);
  box->exec();
}

}  // namespace zolven::platform

using zolven::platform::ZolvenAlert;
using zolven::platform::ZolvenCallback;
using zolven::platform::ZolvenDesktopUi;
using zolven::platform::ZolvenMenuItem;

namespace {

using zolven::platform::QtDesktopUi;

QtDesktopUi* own(void* ui) { return static_cast<QtDesktopUi*>(ui); }

std::function<void()> launcherCall(ZolvenCallback callback) {
  return [callback] { callback.call(callback.context); };
}

// The C operations the launcher calls (see platform/linux/desktop_module.h), each over the
// C++ UI: nothing of this module's C++ library crosses into the launcher.
const ZolvenDesktopUi kOperations = {
    .ui = nullptr,
    .setMenu =
        [](void* ui, const ZolvenMenuItem* items, size_t count, ZolvenCallback onTerminate) {
          using namespace zolven::platform;
          MenuItem top;
          for (size_t i = 0; i < count; ++i)
            top.submenu.push_back(MenuItem{
                .title = items[i].title,
                .action = items[i].terminates != 0 ? MenuAction::Terminate : MenuAction::None,
                .keyEquivalent = items[i].keyEquivalent});
          own(ui)->setMenu(Menu{.items = {top}}, launcherCall(onTerminate));
        },
    .setReopenHandler =
        [](void* ui, ZolvenCallback onReopen) {
          own(ui)->setReopenHandler(launcherCall(onReopen));
        },
    .setQuitRequestHandler =
        [](void* ui, ZolvenCallback onQuitRequest) {
          own(ui)->setQuitRequestHandler(launcherCall(onQuitRequest));
        },
    .runModal =
        [](void* ui, const ZolvenAlert* alert) {
          using namespace zolven::platform;
          own(ui)->runModal(Alert{.style = static_cast<AlertStyle>(alert->style),
                                  .messageText = alert->messageText,
                                  .informativeText = alert->informativeText,
                                  .buttons = std::vector<std::string>(
                                      alert->buttons, alert->buttons + alert->buttonCount)});
        },
    .watch = [](void* ui, int fd,
                ZolvenCallback onReadable) { own(ui)->watch(fd, launcherCall(onReadable)); },
    .run = [](void* ui) { own(ui)->run(); },
    .quit = [](void* ui) { own(ui)->quit(); },
    .destroy = [](void* ui) { delete own(ui); },
};

}  // namespace

// The module's entry point (see platform/linux/desktop_module.h).
extern "C" __attribute__((visibility("default"))) int zolven_create_desktop_ui(
    const char* programName, ZolvenDesktopUi* out, char* error, size_t errorSize) {
  using namespace zolven::platform;
  if (qtRuntime == nullptr) {
    auto* runtime = new QtRuntime;  // lives for the process: Qt keeps the arguments
    runtime->program = programName;
    runtime->candidates = platformCandidates();
    runtime->argv[0] = runtime->program.data();
    runtime->argv[1] = runtime->platformArgument.data();
    runtime->argv[2] = runtime->candidates.data();
    runtime->argv[3] = runtime->nameArgument.data();
    runtime->argv[4] = runtime->name.data();
    QCoreApplication::setApplicationName(QString::fromLatin1(kDesktopEntryId));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopEntryId));
    runtime->application = std::make_unique<QApplication>(runtime->argc, runtime->argv);
    qtRuntime = runtime;
  }
  const bool askedOffscreen = qtRuntime->candidates.rfind("offscreen", 0) == 0;
  if (QGuiApplication::platformName() == QStringLiteral("offscreen") && !askedOffscreen) {
    if (error != nullptr && errorSize > 0)
      std::snprintf(error, errorSize, "%s", "no display could be reached");
    return 0;
  }
  *out = kOperations;
  out->ui = new QtDesktopUi();
  return 1;
}
