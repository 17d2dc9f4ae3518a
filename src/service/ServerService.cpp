#include "service/ServerService.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "server/Channel.h"
#include "server/VoiceServer.h"
#include "service/ServerLog.h"
#include "service/ServerSettings.h"
#include "service/StatusEndpoint.h"
#include "transport/Reactor.h"
#include "transport/SocketApi.h"

namespace quorvane {

namespace {

constexpr unsigned kStartWaitHint = 3000;
constexpr unsigned kStopWaitHint = 5000;
// Descriptors that are not clients: the standard streams, the two server sockets, the spare
// descriptor of the listener, the log, the settings file and the system's own (syslog, notify).
constexpr long kReservedDescriptors = 16;

// Whatever lies at the path counts as present, even when it cannot be read or is a link to
// nothing, so that the default document is never written over it or through it.
bool settingsFilePresent(const std::string& path) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  return status.type() != std::filesystem::file_type::not_found;
}

// Without recursion: a settings file may nest channels deeply.
std::size_t channelsBelow(const Channel& root) {
  std::size_t count = 0;
  std::vector<const Channel*> pending{&root};
  while (!pending.empty()) {
    const Channel* channel = pending.back();
    pending.pop_back();
    for (const auto& child : channel->children()) pending.push_back(child.get());
    count += channel->childCount();
  }
  return count;
}

}  // namespace

ServerService::ServerService() : ServiceHost(kServiceName, kServiceName) {}

ServerService::~ServerService() = default;

std::string ServerService::settingsPath() { return programDirectory() + kSettingsFileName; }

void ServerService::setDefaultPorts(int hostPort, int soundPort) {
  defaultHostPort_ = hostPort;
  defaultSoundPort_ = soundPort;
}

void ServerService::run(int, char**) {
  reportStatus(StartPending, kStartWaitHint, 0);
  if (!useSettingsDirectory()) {
    setStartFailed();
    return;
  }
  Channel root{std::string()};
  Settings settings = readSettings(root);
  reportCapacity(settings.logging);
  if (!startServer(root, settings)) {
    setStartFailed();
    return;
  }
  if (!stopRequested()) reportStatus(Running, kStartWaitHint, 0);
  std::unique_lock<std::mutex> guard(lock_);
  stopDoneSignal_.wait(guard, [this] { return stopDone_; });
}

std::string ServerService::settingsFile() const {
  if (!settingsPathOverride_.empty()) return settingsPathOverride_;
  if (!settingsDirectory()) return settingsPath();
  return (std::filesystem::path(*settingsDirectory()) / kSettingsFileName).string();
}

bool ServerService::useSettingsDirectory() {
  if (!settingsDirectory()) return true;
  const std::string& directory = *settingsDirectory();
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) {
    reportProblem("Quorvane service cannot use settings directory \"" + directory +
                      "\": it is not a directory.",
                  false);
    return false;
  }
  ServerLog::placeIn(directory);
  return true;
}

void ServerService::stop() {
  std::lock_guard<std::mutex> serial(stopLock_);
  reportStatus(StopPending, kStopWaitHint, 0);
  std::unique_ptr<VoiceServer> server;
  std::unique_ptr<StatusEndpoint> status;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopRequested_ = true;
    server = std::move(server_);
    status = std::move(status_);
  }
  status.reset();
  if (server) {
    // The server takes the loop lock itself and is destroyed without it; the loops then send
    // what is still queued ("quit") and end.
    server->stop();
    server.reset();
  }
  pool_.stopAll();
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopDone_ = true;
  }
  stopDoneSignal_.notify_all();
}

ServerService::Settings ServerService::readSettings(Channel& root) {
  std::string path = settingsFile();
  ServerSettings file;
  std::string problem = openSettings(file, path);
  Settings settings = readValues(file, root);
  if (settings.hostPort == -1) settings.hostPort = defaultHostPort_;
  if (settings.soundPort == -1) settings.soundPort = defaultSoundPort_;
  if (!problem.empty()) reportProblem(problem, settings.logging);
  for (const std::string& value : file.ignoredValues()) {
    reportProblem("Quorvane service ignored " + value + " in settings file: " + path +
                      ". Names and topics may not hold a lone CR or LF nor end in a backslash.",
                  settings.logging);
  }
  for (const std::string& ignored : settings.problems) reportProblem(ignored, settings.logging);
  return settings;
}

