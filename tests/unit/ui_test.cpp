// The operator window, the tray menu, the settings dialog and the window
// position, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "test_support.h"
#include "tray_margin_check.h"
#include "ui/form_placement.h"
#include "ui/help.h"
#include "ui/main_form.h"
#include "ui/setup_form.h"
#include "ui/tray.h"
#include "ui/window_app.h"

using namespace vexon;
using vexon::testing::TTempDir;
using vexon::testing::TrayMarginFaults;

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "ui_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Runs the event loop until `done` holds; fails after many rounds rather
// than after a time, so a slow machine only loops longer.
template <class Pred>
bool ProcessUntil(Pred done) {
  for (int round = 0; round < 200000 && !done(); ++round) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return done();
}

void Flush() { QCoreApplication::processEvents(); }

// With VEXON_UI_SHOTS_DIR set, pictures of what the tests look at are saved
// there for a person to review.
void SaveShot(QWidget& w, const char* name) {
  const QByteArray dir = qgetenv("VEXON_UI_SHOTS_DIR");
  if (!dir.isEmpty()) w.grab().save(QString::fromLocal8Bit(dir) + "/" + name);
}

std::string ReadAll(const std::string& p) {
  std::ifstream f(p);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void SendKey(QWidget* to, int key, Qt::KeyboardModifiers mods) {
  QKeyEvent press(QEvent::KeyPress, key, mods);
  QApplication::sendEvent(to, &press);
}

// Runs an event loop wired as the server's: the window's ExitRequested,
// queued, ends it, and the server's shut-down would follow. `act` runs inside
// the loop. True when the loop ended by that request; a guard ends it with
// false after a long while, so a broken wire fails instead of hanging.
bool ExitEndsTheEventLoop(TMainForm& f, const std::function<void()>& act) {
  QEventLoop loop;
  QObject::connect(&f, &TMainForm::ExitRequested, &loop, [&loop] { loop.exit(0); }, Qt::QueuedConnection);
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
  guard.start(30000);
  QTimer::singleShot(0, &loop, act);
  return loop.exec() == 0;
}

// The tray menu's item with this text, as the tray shows it.
QAction* MenuItem(QMenu* menu, const QString& text) {
  for (QAction* a : menu->actions())
    if (a->text() == text) return a;
  return nullptr;
}

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override { App(); }
};

}  // namespace

TEST_F(UiTest, MainFormLayoutTextsAndHints) {
  TMainForm f;
  EXPECT_TRUE(f.isHidden()) << "the window is created hidden";
  EXPECT_EQ(f.windowTitle(), "System-Vexon COM/DCOM сервер");
  EXPECT_EQ(f.size(), QSize(295, 201 - TMainForm::FrameAllowance));
  EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "fixed size";
  EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);

  EXPECT_EQ(f.SerialEdit->geometry(), QRect(232, 16, 57, 21));
  EXPECT_EQ(f.SerialEdit->text(), "закрыт");
  EXPECT_TRUE(f.SerialEdit->isReadOnly());
  EXPECT_EQ(f.SerialEdit->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(f.StatusComboEdit->geometry(), QRect(144, 40, 145, 21));
  EXPECT_EQ(f.DataComboEdit->geometry(), QRect(144, 64, 145, 21));
  for (TComboEdit* c : {f.StatusComboEdit, f.DataComboEdit}) {
    EXPECT_TRUE(c->Edit()->isReadOnly());
    EXPECT_EQ(c->Button()->toolTip(), "Подробно");
    EXPECT_TRUE(c->geometry().contains(c->Button()->geometry().translated(c->pos())));
  }
  EXPECT_TRUE(f.QueryLabel->isHidden());
  EXPECT_TRUE(f.QueryEdit->isHidden());
  EXPECT_EQ(f.QueryEdit->geometry(), QRect(232, 88, 57, 21));
  EXPECT_EQ(f.QueryLabel->text(), "Очередь запросов:");
  EXPECT_EQ(f.QueryLabel->pos(), QPoint(96, 88 + 8));

  // Labels at their places with their texts.
  std::map<QString, QPoint> labels;
  for (QLabel* l : f.findChildren<QLabel*>()) labels[l->text()] = l->pos();
  EXPECT_EQ(labels["Последовательный порт:"], QPoint(96, 24));
  EXPECT_EQ(labels["Статус:"], QPoint(96, 48));
  EXPECT_EQ(labels["Данные:"], QPoint(96, 72));

  EXPECT_EQ(f.lCommand->geometry().right() + 1, 289);
  EXPECT_EQ(f.lCommand->y(), 117);
  EXPECT_TRUE(f.lCommand->alignment() & Qt::AlignRight);
  EXPECT_TRUE(f.lCommand->text().isEmpty());

  EXPECT_EQ(f.SetupButton->geometry(), QRect(176, 144, 32, 25));
  EXPECT_EQ(f.HelpButton->geometry(), QRect(216, 144, 32, 25));
  EXPECT_EQ(f.ExitButton->geometry(), QRect(256, 144, 32, 25));
  EXPECT_EQ(f.SetupButton->toolTip(), "Установки");
  EXPECT_EQ(f.HelpButton->toolTip(), "Помощь");
  EXPECT_EQ(f.ExitButton->toolTip(), "Выход");
  for (auto* b : {f.SetupButton, f.HelpButton, f.ExitButton}) EXPECT_FALSE(b->icon().isNull());

  EXPECT_EQ(f.HideBufferBox->text(), "Убрать буфер команд");
  EXPECT_EQ(f.HideBufferBox->pos(), QPoint(28, 189));
  EXPECT_TRUE(f.HideBufferBox->isChecked());
  EXPECT_EQ(f.ClearButton->geometry(), QRect(237, 189, 23, 16));
  EXPECT_EQ(f.ClearButton->toolTip(), "Очистить список команд");
  EXPECT_EQ(f.CommandList->geometry(), QRect(9, 206, 277, 144));
  EXPECT_EQ(f.CommandList->count(), 0);
  // The check box and the list lie below the collapsed client area and
  // inside the expanded one; the buttons are seen collapsed.
  EXPECT_GE(f.HideBufferBox->y(), f.height());
  EXPECT_LE(f.ExitButton->geometry().bottom(), f.height());
  EXPECT_LE(f.CommandList->geometry().bottom(), TMainForm::ClientHeight(380));
}

