#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "e2e_fixture.h"

using namespace vexon;
using namespace vexon::testing;
using nlohmann::json;

using ServerE2e = E2eTest;

TEST_F(ServerE2e, OpenAutoconfigureAndReadTheConfiguration) {
  EXPECT_EQ(Call("sysvexon_GetControllerCount")["Value"], 31);
  EXPECT_EQ(Call("sysvexon_GetServerState")["Value"], 31);
  EXPECT_EQ(Call("sysvexon_GetDriverInfo", {{"ControllerNum", 1}, {"DriverNum", 5}})["Value"], 33)
      << "33 even unconfigured";
  auto port = Call("sysvexon_GetOpenSerialPortNumber", {{"PortNumber", 77}});
  EXPECT_EQ(port["Value"], 1);
  EXPECT_EQ(port["PortNumber"], 0) << "always written";
  OpenAndAutoconfigure();
  port = Call("sysvexon_GetOpenSerialPortNumber");
  EXPECT_EQ(port["Value"], 0);
  EXPECT_EQ(port["PortNumber"], 1);
  EXPECT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 3);

  const auto cnt = Call("sysvexon_GetControllerCount");
  ASSERT_EQ(cnt["Value"], 0);
  EXPECT_EQ(cnt["Cnt"], 3);
  const auto info = Call("sysvexon_GetControllerInfo", {{"ControllerNum", 1}});
  EXPECT_EQ(info["_MakeAdr"], 564);
  EXPECT_EQ(info["_Primary"], 1);
  EXPECT_EQ(Call("sysvexon_GetControllerInfo", {{"ControllerNum", 0}})["Value"], 32);
  EXPECT_EQ(Call("sysvexon_GetControllerInfo", {{"ControllerNum", 4}})["Value"], 32);
  const auto drv = Call("sysvexon_GetDriverInfo", {{"ControllerNum", 3}, {"DriverNum", 2}});
  EXPECT_EQ(drv["Value"], 0);
  EXPECT_EQ(drv["_DrvType"], 3);
  EXPECT_EQ(Call("sysvexon_GetDriverInfo", {{"ControllerNum", 2}, {"DriverNum", 1}})["Value"], 34);
  const auto desc = Call("sysvexon_GetControllerDesc", {{"ControllerNum", 3}});
  EXPECT_EQ(desc["b1"], 2);
  EXPECT_EQ(desc["b5"], 0x0B);
  const auto uscs = Call("sysvexon_GetControllerUSCS", {{"ControllerNum", 1}, {"b3", 99}});
  EXPECT_EQ(uscs["USCSValid"], 0) << "valid only once the monitoring poll has refreshed it";
  EXPECT_EQ(uscs["b3"], 0x1F) << "the status bytes read after the autoconfiguration";
  EXPECT_EQ(Call("sysvexon_GetServerState")["Value"], 68);
}

TEST_F(ServerE2e, AnswersAreKeptUntilDeletedAndUnknownIsFourteen) {
  OpenAndAutoconfigure();
  const auto r = Call("sysvexon_OpenIm", {{"MakeAdr", 564}, {"DriverAdr", 2}, {"ImNumber", 1}});
  ASSERT_EQ(r["Value"], 0);
  const auto a = WaitAnswer(r["EventID"]);
  EXPECT_EQ(a["Value"], 0);
  EXPECT_EQ(a["Int1"], 1);
  Call("sysvexon_DeleteAnswer", {{"EventID", r["EventID"]}});
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", r["EventID"]}})["Value"], 14);
  const auto unknown = Call("sysvexon_GetExtendedCommandState", {{"EventID", 9999}, {"Int1", 5}, {"Int2", 6}});
  EXPECT_EQ(unknown["Value"], 14);
  EXPECT_EQ(unknown["Int1"], 5);
  EXPECT_EQ(unknown["Int2"], 6);
  EXPECT_EQ(unknown["Int3"], 0);
}

