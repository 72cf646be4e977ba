#include "rpc/sse.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>
#include <vector>

#include "rpc/stream_methods.h"
#include "util/thread_priority.h"

namespace vexon {

namespace {

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  while (!s.empty()) {
    const auto at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 1);
  }
  return parts;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ReadNumber(std::string_view s, uint64_t& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

// "monitoring:5,state:3" into per-stream numbers, plus `add` to each.
bool ReadPositions(std::string_view text, uint64_t add, TSubscribeRequest& out, std::string& why) {
  for (const auto part : Split(text, ',')) {
    const auto item = Trim(part);
    if (item.empty()) continue;
    const auto colon = item.find(':');
    const auto stream = colon == std::string_view::npos ? std::nullopt : StreamByName(std::string(item.substr(0, colon)));
    uint64_t n = 0;
    if (!stream || !ReadNumber(item.substr(colon + 1), n)) {
      why = "expected <stream>:<number>, got '" + std::string(item) + "'";
      return false;
    }
    // A Last-Event-ID may name a stream no longer asked for: it is ignored.
    if (!out.Streams[static_cast<size_t>(*stream)] && add > 0) continue;
    if (!out.Streams[static_cast<size_t>(*stream)]) {
      why = "not among the streams asked for: " + std::string(item);
      return false;
    }
    out.From[static_cast<size_t>(*stream)] = n + add;
  }
  return true;
}

void AppendEventMessage(std::string& out, const TDelivery& d) {
  if (!d.Event) {
    out += "event: gap\ndata: {\"stream\":\"";
    out += StreamName(d.Stream);
    out += "\",\"missed\":";
    out += std::to_string(d.Missed);
    out += "}\n\n";
    return;
  }
  // Event texts are one line of JSON: one data line each.
  const char* name = StreamName(d.Stream);
  out += "id: ";
  out += name;
  out += ':';
  out += std::to_string(d.Event->Seq);
  out += "\nevent: ";
  out += name;
  out += "\ndata: ";
  out += d.Event->Text;
  out += "\n\n";
}

}  // namespace

bool ReadEventsRequest(std::string_view target, std::string_view lastEventId, TSubscribeRequest& out, std::string& why) {
  out = TSubscribeRequest{};
  const auto q = target.find('?');
  std::string_view from;
  bool haveStreams = false;
  if (q != std::string_view::npos) {
    for (const auto pair : Split(target.substr(q + 1), '&')) {
      const auto eq = pair.find('=');
      const auto key = pair.substr(0, eq);
      const auto value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      if (key == "streams") {
        for (const auto name : Split(value, ',')) {
          const auto stream = StreamByName(std::string(name));
          if (!stream) {
            why = "unknown stream '" + std::string(name) + "'";
            return false;
          }
          out.Streams[static_cast<size_t>(*stream)] = true;
          haveStreams = true;
        }
      } else if (key == "from") {
        from = value;
      } else if (key == "run") {
        if (!ReadNumber(value, out.Run)) {
          why = "run must be a number";
          return false;
        }
      } else if (!key.empty()) {
        why = "unknown parameter '" + std::string(key) + "'";
        return false;
      }
    }
  }
  if (!haveStreams) {
    why = "name the streams: /events?streams=monitoring,registration,state,line";
    return false;
  }
  if (!ReadPositions(from, 0, out, why)) return false;
  // The last event the client saw: it resumes after it.
  return ReadPositions(lastEventId, 1, out, why);
}

void ServeEventStream(TEventHub& hub, const TSubscribeRequest& request, const TEventStreamIo& io) {
  const TSubscribeResult result = hub.Subscribe(request);
  const nlohmann::json hello = {{"run", result.Run}, {"next", NextObject(request, result)}};
  if (!io.Write("HTTP/1.1 200 OK\r\nServer: srvvexon\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                "Cache-Control: no-cache\r\nX-Accel-Buffering: no\r\nConnection: close\r\n\r\n"
                "retry: 3000\nevent: subscribed\ndata: " +
                hello.dump() + "\n\n"))
    return;
  // The connection's thread serves nothing but the stream from here on. Not
  // before: Subscribe holds the hub's lock, which the journals wait for.
  LowerThisThreadPriority();
  TSubscription& sub = *result.Subscription;
  using clock = std::chrono::steady_clock;
  auto lastWrite = clock::now();
  const auto keepAlive = std::chrono::milliseconds(std::max(io.KeepAliveMs, 1));
  while (!io.Ended()) {
    const auto untilKeepAlive =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastWrite + keepAlive - clock::now());
    const auto wait = std::clamp(untilKeepAlive, std::chrono::milliseconds(0), std::chrono::milliseconds(1000));
    if (const auto batch = sub.PopSome(wait, 256); !batch.empty()) {
      std::string text;
      for (const auto& d : batch) AppendEventMessage(text, d);
      if (!io.Write(text)) return;
      for (const auto& d : batch) {
        if (d.Event)
          hub.CountSent(d.Stream);
        else
          hub.CountGap(d.Stream, d.Missed);
      }
      lastWrite = clock::now();
    } else if (clock::now() - lastWrite >= keepAlive) {
      if (!io.Write(": keep-alive\n\n")) return;
      lastWrite = clock::now();
    }
  }
}

}  // namespace vexon