TEST_F(UiTest, DetailMessagesForEachState) {
  TMainForm f;
  std::vector<QString> shown;
  f.Inform = [&](const QString& t) { shown.push_back(t); };

  f.ShowStatus(false);
  f.ShowDataState(false, true);
  Flush();
  EXPECT_EQ(f.StatusComboEdit->text(), "конфигурация");
  EXPECT_EQ(f.DataComboEdit->text(), "конфигурация");
  f.StatusComboEdit->Button()->click();
  f.DataComboEdit->Button()->click();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], QString("Система не сконфигурирована.") + QChar(13) +
                          "Необходимо выполнить автоконфигурацию системы.");
  EXPECT_EQ(shown[1], "Нет данных о конфигурации системы.");

  f.ShowStatus(true);
  f.ShowDataState(true, false);
  Flush();
  EXPECT_EQ(f.StatusComboEdit->text(), "работа");
  EXPECT_EQ(f.DataComboEdit->text(), "пропуска");
  f.StatusComboEdit->Button()->click();
  f.DataComboEdit->Button()->click();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[2], "Система полностью функциональна.");
  EXPECT_EQ(shown[3], "Не установлен список пропусков системы.");

  f.ShowDataState(true, true);
  Flush();
  EXPECT_EQ(f.DataComboEdit->text(), "Ok");
  f.DataComboEdit->Button()->click();
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[4], "Необходимые данные для работы системы загружены.");

  f.ShowPort(3);
  f.ShowCommand("(0) 35->4");
  Flush();
  EXPECT_EQ(f.SerialEdit->text(), "COM3");
  EXPECT_EQ(f.lCommand->text(), "(0) 35->4");
  f.ShowPort(0);
  Flush();
  EXPECT_EQ(f.SerialEdit->text(), "закрыт");
}

