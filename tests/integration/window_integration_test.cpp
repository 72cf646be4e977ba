// The operator window as the display of a real server core talking to the
// simulator over a pseudo-terminal: what clients and the executor do shows
// in the window's fields (Qt's offscreen platform).
#include <gtest/gtest.h>

#include <QApplication>

#include "automation_fixture.h"
#include "ui/main_form.h"

namespace vexon::testing {
namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "window_integration_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// The fixture's display stays the logger; the window is the core's display
// here, so a second core over the same simulator and data is built on it.
class WindowCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    form_ = std::make_unique<TMainForm>();
    ASSERT_TRUE(sim_.Start());
    TServerConfig cfg;
    cfg.DataDir = dir_.Path();
    // The line's own time-outs: a pseudo-terminal on a busy machine can hand
    // an answer over hundreds of milliseconds late.
    cfg.Timings.AutoconfigMs = 2000;
    core_ = std::make_unique<TServerCore>(clock_, *form_, cfg);
    core_->Ports.Set(1, sim_.SlavePath());
    core_->LoadAndCreate();
    core_->RefreshIndicators();
    executor_ = std::make_unique<TExecutor>(*core_);
    journal_.Create();
    monitor_ = std::make_unique<TMonitor>(*core_, journal_);
    services_ = std::make_unique<TServices>(TServices{*core_, *monitor_, journal_, calendar_, 30});
    object_ = std::make_unique<TSysVexonComServer>(*services_);
  }
  void TearDown() override {
    object_.reset();
    services_.reset();
    monitor_.reset();
    executor_.reset();
    core_.reset();
    sim_.Stop();
    QCoreApplication::processEvents();
  }
  int64_t Call(const std::string& name, std::map<std::string, TArgValue> named = {}) {
    const TOpDesc* op = FindOperation(name);
    EXPECT_NE(op, nullptr) << name;
    std::vector<TArgValue> args;
    for (const auto& a : op->Args) {
      auto it = named.find(a.Name);
      args.push_back(it != named.end() ? it->second : TArgValue{int64_t{0}});
    }
    TCall call(*op, std::move(args));
    object_->Invoke(call);
    for (size_t i = 0; i < call.Op().Args.size(); ++i)
      if (call.Op().Args[i].Name == "Value") return std::get<int64_t>(call.Args()[i]);
    return -999;
  }
  void Drain() {
    for (int i = 0; i < 100 && core_->Requests.RequestCount() > 0; ++i) executor_->ExecuteRequests(0);
  }
  static void Flush() { QCoreApplication::processEvents(); }

  TTempDir dir_{"vexon-window"};
  sim::TSimulator sim_{MixedNetwork()};
  TManualClock clock_{5000, 46000.25};
  std::unique_ptr<TMainForm> form_;
  std::unique_ptr<TServerCore> core_;
  std::unique_ptr<TExecutor> executor_;
  TMonJournal journal_;
  std::unique_ptr<TMonitor> monitor_;
  TCalendarBuffer calendar_;
  std::unique_ptr<TServices> services_;
  std::unique_ptr<TSysVexonComServer> object_;
};

TEST_F(WindowCoreTest, PortStatusDataAndCommandReachTheWindow) {
  Flush();
  EXPECT_EQ(form_->SerialEdit->text(), "закрыт");
  EXPECT_EQ(form_->StatusComboEdit->text(), "конфигурация");
  EXPECT_EQ(form_->DataComboEdit->text(), "конфигурация");
  EXPECT_EQ(form_->DataDetail(), "Нет данных о конфигурации системы.");

  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", int64_t{1}}}), 0);
  Flush();
  EXPECT_EQ(form_->SerialEdit->text(), "COM1");
  // A failed open leaves the field as it was.
  EXPECT_NE(Call("sysvexon_OpenSerialPort", {{"PortNumber", int64_t{7}}}), 0);
  Flush();
  EXPECT_EQ(form_->SerialEdit->text(), "COM1");

  EXPECT_EQ(Call("sysvexon_Autoconfig"), 0);
  Drain();
  Flush();
  EXPECT_EQ(form_->StatusComboEdit->text(), "работа");
  EXPECT_EQ(form_->DataComboEdit->text(), "пропуска");
  EXPECT_EQ(form_->DataDetail(), "Не установлен список пропусков системы.");
  EXPECT_TRUE(form_->lCommand->text().startsWith("(0) ")) << form_->lCommand->text().toStdString();

  ASSERT_EQ(Call("sysvexon_CloseSerialPort"), 0);
  Flush();
  EXPECT_EQ(form_->SerialEdit->text(), "закрыт");
}

}  // namespace
}  // namespace vexon::testing
