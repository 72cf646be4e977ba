// The tray menu's painted margin checked in a picture of the menu, whatever
// font the system gives for the word in it: every pixel of the margin either
// belongs to the white word (it carries red, which the gradient never does)
// or has the gradient's colour for its row, green at the top to dark blue at
// the bottom. Which columns the word covers depends on the installed fonts,
// so no column is assumed free of it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

namespace vexon::testing {

// `rgb(x, y)` gives a pixel as {red, green, blue}. Returns "" when the margin
// is right, otherwise what is wrong with it.
template <class Pixel>
std::string TrayMarginFaults(int width, int height, int margin, Pixel rgb) {
  if (height <= 60 || width < margin + 3) return "picture too small: " + std::to_string(width) + "x" + std::to_string(height);
  int gradient = 0, white = 0, whiteTop = height;
  std::string faults;
  for (int y = 0; y < height; ++y) {
    const double t = std::clamp((y + 0.5) / (height - 1), 0.0, 1.0);
    const int green = static_cast<int>(255 * (1 - t) + 0.5), blue = static_cast<int>(63 * t + 0.5);
    for (int x = 0; x < margin; ++x) {
      const std::array<int, 3> c = rgb(x, y);
      if (c[0] > 220 && c[1] > 220 && c[2] > 220) {
        ++white;
        whiteTop = std::min(whiteTop, y);
      }
      const bool edge = y == 0 || y == height - 1;
      if (c[0] > 2 && !edge) continue;  // the word, or its anti-aliased edge
      ++gradient;
      if (c[0] > 2 || std::abs(c[1] - green) > 6 || std::abs(c[2] - blue) > 4) {
        if (faults.size() < 400)
          faults += "(" + std::to_string(x) + "," + std::to_string(y) + ") is " + std::to_string(c[0]) + "," +
                    std::to_string(c[1]) + "," + std::to_string(c[2]) + " not 0," + std::to_string(green) + "," +
                    std::to_string(blue) + "; ";
      }
    }
  }
  if (gradient * 10 < margin * height * 6) faults += "only " + std::to_string(gradient) + " pixels of the gradient; ";
  if (white <= 40) faults += "the white word has " + std::to_string(white) + " pixels; ";
  if (whiteTop == 0) faults += "the word reaches the top; ";
  if (const auto c = rgb(margin + 2, 1); c[1] >= 245 && c[0] <= 5) faults += "the gradient leaks right of the margin; ";
  return faults;
}

}  // namespace vexon::testing
