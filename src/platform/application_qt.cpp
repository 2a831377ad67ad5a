#include "platform/application_qt.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <cstdio>

namespace platform {
namespace {

QIcon launcherIcon() {
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

}  // namespace

QtApplication::QtApplication(bool gui) : gui_(gui) {
  // Quit requests that Qt itself delivers (session end, QCoreApplication::quit) go
  // through the delegate like every other.
  QCoreApplication::instance()->installEventFilter(this);
}

QtApplication::~QtApplication() {
  if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

void QtApplication::setActivationPolicy(ActivationPolicy /*policy*/) {
  // A Qt application without windows shows nothing in the task bar or dock on Linux
  // desktops already, which is what the accessory policy asks for.
}

void QtApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  delegate_ = std::move(delegate);
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    auto d = delegate_.lock();
    app->setQuitOnLastWindowClosed(d && d->applicationShouldTerminateAfterLastWindowClosed());
  }
}

void QtApplication::setMainMenu(const Menu& menu) {
  // Without widgets (headless) there is nothing to show a menu in; quit signals remain.
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return;
  menu_ = std::make_unique<QMenu>();
  for (const MenuItem& top : menu.items) {
    for (const MenuItem& item : top.submenu) {
      QAction* action = menu_->addAction(QString::fromStdString(item.title));
      action->setShortcut(commandKey(item.keyEquivalent));
      action->setShortcutContext(Qt::ApplicationShortcut);
      if (item.action == MenuAction::Terminate)
        connect(action, &QAction::triggered, this, [this] { terminate(TerminationCause::Normal); });
    }
  }
  if (!gui_) return;
  if (!tray_) {
    tray_ = std::make_unique<QSystemTrayIcon>(launcherIcon());
    tray_->setToolTip(QStringLiteral("ZOLVEN"));
    // Clicking the icon of a running application brings its page back, as opening it again does.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger) reopen();
            });
  }
  tray_->setContextMenu(menu_.get());
  // Shown even when no tray is there yet: Qt docks the icon once a tray appears.
  tray_->show();
}

int QtApplication::run() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (auto d = delegate_.lock()) d->applicationDidFinishLaunching();
      },
      Qt::QueuedConnection);
  return QCoreApplication::exec();
}

void QtApplication::terminate(TerminationCause cause) {
  if (cause == TerminationCause::Failure) exitStatus_ = 1;
  if (finishing_) return;
  auto d = delegate_.lock();
  const TerminateReply reply = d ? d->applicationShouldTerminate() : TerminateReply::Now;
  if (reply == TerminateReply::Now) finish();
  // Later: replyToApplicationShouldTerminate(true) finishes.
}

void QtApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
  if (shouldTerminate) finish();
}

void QtApplication::finish() {
  finishing_ = true;
  if (tray_) tray_->hide();
  QCoreApplication::exit(exitStatus_);
}

bool QtApplication::eventFilter(QObject* watched, QEvent* event) {
  if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit && !finishing_) {
    terminate(TerminationCause::Normal);
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void QtApplication::reopen() {
  if (auto d = delegate_.lock()) d->applicationShouldHandleReopen(false);
}

void QtApplication::announceURL(const std::string& url) {
  if (gui_) return;
  std::fprintf(stdout, "%s\n", url.c_str());
  std::fflush(stdout);
}

void QtApplication::runModal(const Alert& alert) {
  if (!gui_) {
    std::fprintf(stderr, "%s\n%s\n", alert.messageText.c_str(), alert.informativeText.c_str());
    std::fflush(stderr);
    return;
  }
  QMessageBox box;
  box.setIcon(alert.style == AlertStyle::Critical  ? QMessageBox::Critical
              : alert.style == AlertStyle::Warning ? QMessageBox::Warning
                                                   : QMessageBox::Information);
  box.setWindowTitle(QStringLiteral("ZOLVEN"));
  box.setText(QString::fromStdString(alert.messageText));
  box.setInformativeText(QString::fromStdString(alert.informativeText));
  for (const std::string& title : alert.buttons)
    box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole);
  box.exec();
}

void QtMainQueue::async(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;  // the application has ended; nothing runs any more
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

}  // namespace platform