TEST_F(UiTest, DisplayCallsFromAnotherThreadArriveInOrderOnTheWindowThread) {
  TMainForm f;
  constexpr int kCalls = 2000;
  std::vector<QString> ports;
  bool wrongThread = false;
  // Direct: the slot runs wherever the field is changed, so a change made on
  // the calling thread is seen as such.
  QObject::connect(
      f.SerialEdit, &QLineEdit::textChanged, f.SerialEdit,
      [&](const QString& t) {
        if (QThread::currentThread() != f.thread()) wrongThread = true;
        ports.push_back(t);
      },
      Qt::DirectConnection);
  // The caller must not wait for the window: every call returns while the
  // window thread is not running its event loop at all.
  auto caller = std::async(std::launch::async, [&f] {
    for (int i = 1; i <= kCalls; ++i) {
      f.ShowPort(i);
      f.ShowCommand("cmd " + std::to_string(i));
    }
  });
  ASSERT_EQ(caller.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "display calls waited for the window thread";
  // Nothing may be applied on the calling thread: the fields still read as
  // at start until the window thread runs its event loop.
  EXPECT_TRUE(ports.empty()) << "values were applied outside the window thread's event loop";
  EXPECT_EQ(f.SerialEdit->text(), "закрыт");
  EXPECT_TRUE(f.lCommand->text().isEmpty());
  ASSERT_TRUE(ProcessUntil([&] { return ports.size() >= static_cast<size_t>(kCalls); }));
  EXPECT_FALSE(wrongThread);
  for (int i = 0; i < kCalls; ++i) ASSERT_EQ(ports[static_cast<size_t>(i)], QString("COM%1").arg(i + 1)) << i;
  EXPECT_EQ(f.lCommand->text(), QString("cmd %1").arg(kCalls));
}

TEST_F(UiTest, CloseAndMinimiseHideTheWindowOnlyExitEnds) {
  TMainForm f;
  int exits = 0;
  QObject::connect(&f, &TMainForm::ExitRequested, [&] { ++exits; });
  f.ShowNormal();
  ASSERT_TRUE(f.isVisible());
  EXPECT_FALSE(f.close()) << "the close command is refused";
  EXPECT_TRUE(f.isHidden());
  EXPECT_EQ(exits, 0);

  f.ShowNormal();
  f.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(ProcessUntil([&] { return f.isHidden(); }));
  EXPECT_FALSE(f.windowState() & Qt::WindowMinimized) << "hidden, not minimised";
  f.ShowNormal();
  EXPECT_TRUE(f.isVisible());

  f.ExitButton->click();
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(f.Exiting());
  EXPECT_TRUE(f.close()) << "after Exit the window closes for real";
}

TEST_F(UiTest, CtrlAltDExpandsAndTheCheckBoxCollapses) {
  TMainForm f;
  f.HideBufferBox->setChecked(false);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(201));
  // Seen before the focused control: sent to a child, taken by the window.
  SendKey(f.CommandList, Qt::Key_D, Qt::ControlModifier);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(201)) << "Ctrl+D alone does nothing";
  SendKey(f.CommandList, Qt::Key_D, Qt::AltModifier);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(201)) << "Alt+D alone does nothing";
  SaveShot(f, "window_collapsed_offscreen.png");
  SendKey(f.CommandList, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(380));
  EXPECT_EQ(f.width(), 295);
  f.CommandList->addItem("(0) 35->4");
  SaveShot(f, "window_expanded_offscreen.png");
  EXPECT_TRUE(f.HideBufferBox->isChecked());
  f.HideBufferBox->setChecked(false);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(201));
  f.HideBufferBox->setChecked(true);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(201)) << "checking by hand does not expand";

  // Shift+Ctrl+Alt+D is still the key D with Ctrl and Alt held.
  SendKey(f.SerialEdit, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(f.height(), TMainForm::ClientHeight(380));

  f.CommandList->clear();
  f.CommandList->addItem("a");
  f.CommandList->addItem("b");
  f.ClearButton->click();
  EXPECT_EQ(f.CommandList->count(), 0);
}

TEST_F(UiTest, ButtonsReachTheirActions) {
  TMainForm f;
  int settings = 0, help = 0;
  f.OpenSettings = [&] { ++settings; };
  f.OpenHelp = [&] { ++help; };
  f.SetupButton->click();
  f.HelpButton->click();
  f.HelpButton->click();
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(help, 2);
  // F1, seen before the focused control, asks for the help too; with a
  // modifier it is another key.
  SendKey(f.CommandList, Qt::Key_F1, Qt::NoModifier);
  EXPECT_EQ(help, 3);
  SendKey(f.SerialEdit, Qt::Key_F1, Qt::ControlModifier);
  EXPECT_EQ(help, 3);
}