ServerService::Settings ServerService::readValues(ServerSettings& file, Channel& root) {
  Settings settings;
  settings.logging = file.serverLogging();
  settings.hostPort = file.hostPort();
  settings.soundPort = file.soundPort();
  file.readStaticChannels(&root);
  settings.adminUsername = file.adminUsername();
  settings.adminPassword = file.adminPassword();
  settings.serverName = file.serverName();
  settings.serverPassword = file.serverPassword();
  settings.allowChannelCreation = file.allowChannelCreation();
  settings.allowForwarding = file.allowForwarding();
  settings.allowOperators = file.allowOperators();
  settings.voiceAddressCheck = readSwitch(file, "voice-address-check", true, settings.problems);
  settings.limits = readLimits(file, settings.problems);
  readStatus(file, settings);
  const std::size_t channels = channelsBelow(root) + 1;
  if (settings.limits.maxChannels != 0 && channels > settings.limits.maxChannels) {
    settings.problems.push_back("Quorvane service loaded all " + std::to_string(channels) +
                                " channels of the settings file, more than max-channels (" +
                                std::to_string(settings.limits.maxChannels) +
                                "): clients can create none.");
  }
  return settings;
}

std::string ServerService::openSettings(ServerSettings& settings, const std::string& path) {
  if (settingsFilePresent(path)) {
    if (settings.loadFile(path) || !settings.hasError()) return std::string();
    return "Quorvane service failed to read settings file: " + path + ". " +
           settings.errorDescription();
  }
  if (settings.createDefaultFile(path)) return std::string();
  return "Quorvane service failed to create settings file: " + path + ".";
}

// Told wherever someone may look, whether or not logging is on.
void ServerService::reportProblem(const std::string& message, bool logging) {
  if (consoleMode()) std::fprintf(stderr, "%s\n", message.c_str());
  reportEvent(message, ErrorEvent);
  if (logging) ServerLog::instance().write(message);
}

long ServerService::clientCapacity(long descriptors) {
  // Every client holds one descriptor, and every event loop one (its epoll instance; a signal
  // wakes it) for up to Reactor::kLoadLimit clients.
  const long usable = descriptors - kReservedDescriptors;
  const long perLoop = static_cast<long>(Reactor::kLoadLimit) + 1;
  return usable <= 0 ? 0 : usable - (usable + perLoop - 1) / perLoop;
}

void ServerService::reportCapacity(bool logging) {
  long limit = sys::raiseDescriptorLimit();
  if (limit < 0) return;
  std::string text = "Open-file limit " + std::to_string(limit) + ": room for about " +
                     std::to_string(clientCapacity(limit)) + " clients.";
  if (consoleMode()) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  if (logging) ServerLog::instance().write(text);
}

bool ServerService::startServer(const Channel& root, const Settings& settings) {
  if (stopRequested()) return true;
  auto server = std::make_unique<VoiceServer>(pool_, &root);
  server->setLogging(settings.logging);
  if (settings.logging) server->setLogSink(&ServerLog::instance());
  server->setAdminAccount(settings.adminUsername, settings.adminPassword);
  server->setServerName(settings.serverName);
  server->setServerPassword(settings.serverPassword);
  server->setAllowChannelCreation(settings.allowChannelCreation);
  server->setAllowForwarding(settings.allowForwarding);
  server->setAllowOperators(settings.allowOperators);
  server->setVoiceAddressCheck(settings.voiceAddressCheck);
  server->setLimits(settings.limits);
  if (!server->start(settings.hostPort, settings.soundPort)) {
    // Nothing is served half-started: the service ends and says why, last.
    const std::string reason = server->startFailure();
    server->stop();
    server.reset();
    pool_.stopAll();
    reportProblem("Unable to launch server using TCP port " + std::to_string(settings.hostPort) +
                      " UDP port " + std::to_string(settings.soundPort) + " (" + reason + ").",
                  settings.logging);
    return false;
  }
  std::unique_ptr<StatusEndpoint> status = startStatus(*server, settings);
  std::unique_lock<std::mutex> guard(lock_);
  if (!stopRequested_) {
    server_ = std::move(server);
    status_ = std::move(status);
    return true;
  }
  guard.unlock();
  // A stop came while the server was starting and could not reach it.
  status.reset();
  server->stop();
  server.reset();
  pool_.stopAll();
  return true;
}

bool ServerService::stopRequested() {
  std::lock_guard<std::mutex> guard(lock_);
  return stopRequested_;
}

}  // namespace quorvane
