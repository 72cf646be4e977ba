// TMainForm: the operator's window. It shows the serial port, whether the
// system is configured, whether the data for work is loaded and the request
// the communication thread last took up; it holds no server state of its own.
//
// It is the operator display: ShowPort, ShowStatus, ShowDataState and
// ShowCommand may be called from any thread. Each posts its values to the
// window's thread and returns at once; the window applies them in the order
// they were called.
//
// Closing or minimising the window hides it; only Exit() ends the event loop
// (the caller then runs the server's shut-down). Ctrl+Alt+D is seen before
// any control and expands the window to show the command list; F1 asks for
// the help.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QToolButton>
#include <QWidget>
#include <functional>

#include "util/operator_display.h"

namespace vexon {

// The application's title: the caption of its message boxes. Window titles
// are their own texts alone.
inline constexpr const char* kApplicationTitle = "KELVO-SYSTEM-VEXON COM/DCOM сервер";

// The font of the window and the dialog.
QFont FormFont();

// A read-only text with a small detail button at its right end.
class TComboEdit final : public QWidget {
  Q_OBJECT
 public:
  explicit TComboEdit(QWidget* parent);
  QLineEdit* Edit() const { return edit_; }
  QToolButton* Button() const { return button_; }
  QString text() const { return edit_->text(); }
  void setText(const QString& t) { edit_->setText(t); }
  // Places the field and its button in the current size; a hidden widget
  // gets its resize event only when first shown.
  void Arrange();

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  QLineEdit* edit_;
  QToolButton* button_;
};

class TMainForm final : public QWidget, public TOperatorDisplay {
  Q_OBJECT
 public:
  // The width is that of the client area; the two heights are those of the
  // whole window, title bar and borders included. Collapsed, the client area
  // ends just below the buttons, so the check box and the command list are
  // out of sight until Ctrl+Alt+D expands the window.
  static constexpr int ClientWidth = 295;
  static constexpr int CollapsedHeight = 201;
  static constexpr int ExpandedHeight = 380;
  // Title bar and borders of a fixed single-border window.
  static constexpr int FrameAllowance = 26;
  static constexpr int ClientHeight(int windowHeight) { return windowHeight - FrameAllowance; }

  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // Operator display; safe from any thread, never waits.
  void ShowPort(int32_t portNumber) override;
  void ShowStatus(bool configured) override;
  void ShowDataState(bool configured, bool cardsPresent) override;
  void ShowCommand(const std::string& text) override;

  // Texts of the detail messages for what the fields read now.
  QString StatusDetail() const;
  QString DataDetail() const;

  // Shows the window in its normal state (tray double click, menu item).
  void ShowNormal();
  // Ends the event loop as the main window's close would.
  void Exit();
  bool Exiting() const { return exiting_; }
  // Whether the window was ever shown; only then has it a place worth
  // keeping.
  bool WasShown() const { return wasShown_; }

  // What the operator's requests do; set by whoever runs the window so tests
  // can watch them without modal dialogs.
  std::function<void(const QString&)> Inform;  // an information message box
  std::function<void()> OpenSettings;          // "Установки"
  std::function<void()> OpenHelp;              // "Помощь" and F1

  // The controls, named for tests and for whoever lays out the tray.
  QLineEdit* SerialEdit;
  TComboEdit* StatusComboEdit;
  TComboEdit* DataComboEdit;
  QLabel* QueryLabel;
  QLineEdit* QueryEdit;
  QLabel* lCommand;
  QToolButton* SetupButton;
  QToolButton* HelpButton;
  QToolButton* ExitButton;
  QCheckBox* HideBufferBox;
  QToolButton* ClearButton;
  QListWidget* CommandList;

 signals:
  void ExitRequested();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void changeEvent(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void showEvent(QShowEvent* e) override;

 private:
  void SetWindowHeight(int h);
  void OnBufferToggled(bool checked);
  bool exiting_ = false;
  bool wasShown_ = false;
};

}  // namespace vexon
