// The JSON-RPC dispatch in process: parameter conversion by the interface's
// types, positional and named parameters, batches, notifications, dates and
// variants, and the interface description.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "rpc/dispatcher.h"
#include "rpc/http_rules.h"
#include "rpc/transports.h"
#include "rpc/variant_json.h"
#include "rpc_server_fixture.h"
#include "util/date_time.h"

using namespace vexon;
using nlohmann::json;

namespace {

class RpcTest : public vexon::testing::TRpcServerFixture {
 protected:
  json Handle(const json& request) {
    TRpcDispatcher d(services_);
    auto out = d.Handle(request.dump());
    return out ? json::parse(*out) : json();
  }
  json Call(const std::string& method, const json& params) {
    return Handle({{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}});
  }
  // The command bytes of the first queued request.
  std::vector<uint8_t> Queued() {
    TRequestPtr r;
    std::string key;
    if (!core_.Requests.GetFirstRequest(r, key)) return {};
    const auto* b = dynamic_cast<const TBufItem*>(r->Buf.get());
    return std::vector<uint8_t>(b->Data.begin(), b->Data.begin() + b->Length);
  }
  // The primary controller (MakeAdr 564) alone, and facility 1, cards
  // 100..199 as system indexes 1..100.
  void ConfigureWithCards() {
    std::vector<TDescriptor> d = {{0x00, 0x34, 0x02, 0x80, 0x0B, 0, 0, 0}};
    ASSERT_TRUE(core_.Model.BuildControllerList(&d));
    core_.Model.BuildAddressList();
    TCardList l;
    l.AddIt({0, 1, 100, 199, 1, 1});
    core_.Segments.CopyListToActive(l);
  }
  json SendCardList(const json& rows) {
    return Call("sysvexon_SendDeviceCardList", {{"AMakeAdr", 564}, {"ACards", rows}});
  }
  // The entries of the queued card lists, block after block.
  std::vector<uint8_t> QueuedCardEntries() {
    std::vector<uint8_t> out;
    TRequestPtr r;
    std::string key;
    while (core_.Requests.GetFirstRequest(r, key)) {
      for (const auto& b : dynamic_cast<const TSendCardListItem&>(*r->Buf).Cards)
        out.insert(out.end(), b.Data.begin(), b.Data.begin() + b.Length);
      core_.Requests.RemoveRequest(key);
    }
    return out;
  }
  std::string Text(int code) { return Call("sysvexon_GetErrorDescription", {{"Code", code}})["result"]["Value"]; }
};

}  // namespace

TEST_F(RpcTest, NamedAndPositionalParameters) {
  EXPECT_EQ(Call("sysvexon_GetErrorDescription", {{"Code", 31}})["result"]["Value"], "Система не сконфигурирована.");
  EXPECT_EQ(Call("sysvexon_GetErrorDescription", json::array({32}))["result"]["Value"], "Неверный номер контроллера.");
  EXPECT_EQ(Call("sysvexon_GetErrorDescription", json::array({32, 1}))["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_GetErrorDescription", json::array())["error"]["code"], -32602);
  // [in,out] arguments may be omitted, by name or at the end of a list.
  const auto r = Call("sysvexon_GetExtendedCommandState", json::array({5, 7}));
  EXPECT_EQ(r["result"]["Value"], 14);
  EXPECT_EQ(r["result"]["Int1"], 7);
  EXPECT_EQ(r["result"]["Int2"], 0);
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", 1.0}})["result"]["Value"], 14) << "a number without fraction";
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", 1.5}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", 2147483648LL}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_GetCommandState", {{"EventID", -2147483648LL}})["result"]["Value"], 14);
  EXPECT_EQ(Call("sysvexon_GetMonEventDescription", {{"EventCode", -1}, {"EventAdd", 0}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_GetCommandState", "x")["error"]["code"], -32600);
}

TEST_F(RpcTest, EnvelopeErrorsBatchesAndNotifications) {
  TRpcDispatcher d(services_);
  EXPECT_EQ(json::parse(*d.Handle("[1,"))["error"]["code"], -32700);
  EXPECT_EQ(json::parse(*d.Handle("[]"))["error"]["code"], -32600);
  EXPECT_EQ(json::parse(*d.Handle(R"({"jsonrpc":"1.0","id":1,"method":"x"})"))["error"]["code"], -32600);
  EXPECT_EQ(json::parse(*d.Handle(R"({"jsonrpc":"2.0","id":{},"method":"rpc.discover"})"))["error"]["code"], -32600);
  // Found by fuzzing: a version that is not a string.
  EXPECT_EQ(json::parse(*d.Handle(R"({"jsonrpc":["6",0]})"))["error"]["code"], -32600);
  EXPECT_EQ(json::parse(*d.Handle(R"({"jsonrpc":2,"id":[1],"method":"x"})"))["error"]["code"], -32600);
  EXPECT_FALSE(d.Handle(R"({"jsonrpc":"2.0","method":"sysvexon_LockServer"})").has_value());
  EXPECT_TRUE(core_.ServerLock.IsServerLocked()) << "a notification is carried out";
  const auto batch = json::parse(*d.Handle(
      R"([{"jsonrpc":"2.0","id":2,"method":"sysvexon_GetServerState"},5,{"jsonrpc":"2.0","method":"sysvexon_UnLockServer"},)"
      R"({"jsonrpc":"2.0","id":3,"method":"OpenIm"}])"));
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0]["result"]["Value"], 31);
  EXPECT_EQ(batch[1]["error"]["code"], -32600);
  EXPECT_EQ(batch[2]["error"]["code"], -32601) << "the interface's names only";
  EXPECT_FALSE(core_.ServerLock.IsServerLocked());
  EXPECT_FALSE(d.Handle(R"([{"jsonrpc":"2.0","method":"sysvexon_LockServer"}])").has_value());
}

