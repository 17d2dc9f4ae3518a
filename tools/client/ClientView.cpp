#include "client/ClientView.h"

#include <charconv>

namespace quorvane {

namespace {

// The decimal value after `key` + "=".
int intField(std::string_view line, std::string_view key) {
  const std::size_t at = line.find(" " + std::string(key) + "=");
  int value = 0;
  if (at != std::string_view::npos) {
    const char* begin = line.data() + at + key.size() + 2;
    std::from_chars(begin, line.data() + line.size(), value);
  }
  return value;
}

// The channel path in the first string field, which ends at `next` (a blank and the following
// key) or, when `next` is empty, at the end of the line. A path ends in "/", so its closing mark
// is the first quotation mark after a "/" that is followed by `next`.
std::string_view pathField(std::string_view line, std::string_view next) {
  const std::size_t open = line.find('"');
  if (open == std::string_view::npos) return {};
  std::size_t close = line.size() - 1;
  if (!next.empty()) {
    const std::size_t slash = line.find("/\"" + std::string(next), open);
    close = slash == std::string_view::npos ? open : slash + 1;
  }
  return close <= open ? std::string_view() : line.substr(open + 1, close - open - 1);
}

bool answersAnyClient(std::string_view word) {
  return word == "welcome" || word == "accepted" || word == "error" || word == "pong" ||
         word == "quit" || word == "youare" || word == "kicked";
}

}  // namespace

bool ClientView::take(std::string_view line, std::string& problem) {
  const std::string_view word = line.substr(0, line.find(' '));
  if (!greeted_ && (word != "welcome" || intField(line, "id") != id_)) {
    problem = "the first line is not a welcome with the client's id";
    return false;
  }
  greeted_ = true;
  if (!loggedIn_ && !answersAnyClient(word)) {
    problem = "a notification reached a client that is not logged in";
    return false;
  }
  if (word == "accepted") {
    loggedIn_ = true;
    users_.clear();
    channels_.clear();
  }
  toldQuit_ = toldQuit_ || word == "quit";
  return takeUserLine(word, line, problem) && takeChannelLine(word, line, problem);
}

// A client hears of the members of the channel it enters, and of their changes until they leave.
bool ClientView::takeUserLine(std::string_view word, std::string_view line, std::string& problem) {
  const int id = intField(line, "id");
  if (word == "joined") {
    users_.clear();
  } else if (word == "adduser" && (id == id_ || !users_.insert(id).second)) {
    problem = "a user was added twice, or the client itself";
  } else if (word == "removeuser" && users_.erase(id) == 0) {
    problem = "a user that was never added was removed";
  } else if (word == "updateuser" && !users_.contains(id)) {
    problem = "a user that was never added was updated";
  }
  return problem.empty();
}

bool ClientView::takeChannelLine(std::string_view word, std::string_view line,
                                 std::string& problem) {
  if (word == "addchannel") {
    if (!channels_.emplace(pathField(line, " protected=")).second) {
      problem = "a channel was added twice";
    }
  } else if (word == "removechannel") {
    if (channels_.erase(std::string(pathField(line, ""))) == 0) {
      problem = "a channel that was never added was removed";
    }
  } else if (word == "updatechannel" || word == "joined" || word == "pwc") {
    const std::string_view path = pathField(line, word == "updatechannel" ? " protected=" : "");
    if (!channels_.contains(path)) problem = "a line names a channel that was never added";
  }
  return problem.empty();
}

}  // namespace quorvane