TEST_F(UiTest, SetupDialogLayoutAndSettingsRoundTrip) {
  TSetupForm form;
  EXPECT_EQ(form.windowTitle(), "Установки");
  EXPECT_EQ(form.size(), QSize(222, 102));
  EXPECT_EQ(form.MinimizeBox->text(), "Минимизировать после запуска");
  EXPECT_EQ(form.MinimizeBox->pos(), QPoint(8, 9));
  EXPECT_EQ(form.ForwardBox->text(), "Передавать кадры смены зон");
  EXPECT_EQ(form.ForwardBox->pos(), QPoint(8, 32));
  EXPECT_TRUE(form.ForwardBox->isHidden());
  EXPECT_EQ(form.OkButton->text(), "Установить");
  EXPECT_EQ(form.CancelButton->text(), "Отмена");
  EXPECT_EQ(form.OkButton->size(), QSize(100, 25));
  EXPECT_EQ(form.CancelButton->size(), QSize(100, 25));

  TTempDir dir("ui");
  const std::string ini = dir.File("srvvexon.ini");
  TSettings s;
  s.MinimizeOnRun = false;
  LoadSettings(ini, s);
  EXPECT_TRUE(s.MinimizeOnRun) << "no file: MinimizeOnRun reads true";

  // Cancelled: nothing is written, even with the box changed.
  TSetupDialogHooks cancel;
  bool sawChecked = false;
  cancel.Run = [&](TSetupForm& d) {
    sawChecked = d.MinimizeBox->isChecked();
    d.MinimizeBox->setChecked(false);
    d.CancelButton->click();
    return d.result();
  };
  EXPECT_FALSE(ShowSetupDialog(ini, s, cancel));
  EXPECT_TRUE(sawChecked) << "the box starts from MinimizeOnRun";
  EXPECT_TRUE(s.MinimizeOnRun);
  EXPECT_FALSE(std::filesystem::exists(ini));

  // Confirmed: both keys written, MinimizeOnRun from the box.
  TSetupDialogHooks confirm;
  confirm.Run = [](TSetupForm& d) {
    d.MinimizeBox->setChecked(false);
    d.OkButton->click();
    return d.result();
  };
  EXPECT_TRUE(ShowSetupDialog(ini, s, confirm));
  EXPECT_FALSE(s.MinimizeOnRun);
  const std::string text = ReadAll(ini);
  EXPECT_NE(text.find("[SETTINS]"), std::string::npos) << text;
  EXPECT_NE(text.find("MinimizeOnRun=0"), std::string::npos) << text;
  EXPECT_NE(text.find("ForwardAntiPass=0"), std::string::npos) << text;
  TSettings back;
  ASSERT_TRUE(LoadSettings(ini, back));
  EXPECT_FALSE(back.MinimizeOnRun);
  EXPECT_FALSE(back.ForwardAntiPass);

  // A dialog that cannot be made: the error message and nothing else.
  TSetupDialogHooks broken;
  std::vector<QString> errors;
  bool ran = false;
  broken.Create = [] { return std::unique_ptr<TSetupForm>(); };
  broken.Run = [&](TSetupForm&) { ran = true; return int(QDialog::Accepted); };
  broken.Error = [&](const QString& t) { errors.push_back(t); };
  std::filesystem::remove(ini);
  EXPECT_FALSE(ShowSetupDialog(ini, s, broken));
  EXPECT_FALSE(ran);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Не могу показать диалог!");
  EXPECT_FALSE(std::filesystem::exists(ini));
}

TEST_F(UiTest, WindowPositionKeptInMainFormBesideTheSettings) {
  TTempDir dir("ui");
  const std::string ini = dir.File("srvvexon.ini");
  EXPECT_FALSE(LoadFormPosition(ini).has_value()) << "no file";
  TSettings s;
  s.MinimizeOnRun = false;
  s.ForwardAntiPass = true;
  ASSERT_TRUE(SaveSettings(ini, s));
  ASSERT_TRUE(SaveFormPosition(ini, QPoint(120, -7)));
  ASSERT_TRUE(SaveFormPosition(ini, QPoint(130, 45)));  // replaces, never repeats
  const std::string text = ReadAll(ini);
  EXPECT_EQ(text.find("Left="), text.rfind("Left=")) << text;
  EXPECT_NE(text.find("[Main Form]"), std::string::npos);
  auto pos = LoadFormPosition(ini);
  ASSERT_TRUE(pos.has_value());
  EXPECT_EQ(*pos, QPoint(130, 45));
  TSettings back;
  ASSERT_TRUE(LoadSettings(ini, back));
  EXPECT_FALSE(back.MinimizeOnRun) << "the settings survive the position being written";
  EXPECT_TRUE(back.ForwardAntiPass);
  // Saving the settings keeps the position.
  ASSERT_TRUE(SaveSettings(ini, back));
  EXPECT_EQ(LoadFormPosition(ini).value_or(QPoint()), QPoint(130, 45));

  std::ofstream(ini) << "[Main Form]\nLeft=abc\nTop=3\n";
  EXPECT_FALSE(LoadFormPosition(ini).has_value()) << "a damaged key is no position";
}

