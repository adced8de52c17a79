// Velmaron for Oracle: one instance per user; a second start brings the running one to the front.
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <memory>

#include "dataset/dberror.h"
#include "oracle/oraclasses.h"
#include "platform/termination.h"
#include "ui/connectform.h"
#include "ui/services.h"
#include "ui/smallforms.h"
#include "ui/u_main.h"
#include "ui/veldorpw.h"

int main(int argc, char** argv) {
  platform::keepRunningPastFileSizeLimit();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velmaron"));
  ui::InstallConnectDialog();
  ui::InstallPasswordDialog();
  // Statements run without blocking end on this thread, as queued calls of its event loop.
  oracle::SetWindowThreadRunner([&app](std::function<void()> task) {
    QMetaObject::invokeMethod(
        &app,
        [task = std::move(task)] {
          try {
            task();
          } catch (const dataset::EAbort&) {
            // The error handler chose to end the operation silently.
          } catch (const std::exception& e) {
            ui::Services().messages->error(nullptr, QString::fromStdString(e.what()));
          }
        },
        Qt::QueuedConnection);
  });
  // The pieces of a LONG value did not match an old-style statement's parameters; the statement
  // goes on. The box waits for the event loop: shown at once, its own loop would run while the
  // statement still holds its connection.
  oracle::SetPieceWarningHandler([&app](const std::string& message) {
    QMetaObject::invokeMethod(
        &app,
        [text = QString::fromStdString(message)] {
          ui::ModalLoop loop;
          QMessageBox::warning(nullptr, QStringLiteral("Warning"), text, QMessageBox::Ok);
        },
        Qt::QueuedConnection);
  });

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
  if (const int requests = platform::watchTerminationRequests(); requests >= 0) {
    auto* notifier = new QSocketNotifier(requests, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, FrmMain.get(), [&FrmMain, requests] {
      platform::takeTerminationRequest(requests);
      // Open boxes and dialogs close first (a reading in progress is stopped and waited for).
      FrmMain->CloseOnRequest();
    });
  }

  FrmMain->showMaximized();
  return QApplication::exec();
}