TEST_F(ServerE2e, OutOfRangeFactoryAddressIsAnRpcErrorAndQueuesNothing) {
  OpenAndAutoconfigure();
  const int64_t before = Call("sysvexon_SetTimer")["EventID"];
  const auto e = client_.Request("sysvexon_OpenIm", {{"MakeAdr", 70000}, {"DriverAdr", 1}, {"ImNumber", 1}});
  ASSERT_TRUE(e.contains("error"));
  EXPECT_EQ(e["error"]["code"], -32000);
  EXPECT_NE(e["error"]["message"].get<std::string>().find("70000"), std::string::npos);
  EXPECT_EQ(Call("sysvexon_SetTimer")["EventID"], before + 1) << "no request was numbered in between";
  const auto notConfiguredId = Call("sysvexon_OpenIm", {{"EventID", 42}, {"MakeAdr", 9}, {"DriverAdr", 1}, {"ImNumber", 1}});
  EXPECT_EQ(notConfiguredId["Value"], 32);
  EXPECT_EQ(notConfiguredId["EventID"], 42) << "EventID untouched on failure";
}

TEST_F(ServerE2e, AutoconfigTurnsPendingAnswersInto88) {
  // The port is closed: nothing is carried out until it opens, so the
  // queued requests stay pending.
  sim_.WriteLine("linklost 1");
  ASSERT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
  std::vector<int64_t> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(Call("sysvexon_SetTimer")["EventID"]);
  const auto ac = Call("sysvexon_Autoconfig");
  int aborted = 0;
  for (auto id : ids) aborted += Call("sysvexon_GetCommandState", {{"EventID", id}})["Value"] == 88;
  EXPECT_GE(aborted, 3) << "at most the one in progress escapes";
  // On the silent line every send waits out its 2 s for the line to take
  // the frame, and how many tries of the request in progress come before the
  // autoconfiguration depends on the machine's load: a generous deadline.
  EXPECT_EQ(WaitAnswer(ac["EventID"], 60000)["Value"], 26) << "the silent network gives no answer";
}

TEST_F(ServerE2e, IdentifierCheckExamples) {
  auto check = [&](const std::string& id) {
    return Call("sysvexon_CheckDispatch", {{"AIdentifier", id},
                                           {"ATimeOut", 0},
                                           {"AReaderName", ""},
                                           {"ATypeInquery", 0},
                                           {"ADenyReason", "old"},
                                           {"AErrorMessage", "keep"}});
  };
  auto r = check("abc");
  EXPECT_EQ(r["Value"], 1);
  EXPECT_EQ(r["AErrorMessage"], "Идентификатор - не число");
  EXPECT_EQ(r["ADenyReason"], "");
  r = check("65569");
  EXPECT_EQ(r["Value"], 0);
  EXPECT_EQ(r["ADenyReason"], "Доступ запрещен - не оплачен счет в баре");
  EXPECT_EQ(r["AErrorMessage"], "keep");
  EXPECT_EQ(check("4295032865")["ADenyReason"], "Доступ запрещен - не оплачен счет в баре");
  EXPECT_EQ(check("65629")["ADenyReason"], "Выход запрещен - не оплачен счет в баре, сауна, массаж");
  EXPECT_EQ(check("999999999999999")["ADenyReason"], "Идентификатор 999999999999999 не найден");
  EXPECT_EQ(check("12345")["ADenyReason"], "");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(check("4295032863")["ADenyReason"], "");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000)) << "high part 1: no wait";
}

TEST_F(ServerE2e, ASlowCallHoldsUpOnlyItsOwnConnection) {
  TRpcClient other;
  other.Connect(dir_ + "/rpc.sock");
  std::atomic<bool> slowDone{false};
  std::thread slow([&] {
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = other.Call("sysvexon_CheckDispatch",
                              {{"AIdentifier", "65567"}, {"ATimeOut", 0}, {"AReaderName", ""}, {"ATypeInquery", 0}});
    EXPECT_EQ(r["ADenyReason"], "");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    slowDone = true;
  });
  // Calls on this connection keep being answered while the slow one waits.
  // Were the connections served one call at a time, at most the call that
  // slipped in before the slow one could end while it is still running.
  int answeredMeanwhile = 0;
  while (!slowDone) {
    EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", 1}})["Value"], 14);
    if (!slowDone) ++answeredMeanwhile;
  }
  slow.join();
  EXPECT_GE(answeredMeanwhile, 5);
}

