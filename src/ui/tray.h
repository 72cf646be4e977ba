// The notification-area side of the window: the tray menu with its drawn
// margin and the animated tray icon.
#pragma once

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <vector>

namespace vexon {

class TMainForm;

// The tray menu: a 30-pixel margin on the left, filled top to bottom with a
// gradient from green RGB(0,255,0) to dark blue RGB(0,0,63), carrying the
// word "Kelvo" in white bold Courier New 20 pt running upwards from 5 pixels
// above the bottom, clipped to the margin. No check marks.
class TTrayMenu final : public QMenu {
  Q_OBJECT
 public:
  static constexpr int MarginWidth = 30;
  explicit TTrayMenu(QWidget* parent = nullptr);

  // Items by tag: 0 "COM/DCOM Сервер" (default, bold), 1 "Установки",
  // 2 "Помощь", 3 "Выход"; a separator stands before "Выход".
  QAction* Item(int tag) const { return items_[tag]; }

 signals:
  void ShowRequested();
  void SettingsRequested();
  void HelpRequested();
  void ExitRequested();

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QAction* items_[4] = {};
};

// The tray icon: hint, the animation stepping every 500 ms, double click
// showing the window, and the tray menu wired to the window.
class TTrayIcon final : public QObject {
  Q_OBJECT
 public:
  static constexpr int FrameMs = 500;
  explicit TTrayIcon(TMainForm& form);

  QSystemTrayIcon& Icon() { return icon_; }
  TTrayMenu& Menu() { return menu_; }
  int Frame() const { return frame_; }
  // Steps to the next animation image (what the timer does).
  void Step();

 private:
  TMainForm& form_;
  TTrayMenu menu_;
  QSystemTrayIcon icon_;
  QTimer timer_;
  std::vector<QIcon> frames_;
  int frame_ = 0;
};

}  // namespace vexon
