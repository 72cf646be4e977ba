// srvvexon built with the operator window, started as a process: with a
// display (here Qt's offscreen platform) it runs the window and still serves
// its clients, and a stop signal ends it through the normal shut-down, which
// also keeps the position of a window that was shown; without any display,
// or with one that cannot be reached, it runs headless.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "tray_margin_check.h"
#include "journals/crc32.h"

namespace vexon::testing {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Standard output of a shell command (empty when it fails).
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool Have(const char* program) { return Output(std::string("command -v ") + program).size() > 0; }

// A PNG of 8-bit RGB pixels (0xRRGGBB each), for a person to look at after
// the run: no compression (stored deflate blocks), which every viewer reads.
bool WritePng(const std::string& path, int w, int h, const std::vector<uint32_t>& rgb) {
  if (w <= 0 || h <= 0 || rgb.size() != static_cast<size_t>(w) * static_cast<size_t>(h)) return false;
  auto be32 = [](std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((v >> shift) & 255));
  };
  std::string png("\x89PNG\r\n\x1a\n", 8);
  auto chunk = [&](const char* type, const std::string& data) {
    be32(png, static_cast<uint32_t>(data.size()));
    const std::string body = type + data;
    png += body;
    be32(png, Crc32(0, reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  };
  std::string header;
  be32(header, static_cast<uint32_t>(w));
  be32(header, static_cast<uint32_t>(h));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  chunk("IHDR", header);

  std::string raw;  // each row: filter type 0, then R, G, B a pixel
  for (int y = 0; y < h; ++y) {
    raw.push_back('\0');
    for (int x = 0; x < w; ++x) {
      const uint32_t p = rgb[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
      for (int shift = 16; shift >= 0; shift -= 8) raw.push_back(static_cast<char>((p >> shift) & 255));
    }
  }
  std::string z("\x78\x01", 2);  // zlib stream, 32 KiB window
  for (size_t at = 0; at < raw.size();) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    z.push_back(at + n == raw.size() ? '\1' : '\0');  // stored block, last or not
    z.push_back(static_cast<char>(n & 255));
    z.push_back(static_cast<char>(n >> 8));
    z.push_back(static_cast<char>(~n & 255));
    z.push_back(static_cast<char>((~n >> 8) & 255));
    z.append(raw, at, n);
    at += n;
  }
  uint32_t a = 1, b = 0;
  for (const char ch : raw) {
    a = (a + static_cast<unsigned char>(ch)) % 65521;
    b = (b + a) % 65521;
  }
  be32(z, b << 16 | a);
  chunk("IDAT", z);
  chunk("IEND", "");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

// Each test names the display the server sees before the fixture starts it.
class WindowE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
      if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
      ::unsetenv(v);
    }
    if (Platform()) ::setenv("QT_QPA_PLATFORM", Platform(), 1);
    BeforeServerStarts();
    E2eTest::SetUp();
  }
  void TearDown() override {
    E2eTest::TearDown();
    ::unsetenv("QT_QPA_PLATFORM");
    for (const auto& [k, v] : saved_) ::setenv(k.c_str(), v.c_str(), 1);
  }
  virtual const char* Platform() const { return "offscreen"; }
  virtual void BeforeServerStarts() {}
  std::vector<std::pair<std::string, std::string>> saved_;
};

class NoDisplayE2eTest : public WindowE2eTest {
 protected:
  const char* Platform() const override { return nullptr; }
};