// The window's saves (its position, the confirmed settings dialog) change
// their own keys where they stand; a settings file kept private for its
// token stays 0600 and keeps the token and every hand-written line.
TEST_F(UiTest, WindowSavesKeepAPrivateSettingsFileAndItsToken) {
  TTempDir dir("ui");
  const std::string ini = dir.File("srvvexon.ini");
  std::ofstream(ini) << "[Rpc]\nToken = s3cret\n\n; where the window was\n[Main Form]\nLeft = 300\nTop = 20\n";
  const auto secret = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
  std::filesystem::permissions(ini, secret);

  TMainForm form;
  form.move(QPoint(130, 45));
  ASSERT_TRUE(SaveFormPosition(ini, form.pos()));
  TSettings s;
  ASSERT_TRUE(LoadSettings(ini, s));
  TSetupDialogHooks confirm;
  confirm.Run = [](TSetupForm& d) {
    d.MinimizeBox->setChecked(false);
    d.OkButton->click();
    return d.result();
  };
  ASSERT_TRUE(ShowSetupDialog(ini, s, confirm));

  EXPECT_EQ(ReadAll(ini), "[Rpc]\nToken = s3cret\n\n; where the window was\n[Main Form]\nLeft = 130\nTop = 45\n"
                          "[SETTINS]\nMinimizeOnRun=0\nForwardAntiPass=0\n");
  EXPECT_EQ(std::filesystem::status(ini).permissions(), secret);
  TSettings back;
  ASSERT_TRUE(LoadSettings(ini, back));
  EXPECT_EQ(back.RpcToken, "s3cret");
  EXPECT_EQ(LoadFormPosition(ini).value_or(QPoint()), QPoint(130, 45));
}

TEST_F(UiTest, TrayMenuItemsAndItsPaintedMargin) {
  TTrayMenu menu;
  const QList<QAction*> acts = menu.actions();
  ASSERT_EQ(acts.size(), 5);
  EXPECT_EQ(acts[0]->text(), "COM/DCOM Сервер");
  EXPECT_EQ(acts[1]->text(), "Установки");
  EXPECT_EQ(acts[2]->text(), "Помощь");
  EXPECT_TRUE(acts[3]->isSeparator());
  EXPECT_EQ(acts[4]->text(), "Выход");
  EXPECT_EQ(menu.defaultAction(), menu.Item(0));
  EXPECT_TRUE(menu.Item(0)->font().bold());
  EXPECT_TRUE(menu.Item(0)->icon().isNull());
  for (int tag = 0; tag < 4; ++tag) {
    EXPECT_EQ(menu.Item(tag)->data().toInt(), tag);
    EXPECT_FALSE(menu.Item(tag)->isCheckable());
  }
  for (int tag = 1; tag < 4; ++tag) EXPECT_FALSE(menu.Item(tag)->icon().isNull());

  menu.ensurePolished();
  menu.resize(menu.sizeHint());
  for (QAction* a : acts) EXPECT_GE(menu.actionGeometry(a).left(), TTrayMenu::MarginWidth) << "items clear the margin";

  QImage img(menu.size(), QImage::Format_ARGB32);
  img.fill(Qt::magenta);
  menu.render(&img);
  SaveShot(menu, "tray_menu_offscreen.png");
  const int h = img.height();
  ASSERT_GT(h, 60);
  // Green at the top to dark blue at the bottom, the white word in the
  // margin's lower part, nothing of it right of the margin.
  EXPECT_EQ(TrayMarginFaults(img.width(), h, TTrayMenu::MarginWidth,
                             [&](int x, int y) {
                               const QColor c(img.pixel(x, y));
                               return std::array<int, 3>{c.red(), c.green(), c.blue()};
                             }),
            "");
}

