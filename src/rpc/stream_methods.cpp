#include "rpc/stream_methods.h"

namespace vexon {

using json = nlohmann::json;

namespace {

json StreamNames() {
  json names = json::array();
  for (size_t i = 0; i < kStreamCount; ++i) names.push_back(StreamName(static_cast<TStream>(i)));
  return names;
}

json SeqObject() {
  json props = json::object();
  for (size_t i = 0; i < kStreamCount; ++i)
    props[StreamName(static_cast<TStream>(i))] = {{"type", "integer"}, {"minimum", 0}};
  return {{"type", "object"}, {"properties", props}, {"additionalProperties", false}};
}

}  // namespace

json StreamMethodsDescription() {
  const json id = {{"type", "integer"}, {"minimum", 1}};
  json subscribe;
  subscribe["name"] = "vexon.subscribe";
  subscribe["summary"] =
      "Follow event streams without taking anything from the journals: monitoring (every monitoring-journal entry), "
      "registration (every registration event once it is stored), state (the window's fields, the request taken up, "
      "links lost and back, port opened and closed, journal reads), line (every frame). The events come as "
      "vexon.event notifications on this connection, in order, numbered from 1 in each run. `from` resumes after a "
      "reconnect: the server keeps the last events of each stream (10,000 by default); older ones come as a gap.";
  subscribe["paramStructure"] = "by-name";
  json streams = {{"name", "streams"}, {"required", true}};
  streams["schema"] = {{"type", "array"}, {"minItems", 1}};
  streams["schema"]["items"] = {{"enum", StreamNames()}};
  json from = {{"name", "from"}, {"required", false}};
  from["schema"] = SeqObject();
  json run = {{"name", "run"}, {"required", false}};
  run["schema"] = {{"type", "integer"}, {"minimum", 0}};
  subscribe["params"] = json::array({streams, from, run});
  json result = {{"type", "object"}};
  result["properties"] = {{"subscription", id}, {"run", {{"type", "integer"}}}, {"next", SeqObject()}};
  result["required"] = json::array({"subscription", "run", "next"});
  subscribe["result"] = {{"name", "result"}, {"schema", result}};
  subscribe["x-transports"] = json::array({"tcp", "unix"});

  json unsubscribe;
  unsubscribe["name"] = "vexon.unsubscribe";
  unsubscribe["summary"] = "End a subscription of this connection.";
  unsubscribe["paramStructure"] = "by-name";
  json sub = {{"name", "subscription"}, {"required", true}};
  sub["schema"] = id;
  unsubscribe["params"] = json::array({sub});
  json unsubResult = {{"type", "object"}};
  unsubResult["properties"] = {{"subscription", id}};
  unsubResult["required"] = json::array({"subscription"});
  unsubscribe["result"] = {{"name", "result"}, {"schema", unsubResult}};
  unsubscribe["x-transports"] = json::array({"tcp", "unix"});
  return json::array({subscribe, unsubscribe});
}

json StreamNotificationsDescription() {
  json event;
  event["name"] = "vexon.event";
  event["summary"] =
      "An event of a subscription, {subscription, stream, seq, event}, or a gap, {subscription, gap: {stream, "
      "missed}}, when the subscriber fell behind by `missed` events (its queue was full, or `from` lay before the "
      "kept events) and goes on from the newest. Over HTTP, GET /events?streams=...&from=<stream>:<seq>,... sends "
      "the same events as server-sent events (id: <stream>:<seq>, event: <stream>, data: the event), resumed by "
      "Last-Event-ID.";
  json gap = {{"type", "object"}};
  gap["properties"] = {{"stream", {{"enum", StreamNames()}}}, {"missed", {{"type", "integer"}}}};
  json params = json::array();
  params.push_back({{"name", "subscription"}, {"schema", {{"type", "integer"}}}});
  params.push_back({{"name", "stream"}, {"schema", {{"enum", StreamNames()}}}});
  params.push_back({{"name", "seq"}, {"schema", {{"type", "integer"}}}});
  params.push_back({{"name", "event"}, {"schema", {{"type", "object"}}}});
  params.push_back({{"name", "gap"}, {"schema", gap}});
  event["params"] = params;
  return json::array({event});
}

bool ReadSubscribeParams(const json& params, TSubscribeRequest& out, std::string& why) {
  out = TSubscribeRequest{};
  for (auto it = params.begin(); it != params.end(); ++it)
    if (it.key() != "streams" && it.key() != "from" && it.key() != "run") {
      why = "unknown argument " + it.key();
      return false;
    }
  const auto streams = params.find("streams");
  if (streams == params.end() || !streams->is_array() || streams->empty()) {
    why = "streams must be a list of stream names (monitoring, registration, state, line)";
    return false;
  }
  for (const auto& s : *streams) {
    const auto stream = s.is_string() ? StreamByName(s.get<std::string>()) : std::nullopt;
    if (!stream) {
      why = "unknown stream " + s.dump();
      return false;
    }
    out.Streams[static_cast<size_t>(*stream)] = true;
  }
  if (const auto from = params.find("from"); from != params.end()) {
    if (!from->is_object()) {
      why = "from must be an object of stream numbers";
      return false;
    }
    for (auto it = from->begin(); it != from->end(); ++it) {
      const auto stream = StreamByName(it.key());
      if (!stream || !out.Streams[static_cast<size_t>(*stream)]) {
        why = "from names a stream not subscribed: " + it.key();
        return false;
      }
      if (!it->is_number_unsigned()) {
        why = "from." + it.key() + " must be a number from 0";
        return false;
      }
      out.From[static_cast<size_t>(*stream)] = it->get<uint64_t>();
    }
  }
  if (const auto run = params.find("run"); run != params.end()) {
    if (!run->is_number_unsigned()) {
      why = "run must be a number from 0";
      return false;
    }
    out.Run = run->get<uint64_t>();
  }
  return true;
}

json NextObject(const TSubscribeRequest& request, const TSubscribeResult& result) {
  json next = json::object();
  for (size_t i = 0; i < kStreamCount; ++i)
    if (request.Streams[i]) next[StreamName(static_cast<TStream>(i))] = result.Next[i];
  return next;
}

void AppendNotification(std::string& out, uint64_t subscription, const TDelivery& d) {
  // Appended piece by piece: a sender writes hundreds at once.
  out += R"({"jsonrpc":"2.0","method":"vexon.event","params":{"subscription":)";
  out += std::to_string(subscription);
  if (!d.Event) {
    out += R"(,"gap":{"stream":")";
    out += StreamName(d.Stream);
    out += R"(","missed":)";
    out += std::to_string(d.Missed);
    out += "}}}";
    return;
  }
  out += R"(,"stream":")";
  out += StreamName(d.Stream);
  out += R"(","seq":)";
  out += std::to_string(d.Event->Seq);
  out += R"(,"event":)";
  out += d.Event->Text;
  out += "}}";
}

}  // namespace vexon
