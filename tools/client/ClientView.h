// What one client knows from the lines it has received: whether it is logged in, the users it
// has been told about and the channels it has been told exist. Each line must fit what came
// before it. Used by one thread.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace quorvane {

class ClientView {
 public:
  explicit ClientView(int id) : id_(id) {}

  // Takes one line (CR LF removed) that the server may write; false, with `problem` set, when it
  // contradicts the lines before it.
  bool take(std::string_view line, std::string& problem);
  bool toldQuit() const { return toldQuit_; }

 private:
  bool takeUserLine(std::string_view word, std::string_view line, std::string& problem);
  bool takeChannelLine(std::string_view word, std::string_view line, std::string& problem);

  int id_;
  bool greeted_ = false;
  bool loggedIn_ = false;
  bool toldQuit_ = false;
  // The other members of its channel, by id.
  std::set<int> users_;
  // Channel paths as written on the wire.
  std::set<std::string, std::less<>> channels_;
};

}  // namespace quorvane
