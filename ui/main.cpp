// Velmaron for Oracle: one instance per user; a second start brings the running one to the front.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>
#include <memory>

#include "ui/connectform.h"
#include "ui/smallforms.h"
#include "ui/u_main.h"
#include "ui/veldorpw.h"

namespace {

int signalPipe[2] = {-1, -1};

void onTerminate(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velmaron"));
  ui::InstallConnectDialog();
  ui::InstallPasswordDialog();

  std::unique_ptr<ui::TFrmMain> FrmMain;
  {
    ui::TFrmSplash FrmSplash;
    FrmSplash.show();
    QApplication::processEvents();
    QThread::msleep(1000);
    FrmMain = std::make_unique<ui::TFrmMain>(ui::InstanceName());
  }
  if (FrmMain->HandedOver() || !FrmMain->Started()) return FrmMain->HandedOver() ? 0 : 1;

  // SIGTERM and SIGINT close the main window as the user would, so the settings are written.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
    struct sigaction action = {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, FrmMain.get(), [&FrmMain] {
      char byte;
      [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &byte, 1);
      // A modal window first (a reading in progress is stopped and waited for), then the main one.
      for (int i = 0; i < 8; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->close()) break;
      }
      FrmMain->close();
    });
  }

  FrmMain->showMaximized();
  return QApplication::exec();
}
