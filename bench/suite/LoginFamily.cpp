#include "suite/LoginFamily.h"

#include "client/ClientCommands.h"
#include "suite/PingFamily.h"
#include "suite/Stats.h"

namespace quorvane {

namespace {

using Check = ResultTable::Check;
using Clock = ClientLoop::Clock;

constexpr std::size_t kConnectWindow = 1000;
constexpr std::size_t kHelloWindow = 256;
constexpr auto kSetupPatience = std::chrono::seconds(60);
constexpr auto kLoginPatience = std::chrono::seconds(60);
constexpr auto kMessagePatience = std::chrono::seconds(5);
// All the messages of a run together take no longer than this; the rest count as lost.
constexpr auto kMessagesPatience = std::chrono::seconds(30);
constexpr auto kMessageGap = std::chrono::milliseconds(2);

}  // namespace

std::size_t prepareLogins(Subject& subject, ClientLoop& loop, ClientPool& pool,
                          SharedVoice& voice, std::size_t count, Clock::time_point deadline,
                          std::string& error) {
  const std::size_t greeted = pool.connect(count, kConnectWindow, deadline);
  std::vector<SharedVoice::Hello> hellos;
  for (std::size_t i = 0; i < pool.size(); ++i) {
    if (!pool.open(i)) continue;
    pool.client(i).sendLine(protocolLine("2.1"));
    hellos.push_back({pool.client(i).userId(), ClientPool::sourceSlot(i)});
  }
  std::vector<std::string> addresses;
  for (std::size_t slot = 0; slot < ClientPool::kSourceAddresses; ++slot) {
    addresses.push_back(ClientPool::sourceAddress(slot));
  }
  if (!voice.open(addresses, subject.soundPort())) {
    error = "cannot open the shared voice sockets at " + addresses.front() + " and up";
    return 0;
  }
  const std::size_t confirmed = voice.confirm(hellos, kHelloWindow, deadline);
  double ignored = 0;
  // Every "protocol" line has been read once every "ping" after it is answered.
  const std::size_t answered = pingAll(loop, pool, deadline, ignored);
  if (greeted < count || confirmed < hellos.size() || answered < hellos.size()) {
    error = std::to_string(greeted) + " of " + std::to_string(count) + " clients greeted (" +
            std::to_string(pool.unopenedCount()) + " not even opened), " +
            std::to_string(confirmed) + " voice paths confirmed, " + std::to_string(answered) +
            " pings answered";
  }
  return std::min(confirmed, answered);
}

std::size_t pingAll(ClientLoop& loop, ClientPool& pool, Clock::time_point deadline,
                    double& latest) {
  std::vector<char> waiting(pool.size(), 0);
  std::size_t asked = 0, answered = 0;
  const Clock::time_point start = Clock::now();
  pool.onLine([&](std::size_t i, const ServerLine& line) {
    if (!line.is("pong") || !waiting[i]) return;
    waiting[i] = 0;
    ++answered;
    latest = secondsSince(start);
  });
  for (std::size_t i = 0; i < pool.size(); ++i) {
    if (!pool.open(i)) continue;
    waiting[i] = 1;
    ++asked;
    pool.client(i).sendLine(kPingLine);
  }
  loop.runUntil([&] { return answered == asked; }, deadline);
  pool.onLine({});
  return answered;
}

LoginFamily::LoginFamily(const BenchOptions& options) : Family(options) {
  const std::string clients = std::to_string(options.loginClients);
  tables_.emplace_back("(5) " + clients + " clients log in at once into the root channel; each "
                       "hears \"adduser\" of every other",
                       "no baseline");
  tables_.back().add({"login.seconds", "time until the last \"adduser\" arrived", "s", 1, 2,
                      Check::AtMost, 5});
  tables_.back().add({"login.accepted", "time until the last \"accepted\" arrived", "s", 1, 2});
  tables_.back().add({"login.lines", "\"adduser\" lines received", "", 1, 0});
  tables_.back().add({"login.cpu", "server CPU meanwhile", "s", 1, 2});
  tables_.back().add({"login.bench", "bench CPU meanwhile (the clients' side)", "s", 1, 2});
  tables_.emplace_back("(6) A channel message to the " + clients + " members of the root "
                       "channel, one message at a time: delivery to all",
                       "no baseline");
  tables_.back().add({"message.p50", "time until all have it, p50", "ms", 1e3, 1});
  tables_.back().add({"message.p99", "time until all have it, p99", "ms", 1e3, 1,
                      Check::AtMost, 50});
  tables_.back().add({"message.lost", "messages not with all in time", "", 1, 0});
}

bool LoginFamily::run(Subject& subject, Figures& figures, std::string& error) {
  ClientLoop loop;
  ProtocolClient::Options options;
  options.hostPort = subject.hostPort();
  options.ownVoiceSocket = false;
  ClientPool pool(loop, options);
  SharedVoice voice;
  const auto count = static_cast<std::size_t>(options_.loginClients);
  if (prepareLogins(subject, loop, pool, voice, count, Clock::now() + kSetupPatience, error) <
      count) {
    return false;
  }
  measureLogins(subject, loop, pool, figures);
  if (figures.count("login.seconds") == 0) {
    error = "not every client heard of every other in time";
    return false;
  }
  measureMessages(loop, pool, figures);
  if (pool.closedCount() != 0) {
    error = std::to_string(pool.closedCount()) + " clients were disconnected by the server";
    return false;
  }
  return true;
}

void LoginFamily::measureLogins(Subject& subject, ClientLoop& loop, ClientPool& pool,
                                Figures& figures) {
  const std::size_t count = pool.size();
  std::vector<std::size_t> heard(count, 0);
  std::size_t complete = 0, accepted = 0, lines = 0;
  double lastComplete = 0, lastAccepted = 0;
  const Clock::time_point start = Clock::now();
  pool.onLine([&](std::size_t i, const ServerLine& line) {
    if (line.is("adduser")) {
      ++lines;
      if (++heard[i] == count - 1) {
        ++complete;
        lastComplete = secondsSince(start);
      }
    } else if (line.is("accepted")) {
      ++accepted;
      lastAccepted = secondsSince(start);
    }
  });
  const double cpu = subject.cpuSeconds();
  const double bench = benchCpuSeconds();
  for (std::size_t i = 0; i < count; ++i) {
    LoginDetails details;
    details.nick = "u" + std::to_string(i);
    pool.client(i).sendLine(connectLine(details));
  }
  loop.runUntil([&] { return complete == count; }, start + kLoginPatience);
  figures["login.cpu"] = subject.cpuSeconds() - cpu;
  figures["login.bench"] = benchCpuSeconds() - bench;
  figures["login.lines"] = static_cast<double>(lines);
  if (accepted == count) figures["login.accepted"] = lastAccepted;
  if (complete == count) figures["login.seconds"] = lastComplete;
  pool.onLine({});
}

void LoginFamily::measureMessages(ClientLoop& loop, ClientPool& pool, Figures& figures) {
  const std::size_t count = pool.size();
  std::string wanted;
  std::size_t arrived = 0;
  double last = 0;
  Clock::time_point sent;
  pool.onLine([&](std::size_t, const ServerLine& line) {
    if (line.is("messagedeliver") && line.text().find(wanted) != std::string::npos) {
      ++arrived;
      last = secondsSince(sent);
    }
  });
  std::vector<double> toAll;
  int lost = 0;
  const Clock::time_point deadline = Clock::now() + kMessagesPatience;
  for (int m = 0; m < options_.channelMessages; ++m) {
    if (Clock::now() >= deadline) {
      lost += options_.channelMessages - m;
      break;
    }
    const std::string text = "m" + std::to_string(m);
    wanted = "message=\"" + text + "\"";
    arrived = 0;
    sent = Clock::now();
    pool.client(0).sendLine(messageToChannelLine("/", text));
    if (loop.runUntil([&] { return arrived == count; },
                      std::min(deadline, sent + kMessagePatience))) {
      toAll.push_back(last);
    } else {
      ++lost;
    }
    loop.runUntil(Clock::now() + kMessageGap);
  }
  pool.onLine({});
  figures["message.p50"] = percentile(toAll, 0.50);
  figures["message.p99"] = percentile(toAll, 0.99);
  figures["message.lost"] = lost;
}

}  // namespace quorvane
