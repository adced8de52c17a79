#include "ui/u_progress.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace ui {

class TFrmprogress::BarSink final : public dumpfile::ProgressSink {
 public:
  explicit BarSink(QProgressBar* bar) : bar_(bar) {}
  void setMin(int value) override {
    post([value](QProgressBar* b) { b->setMinimum(value); });
  }
  void setMax(int value) override {
    post([value](QProgressBar* b) { b->setMaximum(value); });
  }
  void setStep(int value) override { step_ = value; }
  void setPosition(int value) override {
    post([value](QProgressBar* b) { b->setValue(value); });
  }
  void stepIt() override {
    const int step = step_;
    post([step](QProgressBar* b) { b->setValue(std::min(b->maximum(), b->value() + step)); });
  }

 private:
  template <class F>
  void post(F f) {
    QPointer<QProgressBar> bar = bar_;
    QMetaObject::invokeMethod(
        bar_,
        [bar, f] {
          if (bar) f(bar.data());
        },
        Qt::QueuedConnection);
  }
  QProgressBar* bar_;
  std::atomic<int> step_{1};
};

TFrmprogress::TFrmprogress(QWidget* parent) : QDialog(parent) {
  setObjectName("Frmprogress");
  setWindowTitle(QStringLiteral("Velmaron for Oracle"));
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel(this);
  Label1->setObjectName("Label1");
  Label1->setMinimumWidth(320);
  Label1->setMaximumWidth(480);
  Label1->setWordWrap(true);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setRange(0, 100);
  Button1 = new QPushButton(QStringLiteral("&Cancel"), this);
  Button1->setObjectName("Button1");
  Button1->setAutoDefault(false);
  layout->addWidget(Label1);
  layout->addWidget(ProgressBar1);
  layout->addWidget(Button1, 0, Qt::AlignHCenter);
  connect(Button1, &QPushButton::clicked, this, &TFrmprogress::Button1Click);
  sink_ = std::make_unique<BarSink>(ProgressBar1);
}

TFrmprogress::~TFrmprogress() = default;

void TFrmprogress::Prepare(const QString& label, int position, dumpfile::TExpFileRoot& root) {
  ++job_;
  root_ = &root;
  worker_ = nullptr;
  done_ = false;
  Button1->setText(QStringLiteral("&Cancel"));
  Button1->setDefault(false);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(position);
  ProgressBar1->setVisible(true);
  Label1->setText(label);
}

dumpfile::ProgressSink& TFrmprogress::Sink() {
  return *sink_;
}

dumpfile::DumpWorker::DoneCallback TFrmprogress::DoneCallback() {
  QPointer<TFrmprogress> self = this;
  const int job = job_;
  return [self, job] {
    QMetaObject::invokeMethod(
        self.data(),
        [self, job] {
          if (self && self->job_ == job) self->JobDoneMessage();
        },
        Qt::QueuedConnection);
  };
}

void TFrmprogress::JobDoneMessage() {
  if (done_) return;
  done_ = true;
  ProgressBar1->setVisible(false);
  Button1->setText(QStringLiteral("&Ok"));
  // Enter closes the result; while the worker runs it cancels nothing.
  Button1->setDefault(true);
  if (root_) {
    Label1->setText(QString::fromStdString(root_->Message()));
    root_->SetCancelled(false);
  }
}

void TFrmprogress::CancelJob() {
  if (root_ && worker_) dumpfile::CancelDumpJob(*root_, *worker_);
}

void TFrmprogress::Button1Click() {
  if (done_) {
    accept();
    return;
  }
  CancelJob();
}

void TFrmprogress::reject() {
  if (!done_) {
    // Esc or the title bar while the worker runs: cancel it and wait for its end.
    CancelJob();
    if (worker_) worker_->WaitFor();
    JobDoneMessage();
  }
  QDialog::reject();
}

void TFrmprogress::closeEvent(QCloseEvent* event) {
  event->ignore();
  reject();
}

}  // namespace ui
