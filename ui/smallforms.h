// The about box, the splash window and the tip window.
#pragma once

#include <QDialog>
#include <QWidget>

class QCheckBox;
class QLabel;
class QTextEdit;

namespace ui {

// The modal about window.
class TFrmAboutBox final : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmAboutBox(QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* LblVersion;
};

// The borderless window shown while the program starts.
class TFrmSplash final : public QWidget {
  Q_OBJECT
 public:
  TFrmSplash();

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The tip window. `TipsAtStartup` and `ShowTipsOnActivate` are the main window's flags, borrowed.
class TFrmTips final : public QDialog {
  Q_OBJECT
 public:
  TFrmTips(bool& tipsAtStartup, bool& showTipsOnActivate, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowTip();

  bool& tipsAtStartup_;
  bool& showTipsOnActivate_;
  int TipIndex = 0;
  QTextEdit* text_;
  QCheckBox* check_;
};

}  // namespace ui
