// The operator's help: "Помощь" in the window and in the tray menu, and F1
// in the window. A help file "srvvexon.hlp" beside the program is handed to
// the desktop's viewer; when there is no such file, or no viewer opens it,
// the help is shown in a window of the program's own, so that it is there
// on any desktop, a bare X server included.
#pragma once

#include <QDialog>
#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <functional>

namespace vexon {

// The program's own help window: the text, read-only, and a close button.
// Not modal: the operator may keep it open beside the main window.
class THelpWindow final : public QDialog {
  Q_OBJECT
 public:
  explicit THelpWindow(QWidget* parent = nullptr);
  void SetText(const QString& text);
  QString Text() const { return text_->toPlainText(); }

 private:
  QPlainTextEdit* text_;
};

// "srvvexon.hlp" in `programDir` when it is a file there, else empty.
QString HelpFilePath(const QString& programDir);

// What the program's own window shows: the help file's text when it is
// plain UTF-8 text (a viewer could not open it), else the help the program
// carries itself. `helpFile` may be empty.
QString HelpText(const QString& helpFile);

// The help the program carries itself: the operator window, its buttons,
// the tray icon and the settings, in Russian.
QString BuiltInHelpText();

// How a help file reaches the desktop's viewer. The call starts the viewer
// and calls `done` (on the window thread, now or later) with whether a
// viewer opened the file. The default runs xdg-open and judges by its exit
// status; where xdg-open is missing it asks Qt's own launcher.
using THelpViewer = std::function<void(const QString& file, std::function<void(bool opened)> done)>;

class THelp final : public QObject {
  Q_OBJECT
 public:
  // `owner` is the parent of the help window; `viewer` empty means the
  // desktop's viewer as described above.
  THelp(QString programDir, QWidget* owner, THelpViewer viewer = {});

  // What "Помощь" and F1 do: the help file with the desktop's viewer, or
  // the program's own help window when there is no file or no viewer took
  // it.
  void Show();

  // The program's own help window, once it was needed; null before.
  THelpWindow* Window() const { return window_; }

 private:
  void ShowOwn(const QString& file);
  void OpenWithDesktopViewer(const QString& file, std::function<void(bool)> done);

  QString programDir_;
  QWidget* owner_;
  THelpViewer viewer_;
  QPointer<THelpWindow> window_;
};

}  // namespace vexon