TEST_F(RpcTest, DatesAreRoundedToTheMillisecondAndIsoWithOffsetIsLocal) {
  // 1999-12-31 23:59:58 minus a hair must not become 23:59:57.
  const double dt = EncodeDateTime({1999, 12, 31, 23, 59, 58, 0}) - 1e-10;
  ASSERT_EQ(Call("sysvexon_SetTimerBS", {{"DT", dt}})["result"]["Value"], 0);
  EXPECT_EQ(Queued(), (std::vector<uint8_t>{255, 255, 5, 0x58, 0x59, 0x23, 0x06, 0x31, 0x12, 0x99}));
  core_.Requests.ClearRequests();
  ASSERT_EQ(Call("sysvexon_SetTimerBS", {{"DT", "2004-03-02T14:05:09"}})["result"]["Value"], 0);
  EXPECT_EQ(Queued(), (std::vector<uint8_t>{255, 255, 5, 0x09, 0x05, 0x14, 0x03, 0x02, 0x03, 0x04}));
  core_.Requests.ClearRequests();
  // With an offset: converted to the local time of this process.
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_EQ(Call("sysvexon_SetTimerBS", {{"DT", "2004-03-02T16:05:09+02:00"}})["result"]["Value"], 0);
  EXPECT_EQ(Queued()[5], 0x14);
  EXPECT_EQ(Call("sysvexon_SetTimerBS", {{"DT", "2004-02-30T00:00:00"}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_SetTimerBS", {{"DT", "yesterday"}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_SetTimerBS", {{"DT", 1e300}})["error"]["code"], -32602);
  EXPECT_EQ(Call("sysvexon_SetTimerBS", {{"DT", EncodeDateTime({2150, 1, 1, 0, 0, 0, 0})}})["error"]["code"], -32000)
      << "a year the controllers cannot keep";
}

TEST_F(RpcTest, ClockUsesTheInjectedLocalTime) {
  ASSERT_EQ(Call("sysvexon_SetTimer", json::object())["result"]["Value"], 0);
  EXPECT_EQ(Queued(), (std::vector<uint8_t>{255, 255, 5, 0x09, 0x05, 0x14, 0x03, 0x02, 0x03, 0x04}));
}

TEST_F(RpcTest, EveryOperationOfTheTableIsCarriedOut) {
  int available = 0;
  for (const auto& op : OperationTable()) {
    if (op.Inherited) continue;
    EXPECT_TRUE(TSysVexonComServer::Available(op.Name)) << op.Name;
    ++available;
  }
  EXPECT_EQ(available, 77);
}

TEST(VariantJson, ArraysWithLowerBoundsRoundTrip) {
  const TVariant plain = VariantFromJson(json::parse("[[1,\"2\",true],[4,5,false]]"));
  ASSERT_TRUE(plain.IsArray());
  EXPECT_EQ(plain.LBound, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(plain.Items[0].Items[1].ToInt("x"), 2);
  EXPECT_EQ(plain.Items[0].Items[2].ToInt("x"), -1);
  EXPECT_EQ(plain.Items[1].Items[2].ToInt("x"), 0);
  const TVariant bounded = VariantFromJson(json::parse(R"({"lbound":[1,1],"data":[[7,8]]})"));
  EXPECT_EQ(bounded.LBound, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(VariantToJson(bounded), json::parse(R"({"lbound":[1,1],"data":[[7,8]]})"));
  EXPECT_THROW(VariantFromJson(json::parse("[[1,2],[3]]")), std::invalid_argument);
  EXPECT_THROW(VariantFromJson(json::parse(R"({"lbound":[1],"data":[[7,8]]})")), std::invalid_argument);
  // Bounds beyond 32 bits are refused, not wrapped (-2147483649 would read
  // as 2147483647).
  for (const char* text : {R"({"lbound":[1,-2147483649],"data":[[7]]})", R"({"lbound":[2147483648,1],"data":[[7]]})",
                           R"({"lbound":[18446744073709551615,1],"data":[[7]]})"})
    EXPECT_THROW(VariantFromJson(json::parse(text)), std::invalid_argument) << text;
  const TVariant edges = VariantFromJson(json::parse(R"({"lbound":[-2147483648,2147483647],"data":[[7]]})"));
  EXPECT_EQ(edges.LBound, (std::vector<int32_t>{INT32_MIN, INT32_MAX}));
  EXPECT_THROW(VariantFromJson(json::parse(R"({"x":1})")), std::invalid_argument);
  EXPECT_THROW(VariantFromJson(json::parse("null")).ToInt("n"), TAutomationError);
  EXPECT_THROW(VariantFromJson(json::parse("\"abc\"")).ToInt("s"), TAutomationError);
  EXPECT_THROW(VariantFromJson(json::parse("1.5")).ToInt("f"), TAutomationError);
}

TEST(InterfaceDescription, TableOrderDispidsAndTypes) {
  const json& doc = InterfaceDescription();
  const auto& m = doc["methods"];
  ASSERT_EQ(m.size(), 84u);
  for (int i = 0; i < 7; ++i) EXPECT_TRUE(m[i].value("x-inherited", false));
  EXPECT_EQ(m[7 + 9]["name"], "sysvexon_GetDriverInfo");
  EXPECT_EQ(m[7 + 9]["x-dispid"], 9);
  EXPECT_EQ(m[7 + 32]["name"], "sysvexon_SetAlarm");
  EXPECT_EQ(m[7 + 32]["x-dispid"], 34);
  EXPECT_EQ(m[7 + 76]["name"], "sysvexon_CheckDispatch");
  EXPECT_EQ(m[7 + 76]["result"]["schema"]["properties"]["Value"]["x-type"], "I4");
  EXPECT_EQ(m[7 + 3]["result"]["schema"]["properties"]["Value"]["x-type"], "BSTR");
  // SetReaderZone returns its Value and its one [in,out] argument.
  EXPECT_EQ(m[7 + 18]["result"]["schema"]["required"], json::array({"EventID", "Value"}));
  EXPECT_EQ(m[7 + 18]["result"]["schema"]["properties"]["EventID"]["x-direction"], "inout");
  const auto& zoneParams = m[7 + 18]["params"];  // SetReaderZone
  EXPECT_EQ(zoneParams[0]["name"], "EventID");
  EXPECT_EQ(zoneParams[0]["x-direction"], "inout");
  EXPECT_EQ(zoneParams[2]["x-type"], "UI1");
  EXPECT_EQ(doc["info"]["x-interface"]["name"], "ISysVexonComServer");
  int numbered = 0;
  for (const auto& op : OperationTable()) numbered += op.Number;
  EXPECT_EQ(numbered, 77 * 78 / 2) << "77 operations, each once";
}

TEST(JsonShape, DepthAndBatchEntriesAreMeasuredOnTheText) {
  EXPECT_EQ(ScanJson(R"({"a":[1,[2]]})").Depth, 3);
  EXPECT_EQ(ScanJson(R"({"a":"[[[[{{{{"})").Depth, 1) << "brackets inside strings do not count";
  EXPECT_EQ(ScanJson(R"({"a":"\"[[[["})").Depth, 1) << "an escaped quote does not end the string";
  EXPECT_EQ(ScanJson(std::string(100000, '[')).Depth, 100000);
  EXPECT_EQ(ScanJson("[]").TopLevelEntries, 0u);
  EXPECT_EQ(ScanJson("[ ]").TopLevelEntries, 0u);
  EXPECT_EQ(ScanJson("[1]").TopLevelEntries, 1u);
  EXPECT_EQ(ScanJson(R"([{"a":[1,2,3]},"x,y",[4,5]])").TopLevelEntries, 3u) << "only top-level commas";
  EXPECT_EQ(ScanJson(R"({"a":1,"b":2})").TopLevelEntries, 0u) << "not a batch";
}

TEST_F(RpcTest, NestingBatchesAndParamsAreCheckedBeforeAnythingIsCarriedOut) {
  TRpcDispatcher d(services_);
  auto code = [&](const std::string& text) {
    const auto a = json::parse(*d.Handle(text));
    return a.is_object() && a.contains("error") ? a["error"]["code"].get<int>() : 0;
  };
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetServerState","params":)";
  EXPECT_EQ(code(head + std::string(63, '[') + std::string(63, ']') + "}"), -32602);
  EXPECT_EQ(code(head + std::string(64, '[') + std::string(64, ']') + "}"), -32600);
  EXPECT_EQ(code(head + "7}"), -32600);
  EXPECT_EQ(code(head + "null}"), -32600);
  std::string batch = "[";
  for (int i = 0; i < 1001; ++i) batch += std::string(i ? "," : "") + R"({"jsonrpc":"2.0","method":"sysvexon_SetTimer"})";
  EXPECT_EQ(code(batch + "]"), -32600);
  TRequestPtr r;
  std::string key;
  EXPECT_FALSE(core_.Requests.GetFirstRequest(r, key)) << "no notification of the refused batch was queued";
}

TEST(VariantJson, DimensionsAndNumbersAreBounded) {
  auto nested = [](int n) { return json::parse(std::string(n, '[') + "1" + std::string(n, ']')); };
  EXPECT_EQ(VariantFromJson(nested(kMaxVariantDimensions)).LBound.size(), static_cast<size_t>(kMaxVariantDimensions));
  EXPECT_THROW(VariantFromJson(nested(kMaxVariantDimensions + 1)), std::invalid_argument);
  EXPECT_THROW(VariantFromJson({{"data", nested(kMaxVariantDimensions + 1)}}), std::invalid_argument);
  EXPECT_THROW(VariantFromJson(json::parse("[1e19]")), std::invalid_argument);
  EXPECT_THROW(VariantFromJson(json::parse("[18446744073709551615]")), std::invalid_argument);
  EXPECT_EQ(VariantFromJson(json::parse("[-9.1e18]")).Items[0].Float, -9.1e18);
}

TEST_F(RpcTest, CallsAreCountedByMethodAndCodeFromManyThreadsAtOnce) {
  auto count = [](const std::string& method, int code) {
    uint64_t n = 0;
    for (const auto& c : RpcCallCounts()) n += c.Method == method && c.Code == code ? c.Count : 0;
    return n;
  };
  const uint64_t ok = count("sysvexon_GetCommandState", 0), bad = count("sysvexon_GetCommandState", -32602),
                 other = count("other", -32601), discover = count("rpc.discover", 0),
                 state = count("sysvexon_GetServerState", 0);
  constexpr int kThreads = 4, kCalls = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      TRpcDispatcher d(services_);
      for (int i = 0; i < kCalls; ++i) {
        d.Handle(R"({"jsonrpc":"2.0","id":1,"method":"sysvexon_GetCommandState","params":{"EventID":1}})");
        d.Handle(R"({"jsonrpc":"2.0","id":2,"method":"sysvexon_GetCommandState","params":{"EventID":"one"}})");
        // The short name is not the interface's: unknown, counted as "other".
        d.Handle(R"({"jsonrpc":"2.0","id":3,"method":"GetCommandState","params":{"EventID":1}})");
        d.Handle(R"({"jsonrpc":"2.0","id":4,"method":"no such method"})");
      }
    });
  for (auto& t : threads) t.join();
  Call("rpc.discover", json::object());
  EXPECT_EQ(count("sysvexon_GetCommandState", 0) - ok, uint64_t{kThreads * kCalls});
  EXPECT_EQ(count("sysvexon_GetCommandState", -32602) - bad, uint64_t{kThreads * kCalls});
  EXPECT_EQ(count("other", -32601) - other, uint64_t{2 * kThreads * kCalls});
  EXPECT_EQ(count("rpc.discover", 0) - discover, 1u);
  EXPECT_EQ(count("sysvexon_GetServerState", 0) - state, 0u) << "no other method's counter moved";
  for (const auto& c : RpcCallCounts()) {
    EXPECT_NE(c.Method, "GetCommandState") << "an unknown name never gets a row of its own";
    EXPECT_NE(c.Method, "no such method");
    EXPECT_GT(c.Count, 0u) << c.Method << " " << c.Code;
  }
}

namespace {

// A plain blocking client socket on TCP ("127.0.0.1:PORT") or a Unix path.
int ConnectTo(const std::string& where) {
  if (where.find('/') != std::string::npos) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, where.c_str(), sizeof a.sun_path - 1);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1))));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
}

// Everything up to the first newline, or what came before the peer closed.
std::string ReadLineFrom(int fd) {
  std::string line;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  return line;
}

}  // namespace

// Connections waiting between messages (one blocked in its read with no
// time-out) and one waiting for the rest of a message all end as soon as
// the stop begins: the stop does not have to sit out its grace for them.
TEST_F(RpcTest, StopEndsWaitingLineConnectionsAtOnceOnTcpAndUnix) {
  TRpcOptions options;
  options.PartialMessageMs = 600000;
  TRpcServer server(services_, options);
  std::string error;
  const std::string sock = dir_ + "/rpc.sock";
  ASSERT_TRUE(server.ListenTcp("127.0.0.1:0", error)) << error;
  ASSERT_TRUE(server.ListenUnix(sock, error)) << error;
  const std::string tcp = server.Endpoints().front().substr(4);
  const std::string request = R"({"jsonrpc":"2.0","id":7,"method":"sysvexon_GetServerState"})" "\n";
  std::vector<int> fds;
  for (const std::string& where : {tcp, sock, tcp}) {
    const int fd = ConnectTo(where);
    ASSERT_GE(fd, 0) << where;
    fds.push_back(fd);
  }
  for (size_t i = 0; i < 2; ++i) {
    ASSERT_EQ(::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    EXPECT_NE(ReadLineFrom(fds[i]).find(R"("result")"), std::string::npos) << "connection " << i;
  }
  ASSERT_EQ(::send(fds[2], request.data(), 20, MSG_NOSIGNAL), 20) << "half a message";
  ASSERT_EQ(server.Connections(), 3);

  auto stopped = std::async(std::launch::async, [&] { server.Stop(std::chrono::minutes(10)); });
  const bool prompt = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(prompt) << "the stop waited out its grace for connections that were only waiting";
  if (!prompt) server.EndGrace();
  stopped.get();
  EXPECT_EQ(server.Connections(), 0);
  for (const int fd : fds) {
    EXPECT_EQ(ReadLineFrom(fd), "") << "closed without an answer";
    ::close(fd);
  }
}

TEST_F(RpcTest, CheckedCardListReadsOnlyTheColumnsItsRowsNeed) {
  ConfigureWithCards();
  // Five columns: facility, card number low and high, properties, schedule.
  auto r = SendCardList(json::array({json::array({1, 100, 0, 0x01, 5}), json::array({1, 150, 0, 0x02, 31})}));
  EXPECT_EQ(r["result"]["Value"], 0) << r.dump();
  EXPECT_EQ(QueuedCardEntries(), (std::vector<uint8_t>{1, 0, 0x01, 5, 0, 0, 51, 0, 0x02, 31, 0, 0}));
  EXPECT_EQ(SendCardList(json::array({json::array({1, 250, 0, 0, 0, 0, 0})}))["result"]["Value"], 91)
      << "seven columns, the first card not a system card";
  EXPECT_EQ(SendCardList(json::array({json::array({1, 100, 0, 0x23, 0})}))["result"]["Value"], 92)
      << "the time type is refused before the commissioning columns are read";
  // A commissioning row reads columns 6 to 8: missing, they fail the call.
  for (const int props : {0x20, 0x30}) {
    r = SendCardList(json::array({json::array({1, 100, 0, 0, 0, 0, 0}), json::array({1, 101, 0, props, 0, 1, 0})}));
    EXPECT_EQ(r["error"]["code"], -32000) << props;
  }
  EXPECT_EQ(core_.Requests.RequestCount(), 0u);
  r = SendCardList(json::array({json::array({1, 101, 0, 0x30, 0, 1, 199, 0})}));
  EXPECT_EQ(r["result"]["Value"], 0) << r.dump();
  EXPECT_EQ(QueuedCardEntries(), (std::vector<uint8_t>{2, 0, 0x30, 0, 100, 0}));
}

TEST_F(RpcTest, CardNamedByACardListFailureIsTheFailingRowsAndOnlyAFailureSetsIt) {
  ConfigureWithCards();
  const auto row = [](int card, int props = 0, int pin = 0) { return json::array({1, card, 0, props, 0, 0, pin & 0xFF, pin >> 8}); };
  // Row 2 of three is a card of no segment.
  ASSERT_EQ(SendCardList(json::array({row(100), row(250), row(102)}))["result"]["Value"], 91);
  const std::string named = "Обнаружена несистемная карта 1 / 250. Передача невозможна";
  EXPECT_EQ(Text(91), named);
  // A list that passes, from this client or another, names no card.
  ASSERT_EQ(SendCardList(json::array({row(199)}))["result"]["Value"], 0);
  TRpcDispatcher other(services_);
  const auto answer = json::parse(*other.Handle(
      R"({"jsonrpc":"2.0","id":7,"method":"sysvexon_SendDeviceCardList","params":{"AMakeAdr":564,"ACards":[[1,120,0,0,0,0,0,0]]}})"));
  ASSERT_EQ(answer["result"]["Value"], 0);
  EXPECT_EQ(Text(91), named);
  // A bad PIN code names the card of its row.
  ASSERT_EQ(SendCardList(json::array({row(101), row(150, 0x20, 10000)}))["result"]["Value"], 96);
  EXPECT_EQ(Text(96), "Неверный PIN-код комиссионирования для карты 1 / 150 - несистемная. Передача невозможна");
  EXPECT_EQ(Text(91), "Обнаружена несистемная карта 1 / 150. Передача невозможна");
}

// What the transports check before reading any call.
TEST(HttpRules, TargetsRequestLinesHostsAndTokens) {
  EXPECT_TRUE(EventsTarget("/events"));
  EXPECT_TRUE(EventsTarget("/events?streams=state"));
  EXPECT_FALSE(EventsTarget("/eventsx"));
  EXPECT_FALSE(EventsTarget("/rpc?/events"));
  EXPECT_TRUE(IsHttpRequestLine("POST /rpc HTTP/1.1"));
  EXPECT_FALSE(IsHttpRequestLine(R"({"jsonrpc":"2.0"} HTTP/1.1)"));
  EXPECT_FALSE(IsHttpRequestLine("post /rpc HTTP/1.1"));
  EXPECT_FALSE(IsHttpRequestLine(" /rpc HTTP/1.1"));
  EXPECT_EQ(HostName("[::1]:8080"), "::1");
  EXPECT_EQ(HostName("[::1"), "::1");
  EXPECT_EQ(HostName("LocalHost:80"), "localhost");
  EXPECT_EQ(HostName("fe80::1"), "fe80::1");  // a bare IPv6 address keeps its colons
  EXPECT_TRUE(SameToken("secret", "secret"));
  EXPECT_FALSE(SameToken("secre", "secret"));
  EXPECT_FALSE(SameToken("secrets", "secret"));
  EXPECT_FALSE(SameToken("", "secret"));
  EXPECT_TRUE(AuthLineMatches(R"({"auth":"secret"})", "secret"));
  EXPECT_FALSE(AuthLineMatches(R"({"auth":"secret","x":1})", "secret"));
  EXPECT_FALSE(AuthLineMatches(R"({"auth":["secret"]})", "secret"));
  EXPECT_FALSE(AuthLineMatches(R"({"auth":"secret")", "secret"));
  EXPECT_FALSE(AuthLineMatches(R"({"auth":"secret"})" + std::string(5000, ' '), "secret"));
}
