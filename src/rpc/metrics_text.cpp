#include "rpc/metrics_text.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

#include "core/server_core.h"
#include "journals/mon_journal.h"
#include "rpc/dispatcher.h"

namespace vexon {

namespace {

// Process start, for the metrics page (static initialisation runs first).
const double processStart = static_cast<double>(std::time(nullptr));

std::string LabelValue(const std::string& v) {
  std::string out;
  for (const char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// One family: HELP, TYPE, then its samples.
void Family(std::string& out, const char* name, const char* type, const char* help,
            const std::vector<std::pair<std::string, double>>& samples) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  for (const auto& [labels, value] : samples) {
    char num[64];
    std::snprintf(num, sizeof num, "%.17g", value);
    out += std::string(name) + labels + " " + num + "\n";
  }
}

}  // namespace

std::string MetricsText(TServices& services, const TEventHub* hub, int connectionsOpen, uint64_t refused) {
  auto& core = services.Core;
  std::string out;
  Family(out, "vexon_frames_sent_total", "counter", "Frames sent on the serial line.",
         {{"", core.Link.FramesSent()}});
  Family(out, "vexon_frames_failed_total", "counter", "Frames that failed (no answer, bad answer).",
         {{"", core.Link.FramesFailed()}});
  Family(out, "vexon_link_status", "gauge", "Status of the last exchange on the line (0 good).",
         {{"", core.Link.Status()}});
  Family(out, "vexon_port_open", "gauge", "1 while the serial port is open.", {{"", core.Port.Uart() && !core.Port.Uart()->IsClosed() ? 1 : 0}});
  Family(out, "vexon_request_queue_length", "gauge", "Requests waiting for the line.",
         {{"", static_cast<double>(core.Requests.RequestCount())}});
  std::vector<std::pair<std::string, double>> byClass;
  for (const auto& [cls, n] : core.Requests.CountByClass())
    byClass.emplace_back("{class=\"" + LabelValue(cls) + "\"}", static_cast<double>(n));
  Family(out, "vexon_request_queue_class_length", "gauge",
         "Requests waiting for the line, by priority class (00 configuration ... 99 other).", byClass);
  std::vector<std::pair<std::string, double>> results;
  for (const auto& [code, n] : core.Answers.ResultCounts())
    results.emplace_back("{code=\"" + std::to_string(code) + "\"}", static_cast<double>(n));
  Family(out, "vexon_request_results_total", "counter",
         "Answers stored for requests, by result code (88: cleared from the queue by an autoconfiguration).", results);
  Family(out, "vexon_answers_pending", "gauge", "Entries in the answer queue.",
         {{"", static_cast<double>(core.Answers.Count())}});
  Family(out, "vexon_monitoring_journal_size", "gauge", "Events in the monitoring journal.",
         {{"", static_cast<double>(services.MonJournal.Count())}});
  Family(out, "vexon_registration_journal_size", "gauge", "Events in the registration journal.",
         {{"", static_cast<double>(core.RegJournal.Count())}});
  std::vector<std::pair<std::string, double>> calls, errors;
  std::map<std::string, double> byMethod;
  for (const auto& c : RpcCallCounts()) {
    byMethod[c.Method] += static_cast<double>(c.Count);
    if (c.Code != 0)
      errors.emplace_back("{method=\"" + LabelValue(c.Method) + "\",code=\"" + std::to_string(c.Code) + "\"}",
                          static_cast<double>(c.Count));
  }
  for (const auto& [m, n] : byMethod) calls.emplace_back("{method=\"" + LabelValue(m) + "\"}", n);
  Family(out, "vexon_rpc_calls_total", "counter", "RPC calls by method.", calls);
  Family(out, "vexon_rpc_errors_total", "counter", "RPC calls answered with an error, by method and code.", errors);
  Family(out, "vexon_rpc_connections_open", "gauge", "RPC connections open.", {{"", connectionsOpen}});
  Family(out, "vexon_rpc_connections_refused_total", "counter", "RPC connections refused at the limit.",
         {{"", static_cast<double>(refused)}});
  if (hub) {
    const auto counters = hub->Counters();
    std::vector<std::pair<std::string, double>> subs, sent, gaps, missed;
    for (size_t i = 0; i < kStreamCount; ++i) {
      const std::string label = std::string("{stream=\"") + StreamName(static_cast<TStream>(i)) + "\"}";
      subs.emplace_back(label, static_cast<double>(counters[i].Subscribers));
      sent.emplace_back(label, static_cast<double>(counters[i].Sent));
      gaps.emplace_back(label, static_cast<double>(counters[i].Gaps));
      missed.emplace_back(label, static_cast<double>(counters[i].Missed));
    }
    Family(out, "vexon_stream_subscribers", "gauge", "Subscriptions following each event stream.", subs);
    Family(out, "vexon_stream_events_sent_total", "counter", "Events sent to subscribers, by stream.", sent);
    Family(out, "vexon_stream_gaps_total", "counter",
           "Gap notices sent to subscribers that fell behind or asked for more than is kept, by stream.", gaps);
    Family(out, "vexon_stream_missed_total", "counter", "Events the gap notices stood for, by stream.", missed);
  }
  Family(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch.",
         {{"", processStart}});
  return out;
}

}  // namespace vexon
