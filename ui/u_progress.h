// The progress window: modal while a dump-file worker runs, shows the worker's progress, lets the
// user cancel it, and shows the root's result message with an "&Ok" button once the worker ended.
//
// The worker reaches the window only through queued calls (its progress sink and its completion
// callback), so every change happens on the window thread. Closing the window while the worker
// still runs cancels the worker and waits for its end, so that its caller never builds a tree
// from, or frees the root under, a running worker.
#pragma once

#include <QDialog>

#include "dumpfile/u_parsedumpfile.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace ui {

class TFrmprogress final : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmprogress(QWidget* parent = nullptr);
  ~TFrmprogress() override;

  // Prepares the window for one job: "&Cancel", the bar at `position` and visible, `label`.
  void Prepare(const QString& label, int position, dumpfile::TExpFileRoot& root);
  // The sink to give the worker, and its completion callback. Both may be used from any thread.
  dumpfile::ProgressSink& Sink();
  dumpfile::DumpWorker::DoneCallback DoneCallback();
  // The worker the window waits for; set before the worker starts.
  void SetWorker(dumpfile::DumpWorker* worker) { worker_ = worker; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  class BarSink;
  void JobDoneMessage();
  void Button1Click();
  void CancelJob();

  QLabel* Label1;
  QProgressBar* ProgressBar1;
  QPushButton* Button1;
  std::unique_ptr<BarSink> sink_;
  dumpfile::TExpFileRoot* root_ = nullptr;
  dumpfile::DumpWorker* worker_ = nullptr;
  bool done_ = true;
  // Counts jobs, so that a completion left over from an earlier job is told apart.
  int job_ = 0;
};

}  // namespace ui
