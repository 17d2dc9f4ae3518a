#include "service/MetricsText.h"

namespace quorvane {

namespace {

constexpr const char* kRefusalNames[ServerMetrics::kRefusals] = {
    "banned", "pending_per_address", "connections_per_address", "server_full", "no_free_id"};
constexpr const char* kVoiceDropNames[ServerMetrics::kVoiceDrops] = {
    "ignored", "hello_refused", "forwarding_off", "no_recipient", "not_allowed", "voice_limit"};
constexpr const char* kDropNames[ServerMetrics::kDrops] = {"inactivity", "login_timeout"};

std::string label(const char* name, const char* value) {
  return std::string(name) + "=\"" + value + '"';
}

std::uint64_t read(const std::atomic<std::uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

}  // namespace

void MetricsText::family(const char* name, const char* type, const char* help) {
  out_ += "# HELP ";
  out_ += name;
  out_ += ' ';
  out_ += help;
  out_ += "\n# TYPE ";
  out_ += name;
  out_ += ' ';
  out_ += type;
  out_ += '\n';
}

void MetricsText::sample(const char* name, const std::string& label, std::uint64_t value) {
  out_ += name;
  if (!label.empty()) out_ += '{' + label + '}';
  out_ += ' ';
  out_ += std::to_string(value);
  out_ += '\n';
}

void MetricsText::series(const char* name, const char* labelName, const char* const* values,
                         const std::atomic<std::uint64_t>* counters, int count) {
  for (int i = 0; i < count; ++i) sample(name, label(labelName, values[i]), read(counters[i]));
}

void MetricsText::one(const char* name, const char* type, const char* help, std::uint64_t value) {
  family(name, type, help);
  sample(name, std::string(), value);
}

std::string MetricsText::render(const ServerMetrics& server, const TrafficCounters& traffic,
                                std::time_t processStart) {
  std::string out;
  out.reserve(4096);
  MetricsText text(out);
  text.one("quorvane_users_connected", "gauge", "Users connected, logged in or not.",
           read(server.usersConnected));
  text.one("quorvane_users_logged_in", "gauge", "Users logged in.", read(server.usersLoggedIn));
  const std::uint64_t channels = read(server.channels);
  const std::uint64_t fixed = read(server.staticChannels);
  text.family("quorvane_channels", "gauge",
              "Channels in the tree: static (the root included) and created by clients.");
  text.sample("quorvane_channels", label("kind", "static"), fixed);
  text.sample("quorvane_channels", label("kind", "created"), channels > fixed ? channels - fixed : 0);
  text.one("quorvane_connections_accepted_total", "counter",
           "Client connections accepted and given a user id.", read(server.accepted));
  text.family("quorvane_connections_refused_total", "counter",
              "Client connections closed at once, by reason.");
  text.series("quorvane_connections_refused_total", "reason", kRefusalNames,
              server.refused.data(), ServerMetrics::kRefusals);
  text.sample("quorvane_connections_refused_total", label("reason", "descriptor_limit"),
              read(traffic.descriptorRefusals));
  text.family("quorvane_lines_received_total", "counter",
              "Lines received from clients and handled, by command.");
  text.series("quorvane_lines_received_total", "command", ServerMetrics::kCommandNames.data(),
              server.linesReceived.data(), ServerMetrics::kCommands);
  text.one("quorvane_rate_limit_waits_total", "counter",
           "Times a line had to wait for the rate limits.", read(server.rateLimitWaits));
  text.one("quorvane_lines_sent_total", "counter", "Lines sent to clients.",
           read(traffic.linesSent));
  text.one("quorvane_sent_bytes_total", "counter", "Bytes sent to clients.",
           read(traffic.bytesSent));
  text.family("quorvane_clients_dropped_total", "counter",
              "Clients the server dropped, by reason.");
  text.sample("quorvane_clients_dropped_total", label("reason", "unread_output"),
              read(traffic.unreadOutputDrops));
  text.series("quorvane_clients_dropped_total", "reason", kDropNames, server.dropped.data(),
              ServerMetrics::kDrops);
  text.one("quorvane_voice_datagrams_received_total", "counter",
           "Datagrams received on the voice port.", read(server.voiceReceived));
  text.one("quorvane_voice_datagrams_forwarded_total", "counter",
           "Voice datagrams forwarded to their recipient.", read(server.voiceForwarded));
  text.family("quorvane_voice_datagrams_dropped_total", "counter",
              "Datagrams received on the voice port and not acted on, by reason.");
  text.series("quorvane_voice_datagrams_dropped_total", "reason", kVoiceDropNames,
              server.voiceDropped.data(), ServerMetrics::kVoiceDrops);
  text.one("quorvane_process_start_time_seconds", "gauge",
           "Start time of the process since the Unix epoch, in seconds.",
           static_cast<std::uint64_t>(processStart));
  return out;
}

}  // namespace quorvane
