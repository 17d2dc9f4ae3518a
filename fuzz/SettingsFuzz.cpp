// Any bytes as the settings file, read the way the service reads it: every key in the service's
// order and the static channels. A file that fails to parse stays byte for byte as it was; a file
// that was written back reads again to the same settings and is not changed by that second
// start; no value that reaches clients breaks their line; no temporary file is left behind.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "FuzzSupport.h"
#include "server/Channel.h"
#include "service/ServerService.h"
#include "service/ServerSettings.h"

namespace quorvane::fuzz {
namespace {

// Larger files only make the channel tree bigger and the runs slower.
constexpr std::size_t kLargestFile = 64 * 1024;
constexpr const char* kFileName = "QuorvaneService.xml";

// Every member of the limits. ServerService::Settings cannot compare itself while ServerLimits
// does not, so the values are compared here.
auto limitsTied(const ServerLimits& l) {
  return std::tie(l.commandLimit, l.commandBurst, l.messageLimit, l.messageBurst,
                  l.addressMessageLimit, l.addressMessageBurst, l.addressLoginLimit,
                  l.addressLoginBurst, l.voiceLimit, l.loginTimeout, l.loginAttempts,
                  l.autobanAttempts, l.autobanTimeframe, l.autobanTime, l.pendingPerAddress,
                  l.connectionsPerAddress, l.maxUsers, l.maxChannels, l.maxChannelName,
                  l.maxChannelDepth, l.maxTopic, l.maxNick, l.maxStatus, l.trusted, l.banned);
}

auto settingsTied(const ServerService::Settings& s) {
  return std::tuple_cat(
      std::tie(s.logging, s.hostPort, s.soundPort, s.adminUsername, s.adminPassword,
               s.serverName, s.serverPassword, s.allowChannelCreation, s.allowForwarding,
               s.allowOperators, s.voiceAddressCheck, s.problems),
      limitsTied(s.limits));
}

// Everything the service takes from the file, the channel tree written out as text.
struct Reading {
  ServerService::Settings values;
  std::string channels;
  bool operator==(const Reading& other) const {
    return settingsTied(values) == settingsTied(other.values) && channels == other.channels;
  }
};

void describeTree(const Channel& channel, std::string& out) {
  for (const auto& child : channel.children()) {
    if (!ServerSettings::staysOnOneLine(child->name()) ||
        !ServerSettings::staysOnOneLine(child->topic())) {
      fail("a channel name or topic would break a client's line", child->path());
    }
    out += child->path() + '\0' + child->password() + '\0' + child->topic() + '\0';
    describeTree(*child, out);
  }
}

// Read the way the service reads it.
Reading readAll(ServerSettings& settings) {
  Reading reading;
  Channel root{std::string()};
  reading.values = ServerService::readValues(settings, root);
  if (!ServerSettings::staysOnOneLine(reading.values.serverName)) {
    fail("the server name would break a client's line", reading.values.serverName);
  }
  describeTree(root, reading.channels);
  return reading;
}

// A directory of its own, in memory where the machine has /dev/shm: write-backs sync the file.
const std::string& directory() {
  static const std::string path = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/quorvane-settings-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("no temporary directory");
    return pattern;
  }();
  return path;
}

std::string readFile(const std::string& path) {
  std::string content;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("the settings file is gone");
  char buffer[8192];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, n);
  close(fd);
  return content;
}

void writeFile(const std::string& path, std::string_view content) {
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    fail("the settings file could not be written");
  }
  close(fd);
}

// Names in the directory other than the settings file.
std::vector<std::string> strayFiles() {
  std::vector<std::string> stray;
  DIR* listing = opendir(directory().c_str());
  if (listing == nullptr) fail("the temporary directory is gone");
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != kFileName) stray.push_back(name);
  }
  closedir(listing);
  return stray;
}

void run(std::string_view content) {
  const std::string path = directory() + "/" + kFileName;
  writeFile(path, content);
  ServerSettings settings;
  const bool parsed = settings.loadFile(path) || !settings.hasError();
  const Reading first = readAll(settings);
  const std::vector<std::string> stray = strayFiles();
  if (!stray.empty()) fail("a temporary file was left behind", stray.front());
  if (!parsed) {
    if (readFile(path) != content) fail("a file that failed to parse was changed", content);
    return;
  }
  // What was written back is the printed form of what was read, and prints the same again.
  const std::string written = readFile(path);
  ServerSettings again;
  if (!again.loadFile(path) && again.hasError()) fail("a written-back file does not load", written);
  if (!(readAll(again) == first)) fail("a written-back file reads differently", written);
  if (readFile(path) != written) fail("a written-back file changes at the next start", written);
}

}  // namespace
}  // namespace quorvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > quorvane::fuzz::kLargestFile) return 0;
  quorvane::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