// DISPLAY names an X display that nothing serves: no socket of that number
// on this machine.
class UnreachableDisplayE2eTest : public NoDisplayE2eTest {
 protected:
  void BeforeServerStarts() override {
    const std::string sockets = ReadText("/proc/net/unix");
    for (int n = 90; n < 1000; ++n) {
      const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
      if (sockets.find(path + "\n") == std::string::npos && !std::filesystem::exists(path)) {
        display_ = ":" + std::to_string(n);
        break;
      }
    }
    ASSERT_FALSE(display_.empty()) << "every display number from 90 to 999 is in use";
    ::setenv("DISPLAY", display_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("DISPLAY");
    NoDisplayE2eTest::TearDown();
  }
  std::string display_;
};

TEST_F(WindowE2eTest, ServesClientsWithTheWindowAndShutsDownInOrder) {
  OpenAndAutoconfigure();
  EXPECT_EQ(Call("sysvexon_GetOpenSerialPortNumber")["PortNumber"], 1);
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  // The shut-down saved the configuration and the window's position.
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin") % 60, 0u);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  const std::string ini = ReadText(dir_ + "/none.ini");
  EXPECT_NE(ini.find("[Main Form]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Left="), std::string::npos) << ini;

  // The next start places the window where the file says, before it is ever
  // shown, and the next shut-down keeps that place and the other sections.
  std::ofstream(dir_ + "/none.ini") << "[SETTINS]\nMinimizeOnRun=0\nForwardAntiPass=1\n[Main Form]\nLeft=37\nTop=41\n";
  StartServer();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  const std::string again = ReadText(dir_ + "/none.ini");
  EXPECT_NE(again.find("Left=37\nTop=41"), std::string::npos) << again;
  EXPECT_NE(again.find("ForwardAntiPass=1"), std::string::npos) << again;
}

// SIGHUP is an orderly stop with the window too.
TEST_F(WindowE2eTest, SighupEndsTheServerThroughTheNormalShutDown) {
  OpenAndAutoconfigure();
  client_.Close();
  std::filesystem::remove(dir_ + "/new_sys.bin");
  ASSERT_EQ(server_.Stop(SIGHUP), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_NE(ReadText(dir_ + "/none.ini").find("[Main Form]"), std::string::npos);
}

// A virtual X server of its own, without a tray host: the server shows its
// window at start, and the test works it with real mouse input.
class XvfbWindowE2eTest : public WindowE2eTest {
 protected:
  void SetUp() override {
    for (const char* p : {"Xvfb", "xdotool", "xclip"})
      if (!Have(p)) GTEST_SKIP() << p << " is not installed (scripts/install-deps installs it)";
    // A display number of this process's own, told by Xvfb once it listens.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // -noreset: by default the X server resets when its last client leaves,
    // and a client connecting meanwhile (the server, trayer) is refused; the
    // test's own xdotool calls come and go all the time.
    ASSERT_TRUE(xvfb_.Start({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24",
                             "-nolisten", "tcp", "-noreset"}));
    ::close(fds[1]);
    char buf[32] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    ASSERT_GT(n, 0) << "Xvfb did not start";
    display_ = ":" + std::to_string(std::atoi(buf));
    WindowE2eTest::SetUp();
  }
  void TearDown() override {
    if (!display_.empty()) {
      WindowE2eTest::TearDown();
      ::unsetenv("DISPLAY");
    }
    xvfb_.Stop();
  }
  const char* Platform() const override { return nullptr; }
  void BeforeServerStarts() override { ::setenv("DISPLAY", display_.c_str(), 1); }
  std::string X(const std::string& args) { return Output("DISPLAY=" + display_ + " " + args + " 2>/dev/null"); }
  // The titles of the server's mapped windows, as the X server holds them
  // (_NET_WM_NAME, UTF-8), one a line.
  std::string Titles() {
    std::string all;
    std::istringstream ids(X("xdotool search --onlyvisible --class srvvexon"));
    for (std::string id; std::getline(ids, id);) all += X("xdotool getwindowname " + id) + "\n";
    return all;
  }
  // The server's mapped window whose title is exactly `title`, once there
  // is one; "" when none came.
  std::string WindowTitled(const std::string& title) {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      std::istringstream ids(X("xdotool search --onlyvisible --class srvvexon"));
      for (std::string id; std::getline(ids, id);)
        if (X("xdotool getwindowname " + id) == title) return id;
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // The server's window once it is mapped.
  std::string Window() {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const std::string id = X("xdotool search --onlyvisible --name 'System-Vexon'");
      if (!id.empty()) return id.substr(0, id.find('\n'));
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Double-clicks a field (selecting its word) and reads the X selection.
  std::string FieldText(const std::string& window, int x, int y) {
    X("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
      " click --repeat 2 --delay 50 1");
    return X("xclip -o -selection primary");
  }

  TProcess xvfb_;
  std::string display_;
};

TEST_F(XvfbWindowE2eTest, TheExitButtonEndsTheServerThroughTheNormalShutDown) {
  const std::string window = Window();
  ASSERT_FALSE(window.empty()) << "no window on " << display_;
  OpenAndAutoconfigure();
  const auto r = Call("sysvexon_SetTimer");  // a block transfer, for the exchange log
  ASSERT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  // The port field (232, 16, 57 x 21) shows the port the client opened.
  std::string port;
  const auto t0 = std::chrono::steady_clock::now();
  while ((port = FieldText(window, 260, 26)) != "COM1" && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(port, "COM1");
  client_.Close();

  // "Выход" (256, 144, 32 x 25), clicked like an operator does.
  X("xdotool mousemove --window " + window + " 272 156 click 1");
  ASSERT_EQ(server_.WaitExit(30000), 0) << "the server did not end by itself";
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin"), 180u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "an orderly stop";
  std::ifstream log(dir_ + "/SrvVexon.Log", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" END All: 1  With Error: 0\r\n"), std::string::npos) << text;
  const std::string ini = ReadText(dir_ + "/none.ini");
  EXPECT_NE(ini.find("[Main Form]"), std::string::npos) << ini;
}

// Each window's title on the X server is its own text alone: the window's,
// the settings dialog's and that of the help the program shows itself when
// there is no help file beside it (there is none beside a built program).
TEST_F(XvfbWindowE2eTest, TheWindowAndItsDialogsCarryTheirOwnTitles) {
  const std::string window = Window();
  ASSERT_FALSE(window.empty()) << "no window on " << display_;
  EXPECT_EQ(X("xdotool getwindowname " + window), "System-Vexon COM/DCOM сервер");

  // "Установки" (176, 144, 32 x 25) opens the dialog; its "Отмена" (116, 8
  // in the panel at 0, 61, 100 x 25) closes it without writing.
  X("xdotool mousemove --window " + window + " 192 156 click 1");
  const std::string setup = WindowTitled("Установки");
  ASSERT_FALSE(setup.empty()) << "no window titled Установки among:\n" << Titles();
  X("xdotool mousemove --window " + setup + " 166 81 click 1");
  const auto t0 = std::chrono::steady_clock::now();
  while (X("xdotool search --onlyvisible --name 'Установки'") != "" &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(X("xdotool search --onlyvisible --name 'Установки'"), "") << "Отмена did not close the dialog";

  // "Помощь" (216, 144, 32 x 25): no help file and no viewer, so the
  // program's own help window.
  X("xdotool mousemove --window " + window + " 232 156 click 1");
  EXPECT_FALSE(WindowTitled("Помощь").empty()) << "no window titled Помощь among:\n" << Titles();

  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_EQ(ReadText(dir_ + "/none.ini").find("[SETTINS]"), std::string::npos) << "the cancelled dialog wrote";
}

// The same virtual X server with a tray host (trayer) started before the
// server: the server sits in the tray instead of showing its window, and the
// test opens the tray icon's menu with a real right click and picks "Выход".
class TrayXvfbWindowE2eTest : public XvfbWindowE2eTest {
 protected:
  struct TBox {
    int X = 0, Y = 0, W = 0, H = 0;
    bool Inside(const TBox& o) const { return X >= o.X && Y >= o.Y && X + W <= o.X + o.W && Y + H <= o.Y + o.H; }
  };
  void SetUp() override {
    for (const char* p : {"trayer", "xwd"})
      if (!Have(p)) GTEST_SKIP() << p << " is not installed (scripts/install-deps installs it)";
    XvfbWindowE2eTest::SetUp();
  }
  void TearDown() override {
    XvfbWindowE2eTest::TearDown();
    trayer_.Stop();
  }
  void BeforeServerStarts() override {
    XvfbWindowE2eTest::BeforeServerStarts();
    // A panel at the top right, as wide as its icons; the server must find
    // the tray when it starts, so the panel is waited for first.
    ASSERT_TRUE(trayer_.Start({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                               "--height", "24", "--SetDockType", "true", "--transparent", "false"}));
    const auto t0 = std::chrono::steady_clock::now();
    while (!(panel_ = Panel()) && trayer_.WaitExit(0) == -2 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::optional<TBox> Geometry(const std::string& window) {
    std::istringstream in(X("xdotool getwindowgeometry --shell " + window));
    TBox b;
    int seen = 0;
    for (std::string line; std::getline(in, line);) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string k = line.substr(0, eq);
      const int v = std::atoi(line.c_str() + eq + 1);
      if (k == "X") b.X = v, ++seen;
      if (k == "Y") b.Y = v, ++seen;
      if (k == "WIDTH") b.W = v, ++seen;
      if (k == "HEIGHT") b.H = v, ++seen;
    }
    if (seen != 4) return std::nullopt;
    return b;
  }
  std::optional<TBox> Panel() {
    // trayer's panel is its only mapped window.
    const std::string id = X("xdotool search --onlyvisible --class '^trayer$'");
    if (id.empty()) return std::nullopt;
    return Geometry(id.substr(0, id.find('\n')));
  }
  // The server's mapped windows with their places.
  std::vector<std::pair<std::string, TBox>> ServerWindows() {
    std::vector<std::pair<std::string, TBox>> out;
    std::istringstream ids(X("xdotool search --onlyvisible --class srvvexon"));
    for (std::string id; std::getline(ids, id);)
      if (auto b = Geometry(id)) out.emplace_back(id, *b);
    return out;
  }
  // Polls `find` with each of the server's windows and the panel's place
  // as it is now (the panel grows as icons join it) until it yields a
  // window or the time is up.
  template <class F>
  std::optional<std::pair<std::string, TBox>> WaitFor(F find) {
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
      const std::optional<TBox> panel = Panel();
      for (const auto& w : ServerWindows())
        if (panel && find(w.second, *panel)) return w;
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(20)) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // A window's pixels as the X server holds them (xwd, 32 bits a pixel,
  // red in the high byte), RGB each; empty when xwd gave something else.
  struct TShot {
    int W = 0, H = 0;
    std::vector<uint32_t> Rgb;
    int R(int x, int y) const { return (Rgb[static_cast<size_t>(y * W + x)] >> 16) & 255; }
    int G(int x, int y) const { return (Rgb[static_cast<size_t>(y * W + x)] >> 8) & 255; }
    int B(int x, int y) const { return Rgb[static_cast<size_t>(y * W + x)] & 255; }
  };
  TShot Capture(const std::string& window, const std::string& file) {
    X("xwd -silent -id " + window + " -out " + file);
    const std::string d = ReadText(file);
    auto field = [&](size_t i) -> uint32_t {
      const auto* p = reinterpret_cast<const unsigned char*>(d.data()) + 4 * i;
      return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    };
    TShot shot;
    if (d.size() < 100) return shot;
    const uint32_t headerSize = field(0), w = field(4), h = field(5), lsbFirst = field(7) == 0, bpp = field(11),
                   bytesPerLine = field(12), redMask = field(14), colours = field(19);
    const size_t data = size_t{headerSize} + size_t{colours} * 12;
    if (bpp != 32 || redMask != 0xff0000 || w == 0 || w > 4096 || h > 4096 ||
        d.size() < data + size_t{bytesPerLine} * h)
      return shot;
    shot.W = static_cast<int>(w);
    shot.H = static_cast<int>(h);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        const auto* p = reinterpret_cast<const unsigned char*>(d.data()) + data + y * bytesPerLine + 4 * x;
        shot.Rgb.push_back(lsbFirst ? (uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0])
                                    : (uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]));
      }
    return shot;
  }
  // Captures the window again until `painted` holds for the picture (a
  // window may be mapped before it is painted) or the time is up.
  template <class P>
  TShot CaptureWhen(const std::string& window, const std::string& file, P painted) {
    TShot shot;
    const auto t0 = std::chrono::steady_clock::now();
    while (((shot = Capture(window, file)).W == 0 || !painted(shot)) &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return shot;
  }
  // With VEXON_UI_SHOTS_DIR set, the picture is kept there as a PNG.
  void SaveArtefact(const TShot& shot, const char* name) {
    const char* dir = std::getenv("VEXON_UI_SHOTS_DIR");
    if (dir && *dir && shot.W > 0) {
      EXPECT_TRUE(WritePng(std::string(dir) + "/" + name, shot.W, shot.H, shot.Rgb)) << "cannot write " << name;
    }
  }
  // The tray icon: the server's window that the tray host embedded in its
  // panel.
  std::optional<TBox> TrayIcon() {
    const auto icon = WaitFor([](const TBox& b, const TBox& panel) { return b.W > 0 && b.Inside(panel); });
    if (!icon) return std::nullopt;
    return icon->second;
  }

  TProcess trayer_;
  std::optional<TBox> panel_;
};

TEST_F(TrayXvfbWindowE2eTest, TheTrayMenusExitEndsTheServerThroughTheNormalShutDown) {
  ASSERT_TRUE(panel_.has_value()) << "trayer showed no panel on " << display_;
  const auto icon = TrayIcon();
  ASSERT_TRUE(icon.has_value()) << "no tray icon in trayer's panel";
  const TBox at = *icon;
  EXPECT_EQ(X("xdotool search --onlyvisible --name 'System-Vexon'"), "") << "with a tray the window starts hidden";

  OpenAndAutoconfigure();
  client_.Close();
  std::filesystem::remove(dir_ + "/new_sys.bin");

  // A right click on the icon opens its menu beside the pointer.
  X("xdotool mousemove " + std::to_string(at.X + at.W / 2) + " " + std::to_string(at.Y + at.H / 2) + " click 3");
  const auto menu =
      WaitFor([](const TBox& b, const TBox& panel) { return !b.Inside(panel) && b.H > 60 && b.W > 100; });
  ASSERT_TRUE(menu.has_value()) << "the right click opened no menu";
  const TBox m = menu->second;

  // The menu as the X server shows it: the 30-pixel margin runs from green
  // at the top to dark blue at the bottom and carries the white word, in
  // whatever font the system gives. The menu may be mapped before it is
  // painted, so it is captured again until its top row turns green (the word
  // never reaches the top).
  const TShot shot = CaptureWhen(menu->first, dir_ + "/tray_menu.xwd", [](const TShot& s) { return s.G(27, 0) >= 245; });
  SaveArtefact(shot, "tray_menu.png");
  ASSERT_EQ(shot.W, m.W) << "xwd gave no picture of the menu";
  ASSERT_GT(shot.H, 60);
  const int h = shot.H;
  EXPECT_EQ(TrayMarginFaults(shot.W, h, 30,
                             [&](int x, int y) { return std::array<int, 3>{shot.R(x, y), shot.G(x, y), shot.B(x, y)}; }),
            "");

  // "Выход" is the menu's last item, below the separator: 10 pixels above
  // the menu's bottom edge lies inside it whatever the style's item height.
  X("xdotool mousemove " + std::to_string(m.X + m.W / 2) + " " + std::to_string(m.Y + m.H - 10) + " click 1");
  ASSERT_EQ(server_.WaitExit(30000), 0) << "the server did not end by itself";
  EXPECT_EQ(std::filesystem::file_size(dir_ + "/new_sys.bin"), 180u) << "the shut-down saves the configuration";
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/srvvexon.run")) << "an orderly stop";
  // The window stayed in the tray: it has no place to keep, and the next
  // start must not find it moved to the corner.
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none.ini")) << ReadText(dir_ + "/none.ini");
}

// A real double click on the tray icon shows the window, collapsed to the
// buttons; Ctrl+Alt+D typed into it expands it to the command list. Both are
// captured from the X server and checked at pixels of known colour. With no
// window manager nothing decorates the window, so X sees the client area:
// 295 wide, and the window heights 201 and 380 less the 26 pixels of title
// bar and borders that the window allows for.
TEST_F(TrayXvfbWindowE2eTest, TheIconsDoubleClickShowsTheWindowAndCtrlAltDExpandsIt) {
  constexpr int kWidth = 295, kCollapsed = 201 - 26, kExpanded = 380 - 26;
  ASSERT_TRUE(panel_.has_value()) << "trayer showed no panel on " << display_;
  const auto icon = TrayIcon();
  ASSERT_TRUE(icon.has_value()) << "no tray icon in trayer's panel";
  ASSERT_EQ(X("xdotool search --onlyvisible --name 'System-Vexon'"), "") << "with a tray the window starts hidden";

  X("xdotool mousemove " + std::to_string(icon->X + icon->W / 2) + " " + std::to_string(icon->Y + icon->H / 2) +
    " click --repeat 2 --delay 80 1");
  const std::string window = Window();
  ASSERT_FALSE(window.empty()) << "the double click showed no window";
  const auto collapsedBox = Geometry(window);
  ASSERT_TRUE(collapsedBox.has_value());
  EXPECT_EQ(collapsedBox->W, kWidth);
  EXPECT_EQ(collapsedBox->H, kCollapsed);

  // Pixels every picture of the window shows: the picture (80 x 160 at 4, 9)
  // with its gradient from green to dark blue, the reader's green light and
  // the door; the red arrow on "Выход" (256, 144, 32 x 25).
  auto pictureShown = [](const TShot& s) { return s.R(71, 90) <= 5 && s.G(71, 90) >= 250 && s.B(71, 90) <= 5; };
  auto expectPictureAndButtons = [&](const TShot& s, const char* which) {
    SCOPED_TRACE(which);
    EXPECT_TRUE(pictureShown(s)) << "the reader's green light";
    EXPECT_LE(s.R(6, 49), 5);
    EXPECT_NEAR(s.G(6, 49), 120, 6) << "the picture's gradient, a third of the way down";
    EXPECT_NEAR(s.B(6, 49), 83, 6);
    EXPECT_LE(s.G(8, 164), 10) << "the picture's gradient at its foot";
    EXPECT_NEAR(s.B(8, 164), 64, 6);
    EXPECT_NEAR(s.R(34, 69), 150, 6) << "the door";
    EXPECT_NEAR(s.G(34, 69), 105, 6);
    EXPECT_NEAR(s.B(34, 69), 55, 6);
    int red = 0;
    for (int y = 144; y < 144 + 25; ++y)
      for (int x = 256; x < 256 + 32; ++x) red += s.R(x, y) > 150 && s.G(x, y) < 80 && s.B(x, y) < 80;
    EXPECT_GT(red, 10) << "the arrow on the exit button";
  };

  const TShot collapsed = CaptureWhen(window, dir_ + "/window.xwd", pictureShown);
  SaveArtefact(collapsed, "window_collapsed.png");
  ASSERT_EQ(collapsed.W, kWidth) << "xwd gave no picture of the window";
  ASSERT_EQ(collapsed.H, kCollapsed);
  expectPictureAndButtons(collapsed, "collapsed");

  // Ctrl+Alt+D as key events from the X server to the window.
  X("xdotool key --window " + window + " ctrl+alt+d");
  std::optional<TBox> expandedBox;
  const auto t0 = std::chrono::steady_clock::now();
  while ((!(expandedBox = Geometry(window)) || expandedBox->H != kExpanded) &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(expandedBox.has_value());
  EXPECT_EQ(expandedBox->H, kExpanded) << "Ctrl+Alt+D did not expand the window";
  EXPECT_EQ(expandedBox->W, kWidth);

  // The command list (9, 206, 277 x 144) is empty and white inside its
  // frame; the check box's text lies between it and the buttons.
  const TShot expanded = CaptureWhen(window, dir_ + "/window.xwd", [&](const TShot& s) {
    return s.H == kExpanded && pictureShown(s) && s.R(150, 280) == 255 && s.G(150, 280) == 255;
  });
  SaveArtefact(expanded, "window_expanded.png");
  ASSERT_EQ(expanded.W, kWidth) << "xwd gave no picture of the window";
  ASSERT_EQ(expanded.H, kExpanded);
  expectPictureAndButtons(expanded, "expanded");
  int white = 0, inside = 0;
  for (int y = 206 + 3; y < 206 + 144 - 3; ++y)
    for (int x = 9 + 3; x < 9 + 277 - 3; ++x, ++inside) white += expanded.R(x, y) == 255 && expanded.G(x, y) == 255 && expanded.B(x, y) == 255;
  EXPECT_GT(white, inside * 99 / 100) << "the empty command list";
  int ink = 0;
  for (int y = 189; y < 205; ++y)
    for (int x = 48; x < 160; ++x) ink += expanded.R(x, y) < 100 && expanded.G(x, y) < 100 && expanded.B(x, y) < 100;
  EXPECT_GT(ink, 40) << "the check box's text";
  // Closing the window would need a window manager to ask it to close; the
  // widget tests cover that closing and minimising only hide it.
}

TEST_F(NoDisplayE2eTest, RunsHeadlessWithoutADisplay) {
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none.ini")) << "no window, so no position was written";
}

// Qt ends a process whose display does not answer; the server runs headless
// instead, serves its clients and ends in order.
TEST_F(UnreachableDisplayE2eTest, RunsHeadlessWhenTheDisplayCannotBeReached) {
  OpenAndAutoconfigure();
  client_.Close();
  ASSERT_EQ(server_.Stop(), 0);
  EXPECT_GT(std::filesystem::file_size(dir_ + "/new_sys.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/none.ini")) << "no window, so no position was written";
}

}  // namespace
}  // namespace vexon::testing
