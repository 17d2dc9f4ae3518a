// Helpers shared by the end-to-end tests: a clock that the test moves by hand, a capture of the
// server log, and the builders of the exact lines that the server sends about users and
// channels, written out field by field (not with the server's own writers).
#pragma once

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "server/UserSession.h"
#include "server/VoiceServer.h"
#include "service/ServerLog.h"
#include "support/Files.h"
#include "support/TestClient.h"

namespace quorvane::test {

// A clock for VoiceServer::setClock. Install it before start; it must outlive the server.
class ManualClock {
 public:
  explicit ManualClock(std::time_t start) : now_(start) {}
  std::function<std::time_t()> function() {
    return [this] { return now_.load(); };
  }
  void set(std::time_t time) { now_ = time; }
  void advance(std::time_t seconds) { now_ += seconds; }

 private:
  std::atomic<std::time_t> now_;
};

// Points the process's server log at a file of its own and reads back the entries without their
// date prefix. The log is first made inside the capture's folder so no stray file is left behind.
class LogCapture {
 public:
  LogCapture() {
    dir_ = makeTempDirectory("server");
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    ServerLog::instance().useFile((dir_ / "server.log").string());
    std::filesystem::current_path(previous);
  }
  ~LogCapture() {
    ServerLog::instance().useFile((dir_ / "missing" / "closed.log").string());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> entries() const {
    std::vector<std::string> result;
    std::ifstream in(dir_ / "server.log", std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      std::size_t text = line.find(" - ");
      result.push_back(text == std::string::npos ? line : line.substr(text + 3));
    }
    return result;
  }
  std::filesystem::path path() const { return dir_ / "server.log"; }
  // The entries from the last start on: a TestServer that had to retry on another port has
  // logged a failed start before.
  std::vector<std::string> sinceStart() const {
    std::vector<std::string> all = entries();
    auto last = std::find(all.rbegin(), all.rend(), "Started Quorvane server.");
    return last == all.rend() ? all : std::vector<std::string>(std::prev(last.base()), all.end());
  }

 private:
  std::filesystem::path dir_;
};

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Why a test that needs clients on loopback addresses other than 127.0.0.1 is skipped.
inline constexpr const char* kOneLoopbackAddress =
    "every loopback address binds as 127.0.0.1 here (as under Wine), so every client is local";

// The address the server sees for a client's voice socket: the one the client asked for, or
// 127.0.0.1 where every loopback address binds as that one.
inline std::string seenAddress(const TestClient& user) {
  return loopbackAddressesDistinct() ? user.voiceAddress() : "127.0.0.1";
}

// The fields of "adduser" and "updateuser" up to "fpp" for a client that logged in with
// TestClient::login.
inline std::string userFields(const TestClient& user, const std::string& nick,
                              const std::string& channel) {
  return "id=" + std::to_string(user.id()) + " nick=" + quoted(nick) +
         " address=" + quoted(seenAddress(user)) +
         " soundport=" + std::to_string(user.voicePort()) + " channel=" + quoted(channel) +
         " bandmode=1 framesize=320 encodedframesize=20 fpp=2";
}

inline std::string addUserLine(const TestClient& user, const std::string& nick,
                               const std::string& channel = "/", bool forward = false) {
  return "adduser " + userFields(user, nick, channel) + " forward=" + (forward ? "1" : "0") +
         " statusmode=0 statusmessage=\"\"";
}

// `nick` and `statusMessage` as escaped on the wire.
inline std::string updateUserLine(const TestClient& user, const std::string& nick,
                                  int statusMode = 0, const std::string& statusMessage = "",
                                  const std::string& channel = "/") {
  return "updateuser " + userFields(user, nick, channel) +
         " statusmode=" + std::to_string(statusMode) + " statusmessage=" + quoted(statusMessage);
}

inline std::string removeUserLine(const TestClient& user, const std::string& channel = "/") {
  return "removeuser id=" + std::to_string(user.id()) + " channel=" + quoted(channel);
}

inline std::string acceptedLine(const TestClient& user, const std::string& nick) {
  return "accepted id=" + std::to_string(user.id()) + " nick=" + quoted(nick) +
         " address=" + quoted(seenAddress(user)) +
         " soundport=" + std::to_string(user.voicePort()) +
         " bandmode=1 framesize=320 encodedframesize=20 fpp=2";
}

// "addchannel" or "updatechannel"; `operators` as written on the wire, e.g. "[1,2]".
inline std::string channelLine(const std::string& word, const std::string& path,
                               const std::string& operators = "[]", bool isProtected = false,
                               const std::string& topic = "") {
  return word + " channel=" + quoted(path) + " protected=" + (isProtected ? "1" : "0") +
         " topic=" + quoted(topic) + " operators=" + operators;
}

// What the only user of a server without static channels hears when it logs in: "accepted",
// the root channel and, when the server takes it for a local user, its operator status there.
inline std::vector<std::string> firstLoginLines(const TestClient& user, const std::string& nick) {
  std::vector<std::string> lines{acceptedLine(user, nick), channelLine("addchannel", "/")};
  if (seenAddress(user) == "127.0.0.1") {
    lines.push_back(channelLine("updatechannel", "/", "[" + std::to_string(user.id()) + "]"));
  }
  return lines;
}

inline std::string joinedLine(const std::string& path) { return "joined channel=" + quoted(path); }

inline std::string removeChannelLine(const std::string& path) {
  return "removechannel channel=" + quoted(path);
}

inline std::string joinCommand(const std::string& path, const std::string& password = "",
                               const std::string& topic = "") {
  return "join channel=" + quoted(path) + " password=" + quoted(password) +
         " topic=" + quoted(topic);
}

// Whether user `id` is in the server's table right now, looked up under the locks.
inline bool hasUser(VoiceServer& server, int id) {
  VoiceServer::Guard guard(server);
  return server.findUser(id) != nullptr;
}

using Lines = std::vector<std::string>;

}  // namespace quorvane::test