TEST_F(UiTest, TrayIconHintAnimationAndMenu) {
  TMainForm f;
  TTrayIcon tray(f);
  EXPECT_EQ(tray.Icon().toolTip(), "Kelvo-SYSTEM-VEXON COM/DCOM сервер");
  EXPECT_EQ(tray.Icon().contextMenu(), &tray.Menu());
  const int first = tray.Frame();
  std::vector<int> seen{first};
  for (int i = 0; i < 4; ++i) {
    tray.Step();
    seen.push_back(tray.Frame());
  }
  EXPECT_NE(seen[1], seen[0]);
  EXPECT_EQ(seen[4], seen[0]) << "four images, then round again";
  EXPECT_EQ(TTrayIcon::FrameMs, 500);

  // The menu's default item shows the window; "Выход" ends it.
  int exits = 0;
  QObject::connect(&f, &TMainForm::ExitRequested, [&] { ++exits; });
  ASSERT_TRUE(f.isHidden());
  tray.Menu().Item(0)->trigger();
  EXPECT_TRUE(f.isVisible());
  emit tray.Icon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(f.isVisible());
  f.close();
  ASSERT_TRUE(f.isHidden());
  emit tray.Icon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(f.isVisible()) << "double click shows the window";
  tray.Menu().Item(3)->trigger();
  EXPECT_EQ(exits, 1);
}

// Every item of the menu the tray icon opens, found by its text: the default
// item shows the window, "Установки" and "Помощь" open theirs, and "Выход"
// ends the server exactly as the window's "Выход" button does.
TEST_F(UiTest, TrayMenuItemsDoWhatTheWindowsButtonsDo) {
  TMainForm f;
  TTrayIcon tray(f);
  int settings = 0, help = 0, exits = 0;
  f.OpenSettings = [&] { ++settings; };
  f.OpenHelp = [&] { ++help; };
  QObject::connect(&f, &TMainForm::ExitRequested, [&] { ++exits; });
  QMenu* menu = tray.Icon().contextMenu();
  ASSERT_NE(menu, nullptr);
  QAction* show = MenuItem(menu, "COM/DCOM Сервер");
  QAction* setup = MenuItem(menu, "Установки");
  QAction* helpItem = MenuItem(menu, "Помощь");
  QAction* exitItem = MenuItem(menu, "Выход");
  ASSERT_TRUE(show && setup && helpItem && exitItem);
  EXPECT_EQ(menu->defaultAction(), show);

  // The default item brings the hidden window back, in its normal state.
  ASSERT_TRUE(f.isHidden());
  show->trigger();
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.windowState() & Qt::WindowMinimized);
  f.close();
  ASSERT_TRUE(f.isHidden());
  setup->trigger();
  EXPECT_EQ(settings, 1);
  helpItem->trigger();
  helpItem->trigger();
  EXPECT_EQ(help, 2);
  EXPECT_TRUE(f.isHidden()) << "only the default item shows the window";
  EXPECT_EQ(exits, 0);
  EXPECT_FALSE(f.Exiting());

  // "Выход" from the menu while the window is hidden: the loop the server
  // runs ends through the window's request, once, and the window now closes
  // for real instead of hiding.
  EXPECT_TRUE(ExitEndsTheEventLoop(f, [exitItem] { exitItem->trigger(); }))
      << "the tray's Выход did not end the event loop";
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(f.Exiting());
  EXPECT_TRUE(f.close());
  EXPECT_EQ(settings, 1);
  EXPECT_EQ(help, 2);

  // The window's own button, on a window of its own, ends the loop the same way.
  TMainForm g;
  int buttonExits = 0;
  QObject::connect(&g, &TMainForm::ExitRequested, [&] { ++buttonExits; });
  g.ShowNormal();
  EXPECT_TRUE(ExitEndsTheEventLoop(g, [&g] { g.ExitButton->click(); }));
  EXPECT_EQ(buttonExits, 1);
  EXPECT_TRUE(g.Exiting());
  EXPECT_TRUE(g.close());
}

