// The window's artwork, drawn in code so the repository carries no binary
// images: the picture beside the indicators, the three button pictures, the
// strip of three menu pictures and the frames of the tray animation.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <vector>

namespace vexon {

// 80 x 160: a door with a card reader.
QPixmap MainPicture();
// 20 x 20 pictures of the buttons: 0 settings, 1 help, 2 exit.
QPixmap ButtonPicture(int index);
// 48 x 16: three 16 x 16 cells (settings, help, exit) side by side.
QPixmap MenuPictureStrip();
// Cell `cell` (0..2) of a strip divided into three equal columns.
QPixmap StripCell(const QPixmap& strip, int cell);
// The tray animation: a reader whose light sweeps round, one image a step.
std::vector<QIcon> TrayFrames();

}  // namespace vexon
