// The status endpoint's settings and its start with the server.
#include "server/UserRecord.h"
#include "server/VoiceServer.h"
#include "service/ServerLog.h"
#include "service/ServerService.h"
#include "service/ServerSettings.h"
#include "service/StatusEndpoint.h"

namespace quorvane {

namespace {

constexpr unsigned kHighestPort = 65535;

std::string ignored(const char* name, const std::string& text, const std::string& why) {
  return std::string("Quorvane service ignored setting ") + name + ": \"" + text + "\" " + why;
}

}  // namespace

void ServerService::readStatus(ServerSettings& file, Settings& settings) {
  unsigned port = settings.statusPort;
  readCount(file, "status-port", port, settings.problems);
  if (port > kHighestPort) {
    settings.problems.push_back(ignored("status-port", std::to_string(port),
                                        "is not a port; the status endpoint stays off."));
    port = 0;
  }
  settings.statusPort = port;
  if (const std::optional<std::string> address = file.keyText("status-address")) {
    if (UserRecord::addressNumber(*address) != 0 || *address == "0.0.0.0") {
      settings.statusAddress = *address;
    } else {
      settings.problems.push_back(ignored("status-address", *address,
                                          "is not an IPv4 address; using " +
                                              settings.statusAddress + "."));
    }
  }
  settings.statusHideProtected =
      readSwitch(file, "status-hide-protected", settings.statusHideProtected, settings.problems);
}

std::unique_ptr<StatusEndpoint> ServerService::startStatus(VoiceServer& server,
                                                           const Settings& settings) {
  if (settings.statusPort == 0) return nullptr;
  StatusEndpoint::Options options;
  options.address = settings.statusAddress;
  options.port = static_cast<int>(settings.statusPort);
  options.hideProtected = settings.statusHideProtected;
  auto status = std::make_unique<StatusEndpoint>(server, options);
  if (status->start()) return status;
  reportProblem("Quorvane service could not open the status endpoint on " +
                    settings.statusAddress + " port " + std::to_string(settings.statusPort) + ".",
                settings.logging);
  return nullptr;
}

}  // namespace quorvane
