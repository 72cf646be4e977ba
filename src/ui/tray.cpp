#include "ui/tray.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

#include "ui/artwork.h"
#include "ui/main_form.h"

namespace vexon {

TTrayMenu::TTrayMenu(QWidget* parent) : QMenu(parent) {
  // The items start after the margin; QMenu lays its items out inside the
  // contents margins, which leaves the strip free for paintEvent.
  setContentsMargins(MarginWidth, 0, 0, 0);
  setSeparatorsCollapsible(false);
  const QPixmap strip = MenuPictureStrip();

  items_[0] = addAction("COM/DCOM Сервер");
  QFont bold = items_[0]->font();
  bold.setBold(true);
  items_[0]->setFont(bold);
  setDefaultAction(items_[0]);
  items_[1] = addAction(QIcon(StripCell(strip, 0)), "Установки");
  items_[2] = addAction(QIcon(StripCell(strip, 1)), "Помощь");
  addSeparator();
  items_[3] = addAction(QIcon(StripCell(strip, 2)), "Выход");
  for (int tag = 0; tag < 4; ++tag) items_[tag]->setData(tag);

  connect(items_[0], &QAction::triggered, this, &TTrayMenu::ShowRequested);
  connect(items_[1], &QAction::triggered, this, &TTrayMenu::SettingsRequested);
  connect(items_[2], &QAction::triggered, this, &TTrayMenu::HelpRequested);
  connect(items_[3], &QAction::triggered, this, &TTrayMenu::ExitRequested);
}

void TTrayMenu::paintEvent(QPaintEvent* e) {
  QMenu::paintEvent(e);
  QPainter g(this);
  const QRect margin(0, 0, MarginWidth, height());
  QLinearGradient gradient(margin.topLeft(), margin.bottomLeft());
  gradient.setColorAt(0, QColor(0, 255, 0));
  gradient.setColorAt(1, QColor(0, 0, 63));
  g.fillRect(margin, gradient);

  g.setClipRect(margin);
  QFont f("Courier New", 20, QFont::Bold);
  f.setStyleHint(QFont::Monospace);
  g.setFont(f);
  g.setPen(Qt::white);
  g.setBackgroundMode(Qt::TransparentMode);
  // Rotated a quarter turn anticlockwise the text runs upwards; its baseline
  // then lies along the right of the glyphs, so the origin is placed at the
  // margin's left edge plus the ascent, 5 pixels above the bottom.
  const QFontMetrics fm(f);
  g.translate(fm.ascent(), margin.bottom() - 5);
  g.rotate(-90);
  g.drawText(0, 0, "Kelvo");
}

TTrayIcon::TTrayIcon(TMainForm& form) : form_(form), frames_(TrayFrames()) {
  icon_.setIcon(frames_[0]);
  icon_.setToolTip("Kelvo-SYSTEM-VEXON COM/DCOM сервер");
  icon_.setContextMenu(&menu_);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) form_.ShowNormal();
  });
  connect(&menu_, &TTrayMenu::ShowRequested, &form_, &TMainForm::ShowNormal);
  connect(&menu_, &TTrayMenu::SettingsRequested, this, [this] { if (form_.OpenSettings) form_.OpenSettings(); });
  connect(&menu_, &TTrayMenu::HelpRequested, this, [this] { if (form_.OpenHelp) form_.OpenHelp(); });
  connect(&menu_, &TTrayMenu::ExitRequested, &form_, &TMainForm::Exit);
  connect(&timer_, &QTimer::timeout, this, &TTrayIcon::Step);
  timer_.start(FrameMs);
  icon_.show();
}

void TTrayIcon::Step() {
  frame_ = (frame_ + 1) % static_cast<int>(frames_.size());
  icon_.setIcon(frames_[static_cast<size_t>(frame_)]);
}

}  // namespace vexon