// "Помощь" and F1: the help file to the desktop's viewer, else the
// program's own help window; never a file of the source tree.
TEST_F(UiTest, HelpGoesToTheViewerOrToTheProgramsOwnWindow) {
  TTempDir dir("ui");
  const QString programDir = QString::fromStdString(dir.Path());
  TMainForm f;
  std::vector<QString> asked;
  std::function<void(bool)> answer;
  auto* help = new THelp(programDir, &f, [&](const QString& file, std::function<void(bool)> done) {
    asked.push_back(file);
    answer = std::move(done);
  });
  f.OpenHelp = [help] { help->Show(); };

  // No help file: the program's own text at once, no viewer asked.
  SendKey(f.SerialEdit, Qt::Key_F1, Qt::NoModifier);
  EXPECT_TRUE(asked.empty());
  ASSERT_NE(help->Window(), nullptr);
  EXPECT_TRUE(help->Window()->isVisible());
  EXPECT_EQ(help->Window()->windowTitle(), "Помощь");
  EXPECT_EQ(help->Window()->Text(), BuiltInHelpText());
  EXPECT_NE(BuiltInHelpText().indexOf("Ctrl+Alt+D"), -1);
  SaveShot(*help->Window(), "help_offscreen.png");
  help->Window()->hide();

  // A help file a viewer takes: nothing of the program's own.
  std::ofstream(dir.File("srvvexon.hlp")) << "Справка srvvexon\n";
  f.HelpButton->click();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].toStdString(), dir.File("srvvexon.hlp"));
  answer(true);
  EXPECT_FALSE(help->Window()->isVisible());

  // No viewer opened it (told later, as a viewer's exit is): the file's
  // text in the program's own window.
  f.HelpButton->click();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_FALSE(help->Window()->isVisible());
  answer(false);
  EXPECT_TRUE(help->Window()->isVisible());
  EXPECT_EQ(help->Window()->Text(), "Справка srvvexon\n");
  help->Window()->hide();

  // A help file that is no text (a format of its own): the program's text.
  std::ofstream(dir.File("srvvexon.hlp"), std::ios::binary) << std::string("?_\x03\0\x01\0", 6);
  f.HelpButton->click();
  answer(false);
  EXPECT_TRUE(help->Window()->isVisible());
  EXPECT_EQ(help->Window()->Text(), BuiltInHelpText());
}

// The desktop's viewer is xdg-open, judged by how it ends: a failure shows
// the program's own window, a success nothing more. Where there is no
// xdg-open at all, Qt's launcher has nothing to start on this platform.
TEST_F(UiTest, HelpJudgesTheDesktopsViewerByItsExitStatus) {
  TTempDir dir("ui");
  const std::string bin = dir.File("bin");
  std::filesystem::create_directories(bin);
  std::ofstream(dir.File("srvvexon.hlp")) << "help text";
  const QByteArray oldPath = qgetenv("PATH");
  auto run = [&](const char* script) {
    std::filesystem::remove(bin + "/xdg-open");
    if (script) {
      std::ofstream(bin + "/xdg-open") << "#!/bin/sh\n" << script << "\n";
      std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    }
    qputenv("PATH", QByteArray::fromStdString(bin));
    TMainForm f;
    THelp help(QString::fromStdString(dir.Path()), &f);
    help.Show();
    // The viewer has been judged once no process of it is left.
    EXPECT_TRUE(ProcessUntil([&] {
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      return help.findChildren<QProcess*>().isEmpty();
    }));
    qputenv("PATH", oldPath);
    return help.Window() && help.Window()->isVisible() ? help.Window()->Text() : QString();
  };
  EXPECT_EQ(run(("echo \"$1\" > " + bin + "/opened; exit 0").c_str()), "") << "the viewer took it";
  EXPECT_EQ(ReadAll(bin + "/opened"), dir.File("srvvexon.hlp") + "\n");
  EXPECT_EQ(run("exit 3"), "help text") << "xdg-open found no viewer";
  EXPECT_EQ(run(nullptr), "help text") << "no xdg-open";
}

// The window's place is kept only once it was shown: a server whose window
// stayed hidden in the tray leaves the kept place (or the lack of one) as it
// was.
TEST_F(UiTest, WindowPlaceIsKeptOnlyOnceTheWindowWasShown) {
  TTempDir dir("ui");
  const std::string ini = dir.File("srvvexon.ini");
  TMainForm f;
  f.move(50, 60);
  SaveWindowPlace(ini, f);
  EXPECT_FALSE(std::filesystem::exists(ini)) << "never shown: nothing written";
  std::ofstream(ini) << "[Main Form]\nLeft=37\nTop=41\n";
  SaveWindowPlace(ini, f);
  EXPECT_EQ(ReadAll(ini), "[Main Form]\nLeft=37\nTop=41\n");

  f.ShowNormal();
  f.move(130, 45);
  f.hide();
  SaveWindowPlace(ini, f);
  EXPECT_EQ(LoadFormPosition(ini).value_or(QPoint()), QPoint(130, 45)) << "shown once, hidden since";
}