TEST_F(ServerE2e, MalformedInputGetsErrorsAndTheConnectionKeepsWorking) {
  client_.SendLine("{not json");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32700);
  client_.SendLine(R"({"jsonrpc":"2.0","id":3,"method":"sysvexon_OpenSerialPort","params":{"PortNumber":"one"}})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32602);
  client_.SendLine(R"({"jsonrpc":"2.0","id":4,"method":"sysvexon_GetErrorDescription","params":{}})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32602) << "missing [in] argument";
  client_.SendLine(R"({"jsonrpc":"2.0","id":5,"method":"sysvexon_GetErrorDescription","params":{"Code":1,"X":2}})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32602) << "unknown argument";
  client_.SendLine(R"({"jsonrpc":"2.0","id":6,"method":"sysvexon_GetMonEventDescription","params":[1,256]})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32602) << "UI1 outside 0..255";
  client_.SendLine(R"({"jsonrpc":"2.0","id":7,"method":"sysvexon_Nothing"})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32601);
  client_.SendLine(R"({"id":8,"method":"sysvexon_LockServer"})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32600);
  client_.SendLine(R"({"jsonrpc":"2.0","id":9,"method":"AS_GetRecords"})");
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32000) << "inherited placeholder";
  client_.SendLine(std::string(1100 * 1024, 'x'));
  EXPECT_EQ(json::parse(client_.ReadLine())["error"]["code"], -32600) << "over 1 MiB";
  // A notification is carried out and not answered; the batch answers in order.
  client_.SendLine(R"({"jsonrpc":"2.0","method":"sysvexon_LockServer"})");
  client_.SendLine(
      R"([{"jsonrpc":"2.0","id":"a","method":"sysvexon_GetErrorDescription","params":[88]},)"
      R"({"jsonrpc":"2.0","method":"sysvexon_UnLockServer"},)"
      R"({"jsonrpc":"2.0","id":"b","method":"sysvexon_GetMonEventDescription","params":{"EventCode":14,"EventAdd":0}}])");
  const auto batch = json::parse(client_.ReadLine());
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0]["id"], "a");
  EXPECT_EQ(batch[0]["result"]["Value"], "Выполнение прекращено ввиду автоконфигурации.");
  EXPECT_EQ(batch[1]["result"]["Value"], "Восстановление связи");
  EXPECT_EQ(Call("sysvexon_GetErrorDescription", {{"Code", 0}})["Value"], "Успешная операция.");
}

TEST_F(ServerE2e, TcpAndHttpTransportsAndTheInterfaceDescription) {
  TRpcClient tcp;
  tcp.Connect(tcp_);
  const auto doc = tcp.Call("rpc.discover");
  EXPECT_EQ(doc["info"]["title"], "SrvVexon");
  EXPECT_EQ(doc["info"]["x-progid"], "SrvVexon.SysVexonComServer");
  ASSERT_EQ(doc["methods"].size(), 84u);
  EXPECT_EQ(doc["methods"][7]["name"], "sysvexon_OpenSerialPort");
  EXPECT_EQ(doc["methods"][7 + 8]["name"], "sysvexon_GetControllerInfo");
  EXPECT_EQ(doc["methods"][7 + 8]["x-dispid"], 10);
  EXPECT_EQ(doc["methods"][7 + 36]["name"], "sysvexon_SetCardZone");
  EXPECT_EQ(doc["methods"][7 + 36]["x-dispid"], 33);

  // HTTP: one POST /rpc with a request.
  const auto colon = http_.rfind(':');
  TRpcClient raw;
  raw.Connect(http_);
  const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetErrorDescription","params":{"Code":2}})";
  raw.SendLine("POST /rpc HTTP/1.1\r\nHost: " + http_.substr(0, colon) + "\r\nContent-Type: application/json\r\n"
               "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  const std::string all = raw.ReadToEnd();
  EXPECT_NE(all.find("200 OK"), std::string::npos) << all;
  EXPECT_NE(all.find("Коммуникационный порт закрыт."), std::string::npos) << all;
}

TEST_F(ServerE2e, ConfigurationSurvivesARestart) {
  OpenAndAutoconfigure();
  RestartServer();
  const auto cnt = Call("sysvexon_GetControllerCount");
  EXPECT_EQ(cnt["Value"], 0);
  EXPECT_EQ(cnt["Cnt"], 3);
  EXPECT_EQ(Call("sysvexon_GetControllerInfo", {{"ControllerNum", 3}})["_MakeAdr"], 0x235);
  const auto desc = client_.Request("sysvexon_GetControllerDesc", {{"ControllerNum", 1}});
  EXPECT_TRUE(desc.contains("error")) << "descriptors are not kept across a restart";
}

TEST_F(ServerE2e, ArrivalOrderSwitch) {
  OpenAndAutoconfigure();
  // Which of the two requests the executor carries out first is the one
  // that meets the terminal's silence (0xF0) lined up behind the two lost
  // answers of the SetTimer that keeps the executor busy meanwhile.
  auto firstCarriedOut = [&](bool arrival) {
    // "-x": the queue-order switch written with a dash, as every switch may be.
    RestartServer(arrival ? std::vector<std::string>{"-x"} : std::vector<std::string>{});
    EXPECT_EQ(Call("sysvexon_OpenSerialPort", {{"PortNumber", 1}})["Value"], 0);
    for (const char* f : {"fault noanswer", "fault noanswer", "fault f0", "fault f0"}) {
      sim_.WriteLine(f);
      EXPECT_EQ(sim_.ReadLine(), "ok");
    }
    const int64_t busy = Call("sysvexon_SetTimer")["EventID"];
    const int64_t low = Call("sysvexon_PermitPass", {{"MakeAdr", 564}, {"ReaderNumber", 0}})["EventID"];  // class 02
    const int64_t high = Call("sysvexon_SetTimer")["EventID"];  // class 00, queued after
    EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", busy}})["Value"], -1)
        << "both were queued while the executor was still busy";
    const auto lowAnswer = WaitAnswer(low);
    const auto highAnswer = WaitAnswer(high);
    EXPECT_NE(WaitAnswer(busy)["Value"], 0) << "the busy request lost both answers";
    const bool lowFailed = lowAnswer["Value"] != 0, highFailed = highAnswer["Value"] != 0;
    EXPECT_NE(lowFailed, highFailed) << lowAnswer.dump() << " " << highAnswer.dump();
    return lowFailed ? std::string("low") : std::string("high");
  };
  EXPECT_EQ(firstCarriedOut(false), "high") << "sorted: class 00 overtakes class 02";
  EXPECT_EQ(firstCarriedOut(true), "low") << "-x: arrival order";
}

TEST_F(ServerE2e, ClientScenarioWithMonitoring) {
  OpenAndAutoconfigure();
  auto r = Call("sysvexon_SetReaderZone", {{"MakeAdr", 564}, {"ReaderNumber", 1}, {"ZoneNumber", 5}});
  ASSERT_EQ(r["Value"], 0);
  EXPECT_EQ(WaitAnswer(r["EventID"])["Value"], 0);
  r = Call("sysvexon_OpenIm", {{"MakeAdr", 564}, {"DriverAdr", 2}, {"ImNumber", 1}});
  EXPECT_EQ(WaitAnswer(r["EventID"])["Value"], 0);

  // The zone is in "new_sys.bin": record 0, byte 37 (zone of reader 1).
  std::ifstream f(dir_ + "/new_sys.bin", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 180u);
  EXPECT_EQ(bytes[37], 5);

  Call("sysvexon_StartMonitoring");
  WaitFirstMonitoringPass();
  r = Call("sysvexon_SetAlarm", {{"MakeAdr", 564}, {"AdditionAdr", 0}});
  WaitAnswer(r["EventID"]);
  r = Call("sysvexon_ClearAlarm", {{"MakeAdr", 564}, {"AdditionAdr", 0}});
  WaitAnswer(r["EventID"]);
  sim_.WriteLine("pass 2 1 7");
  sim_.WriteLine("input 0 1 2 1");
  std::vector<std::pair<int, std::string>> events;
  const auto t0 = std::chrono::steady_clock::now();
  while (events.size() < 4 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
    const auto e = Call("sysvexon_GetMonEvent");
    if (e["Value"] != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    // The input change also raises the controller's registration flag.
    if (e["EventCode"] == 15) continue;
    const auto text = Call("sysvexon_GetMonEventDescription", {{"EventCode", e["EventCode"]}, {"EventAdd", e["EventAdd"]}});
    events.emplace_back(e["EventCode"].get<int>(), text["Value"].get<std::string>());
  }
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].second, "ТРЕВОГА (по команде оператора)");
  EXPECT_EQ(events[1].second, "Сброс тревоги (по команде оператора)");
  EXPECT_EQ(events[2].first, 1);
  EXPECT_EQ(events[2].second, "Запрос на проход");
  EXPECT_EQ(events[3].second, "Активизация входа");
  // The flag made the server read that controller's registration journal,
  // which holds the input change.
  json reg;
  const auto t1 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t1 < std::chrono::seconds(5)) {
    reg = Call("sysvexon_GetRegEvent");
    if (reg["Value"] == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(reg["Value"], 0);
  EXPECT_EQ(reg["MakeAdr"], 564);
  EXPECT_EQ(reg["EventType"], 3);
  EXPECT_EQ(reg["Event"], 1);
  EXPECT_EQ(reg["AdrAdd"], 1);
  EXPECT_EQ(reg["CardID"], 2);
  EXPECT_EQ(Call("sysvexon_GetRegEventDescription", {{"EventType", 3}, {"Event", 1}})["Value"], "Активизация входа");
}

TEST_F(ServerE2e, VexonctlCallsWaitsAndWatches) {
  auto ctl = [&](std::vector<std::string> args) {
    TProcess p;
    std::vector<std::string> argv = {VEXON_CTL_PATH, "--unix", dir_ + "/rpc.sock"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(p.Start(argv));
    std::string out;
    for (std::string l; !(l = p.ReadLine(5000)).empty();) out += l + "\n";
    const int rc = p.Stop(0);
    return std::make_pair(rc, out);
  };
  auto [rc, out] = ctl({"OpenSerialPort", "PortNumber=1"});
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("Value = 0 (Успешная операция.)"), std::string::npos) << out;
  std::tie(rc, out) = ctl({"--wait", "Autoconfig"});
  EXPECT_EQ(rc, 0) << out;
  std::tie(rc, out) = ctl({"--json", "--wait", "sysvexon_OpenIm", "MakeAdr=564", "DriverAdr=2", "ImNumber=1"});
  EXPECT_EQ(rc, 0);
  const auto j = json::parse(out);
  EXPECT_EQ(j["Value"], 0);
  EXPECT_EQ(j["Int1"], 1);
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", j["EventID"]}})["Value"], 14) << "--wait released the answer";
  std::tie(rc, out) = ctl({"--json", "--wait", "--keep", "sysvexon_OpenIm", "MakeAdr=564", "DriverAdr=2", "ImNumber=1"});
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", json::parse(out)["EventID"]}})["Value"], 0) << "--keep kept it";
  std::tie(rc, out) = ctl({"SetReaderZone", "MakeAdr=564", "ReaderNumber=2", "ZoneNumber=1"});
  EXPECT_EQ(rc, 1) << "exit status 0 only for Value 0";
  EXPECT_NE(out.find("41 (Неверный номер считывателя.)"), std::string::npos) << out;
  std::tie(rc, out) = ctl({"describe", "27"});
  EXPECT_EQ(out, "Качество приема не соответствует ожидаемому.\n");

  // --take: the way it followed before the event streams, taking events.
  TProcess watch;
  ASSERT_TRUE(watch.Start({VEXON_CTL_PATH, "--unix", dir_ + "/rpc.sock", "watch", "--start", "--take"}));
  WaitFirstMonitoringPass();
  sim_.WriteLine("breakin 0 1");
  const std::string line = watch.ReadLine(5000);
  EXPECT_NE(line.find("ТРЕВОГА - ВЗЛОМ!"), std::string::npos) << line;
  EXPECT_NE(line.find("controller 564"), std::string::npos) << line;
  EXPECT_EQ(watch.Stop(SIGINT), 0);
}

TEST_F(ServerE2e, AtMost64ConnectionsAtOnce) {
  RestartServer({"--rpc-max-connections", "64"});  // the default is 256
  std::vector<std::unique_ptr<TRpcClient>> clients;
  for (int i = 0; i < 63; ++i) {  // the fixture already holds one
    clients.push_back(std::make_unique<TRpcClient>());
    clients.back()->Connect(dir_ + "/rpc.sock");
    ASSERT_EQ(clients.back()->Call("sysvexon_GetServerState")["Value"], 31) << i;
  }
  TRpcClient extra;
  extra.Connect(dir_ + "/rpc.sock");
  const auto refused = json::parse(extra.ReadLine());
  EXPECT_EQ(refused["error"]["code"], -32000);
  EXPECT_THROW(extra.ReadLine(), std::runtime_error) << "and closed";
  clients.pop_back();
  // The server notices the close on its own time: try until a connection is
  // served again (each refused try is closed at once).
  bool served = false;
  for (const auto t0 = std::chrono::steady_clock::now();
       !served && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10);) {
    TRpcClient again;
    again.Connect(dir_ + "/rpc.sock");
    try {
      const auto r = again.Request("sysvexon_GetServerState", json::object());
      served = r.contains("result") && r["result"]["Value"] == 31;
    } catch (const std::runtime_error&) {
      // refused and closed before the request went out
    }
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(served) << "room again after one left";
}

TEST_F(ServerE2e, HttpBatchKeepAliveAndBodyLimit) {
  const std::string host = http_.substr(0, http_.rfind(':'));
  auto post = [&](TRpcClient& c, const std::string& target, const std::string& body, bool close) {
    c.Send("POST " + target + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: application/json\r\n" +
               "Content-Length: " + std::to_string(body.size()) + "\r\n" + (close ? "Connection: close\r\n" : "") +
               "\r\n" + body);
  };
  TRpcClient keep;
  keep.Connect(http_);
  post(keep,
       "/rpc",
       R"([{"jsonrpc":"2.0","id":1,"method":"sysvexon_GetErrorDescription","params":[1]},)"
       R"({"jsonrpc":"2.0","id":2,"method":"sysvexon_GetServerState"}])",
       false);
  std::string head = keep.ReadLine();
  EXPECT_NE(head.find("200"), std::string::npos) << head;
  size_t length = 0;
  for (std::string l; !(l = keep.ReadLine()).empty() && l != "\r";)
    if (l.rfind("Content-Length:", 0) == 0) length = std::stoul(l.substr(15));
  ASSERT_GT(length, 0u);
  // The body has no newline of its own: the next request on the same
  // connection pushes it out together with the next answer.
  post(keep, "/nothing", "{}", true);
  const std::string rest = keep.ReadToEnd();
  const auto batch = json::parse(rest.substr(0, length));
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[1]["result"]["Value"], 31);
  EXPECT_NE(rest.find("404"), std::string::npos) << "only /rpc is served: " << rest;

  TRpcClient big;
  big.Connect(http_);
  post(big, "/rpc", std::string(1100 * 1024, ' '), false);
  const std::string answer = big.ReadToEnd();
  EXPECT_NE(answer.find("-32600"), std::string::npos) << answer.substr(0, 200);
}

TEST_F(ServerE2e, VexonctlPresentsTheTokenTheServerAsksFor) {
  const std::string tokenFile = dir_ + "/token";
  {
    std::ofstream t(tokenFile);
    t << "s3cret-token\n";
  }
  RestartServer({"--rpc-token-file", tokenFile});
  auto ctl = [&](std::vector<std::string> args) {
    TProcess p;
    std::vector<std::string> argv = {VEXON_CTL_PATH, "--unix", dir_ + "/rpc.sock", "--config", dir_ + "/none.ini"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(p.Start(argv));
    std::string out;
    for (std::string l; !(l = p.ReadLine(5000)).empty();) out += l + "\n";
    return std::make_pair(p.Stop(0), out);
  };
  auto [rc, out] = ctl({"--token-file", tokenFile, "GetServerState"});
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("Value = 31"), std::string::npos) << out;
  std::tie(rc, out) = ctl({"GetServerState"});
  EXPECT_EQ(rc, 2) << "no token: the server closes the connection";
  // The token from the settings file given with --config.
  {
    std::ofstream ini(dir_ + "/client.ini");
    ini << "[Rpc]\nToken = s3cret-token\n";
  }
  TProcess p;
  ASSERT_TRUE(p.Start({VEXON_CTL_PATH, "--unix", dir_ + "/rpc.sock", "--config", dir_ + "/client.ini", "GetServerState"}));
  std::string text;
  for (std::string l; !(l = p.ReadLine(5000)).empty();) text += l + "\n";
  EXPECT_EQ(p.Stop(0), 1);
  EXPECT_NE(text.find("Value = 31"), std::string::npos) << text;
}
