#include "ctl/follow.h"

#include <cstdio>

namespace vexon::ctl {

using nlohmann::json;

namespace {

int Int(const json& e, const char* name) { return e.contains(name) && e[name].is_number() ? e[name].get<int>() : 0; }

std::string Str(const json& e, const char* name) {
  return e.contains(name) && e[name].is_string() ? e[name].get<std::string>() : std::string();
}

std::string Stamp(const json& e) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", Int(e, "Year"), Int(e, "Month"), Int(e, "Day"),
                Int(e, "Hour"), Int(e, "Minute"), Int(e, "Second"));
  return text;
}

std::string StateText(const json& e) {
  const std::string kind = Str(e, "Kind");
  const bool flag = [&] {
    for (const char* name : {"Open", "Lost", "Started"})
      if (e.contains(name) && e[name].is_boolean()) return e[name].get<bool>();
    return false;
  }();
  if (kind == "port") return flag ? "порт: COM" + std::to_string(Int(e, "PortNumber")) : "порт: закрыт";
  if (kind == "status") return "статус: " + Str(e, "Text");
  if (kind == "data") return "данные: " + Str(e, "Text");
  if (kind == "command") return "команда: " + Str(e, "Text");
  if (kind == "link")
    return "контроллер " + std::to_string(Int(e, "MakeAdr")) + (flag ? ": связь потеряна" : ": связь восстановлена");
  if (kind == "journalRead")
    return "журнал контроллера " + std::to_string(Int(e, "MakeAdr")) +
           (flag ? ": чтение начато" : ": чтение окончено, код " + std::to_string(Int(e, "Result")));
  return e.dump();
}

}  // namespace

std::string EventLine(const std::string& stream, const json& e) {
  char text[160];
  if (stream == "monitoring") {
    std::snprintf(text, sizeof text, "%s  controller %-6d %-3d  card %3d/%-5d  ", Stamp(e).c_str(), Int(e, "MakeAdr"),
                  Int(e, "AdrAdd"), Int(e, "FacilityCode"), Int(e, "CardID"));
    return text + Str(e, "Description");
  }
  if (stream == "registration") {
    const int type = Int(e, "EventType"), adrAdd = Int(e, "AdrAdd"), card = Int(e, "CardID");
    char where[64] = "";
    if ((type == 1 || type == 2) && card != 0)
      std::snprintf(where, sizeof where, "reader %d  card %3d/%-5d", adrAdd, Int(e, "FacilityCode"), card);
    else if (type == 1 || type == 2)
      std::snprintf(where, sizeof where, "reader %d", adrAdd);
    else if (type == 3)
      std::snprintf(where, sizeof where, "driver %d  item %d", adrAdd, card);
    else if (adrAdd != 0)
      std::snprintf(where, sizeof where, "driver %d", adrAdd);
    std::snprintf(text, sizeof text, "%s  controller %-6d %-24s %s", Stamp(e).c_str(), Int(e, "MakeAdr"), where,
                  Int(e, "Alarm") != 0 ? "ТРЕВОГА: " : "");
    return text + Str(e, "Description");
  }
  if (stream == "state") {
    const std::string time = Str(e, "Time");
    return (time.size() >= 19 ? time.substr(0, 10) + " " + time.substr(11, 8) : time) + "  " + StateText(e);
  }
  return Str(e, "Text");
}

bool SubscribeStreams(TRpcClient& client, const std::vector<std::string>& streams) {
  const json answer = client.Request("vexon.subscribe", {{"streams", streams}});
  if (!answer.contains("error")) return true;
  std::fprintf(stderr, "vexonctl: %s\n", answer["error"].value("message", "vexon.subscribe failed").c_str());
  return false;
}

void PrintNotification(const json& n, bool asJson) {
  if (!n.is_object() || n.value("method", "") != "vexon.event" || !n.contains("params") || !n["params"].is_object())
    return;
  const json& p = n["params"];
  if (p.contains("gap")) {
    const json& gap = p["gap"];
    if (asJson)
      std::printf("%s\n", json{{"stream", gap["stream"]}, {"gap", gap["missed"]}}.dump().c_str());
    else
      std::fprintf(stderr, "vexonctl: %s: %s events missed (this client fell behind)\n",
                   gap.value("stream", "").c_str(), gap["missed"].dump().c_str());
  } else {
    const std::string stream = p.value("stream", "");
    if (asJson) {
      json out = p["event"];
      out["stream"] = stream;
      out["seq"] = p["seq"];
      std::printf("%s\n", out.dump().c_str());
    } else {
      std::printf("%s\n", EventLine(stream, p["event"]).c_str());
    }
  }
  std::fflush(stdout);
}

}  // namespace vexon::ctl
