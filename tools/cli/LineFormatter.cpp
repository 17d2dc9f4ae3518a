#include "cli/LineFormatter.h"

#include <map>

namespace quorvane {

namespace {

using Format = std::string (*)(const ServerLine&, const CliSession&);

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string onOff(const ServerLine& line, std::string_view key) {
  return line.intParam(key, 0) != 0 ? "on" : "off";
}

std::string voice(const ServerLine& line) {
  return line.stringParam("address") + ":" + std::to_string(line.intParam("soundport"));
}

// ", status 1 \"away\"", or nothing for the plain status 0 without a message.
std::string statusText(int mode, const std::string& message) {
  if (mode == 0 && message.empty()) return {};
  return ", status " + std::to_string(mode) + (message.empty() ? "" : " " + quoted(message));
}

// " (protected, topic \"...\", operators bob, #7)", or nothing when there is nothing to say.
std::string channelDetails(const CliSession::ChannelInfo& info, const CliSession& session) {
  std::string details;
  const auto add = [&details](const std::string& part) {
    details += (details.empty() ? " (" : ", ") + part;
  };
  if (info.isProtected) add("protected");
  if (!info.topic.empty()) add("topic " + quoted(info.topic));
  std::string operators;
  for (int id : info.operators) operators += (operators.empty() ? "" : ", ") + session.nameOf(id);
  if (!operators.empty()) add("operators " + operators);
  return details.empty() ? details : details + ")";
}

std::string channelLine(const ServerLine& line, const CliSession& session, std::string_view what) {
  return "channel " + line.stringParam("channel") + std::string(what) +
         channelDetails(CliSession::channelInfo(line), session);
}

std::string addUser(const ServerLine& line, const CliSession& session) {
  const bool listed = session.listing() != CliSession::Listing::None;
  return line.stringParam("nick") + (listed ? " is in " : " joined ") +
         line.stringParam("channel") + " (id " + std::to_string(line.intParam("id")) +
         statusText(line.intParam("statusmode", 0), line.stringParam("statusmessage")) + ")";
}

std::string updateUser(const ServerLine& line, const CliSession& session) {
  const int id = line.intParam("id");
  const std::string nick = line.stringParam("nick");
  const int mode = line.intParam("statusmode", 0);
  const std::string message = line.stringParam("statusmessage");
  const CliSession::Member* before = session.member(id);
  std::string text;
  if (before != nullptr && before->nick != nick) {
    text = before->nick + " is now known as " + nick;
  }
  if (before != nullptr && (before->statusMode != mode || before->statusMessage != message)) {
    text += (text.empty() ? nick : "; " + nick) + " set status " + std::to_string(mode) +
            (message.empty() ? "" : " " + quoted(message));
  }
  return text.empty() ? nick + " (id " + std::to_string(id) + ") updated" : text;
}

std::string messageDeliver(const ServerLine& line, const CliSession& session) {
  const bool personal = line.intParam("type") == 1;
  return "<" + session.nameOf(line.intParam("from")) + "> " + (personal ? "(private) " : "") +
         line.stringParam("message");
}

std::string welcome(const ServerLine& line, const CliSession&) {
  const std::string name = line.stringParam("servername");
  return "connected to " + (name.empty() ? std::string("the server") : quoted(name)) + " as user " +
         std::to_string(line.intParam("id")) + " (protocol " + line.stringParam("protocol") +
         "; forwarding " + onOff(line, "forwarding") + ", channel creation " +
         onOff(line, "channels") + ", operators " + onOff(line, "operators") + ")";
}

std::string accepted(const ServerLine& line, const CliSession&) {
  return "logged in as " + line.stringParam("nick") + " (id " +
         std::to_string(line.intParam("id")) + ", voice " + voice(line) + ")";
}

std::string youAre(const ServerLine& line, const CliSession&) {
  return "you are " + line.stringParam("nick") + " (id " + std::to_string(line.intParam("id")) +
         ", voice " + voice(line) + ")";
}

std::string error(const ServerLine& line, const CliSession&) {
  return LineFormatter::errorText(line.intParam("number"));
}

std::string pwc(const ServerLine& line, const CliSession&) {
  const std::string path = line.stringParam("channel");
  return path.empty() ? std::string("you are in no channel") : "you are in " + path;
}

std::string addChannel(const ServerLine& line, const CliSession& session) {
  const bool listed = session.listing() == CliSession::Listing::Login;
  return channelLine(line, session, listed ? "" : " created");
}

std::string updateChannel(const ServerLine& line, const CliSession& session) {
  return channelLine(line, session, " changed");
}

std::string removeChannel(const ServerLine& line, const CliSession&) {
  return "channel " + line.stringParam("channel") + " removed";
}

std::string joined(const ServerLine& line, const CliSession&) {
  return "you joined " + line.stringParam("channel");
}

std::string removeUser(const ServerLine& line, const CliSession& session) {
  return session.nameOf(line.intParam("id")) + " left " + line.stringParam("channel");
}

// The lines without parameters.
template <const char* kText>
std::string fixed(const ServerLine&, const CliSession&) {
  return kText;
}
constexpr char kPong[] = "pong";
constexpr char kQuit[] = "the server is shutting down";
constexpr char kKicked[] = "you were kicked";

const std::map<std::string, Format, std::less<>>& formats() {
  static const std::map<std::string, Format, std::less<>> all = {
      {"welcome", welcome},
      {"accepted", accepted},
      {"youare", youAre},
      {"error", error},
      {"pong", fixed<kPong>},
      {"quit", fixed<kQuit>},
      {"kicked", fixed<kKicked>},
      {"pwc", pwc},
      {"addchannel", addChannel},
      {"updatechannel", updateChannel},
      {"removechannel", removeChannel},
      {"joined", joined},
      {"adduser", addUser},
      {"updateuser", updateUser},
      {"removeuser", removeUser},
      {"messagedeliver", messageDeliver},
  };
  return all;
}

}  // namespace

std::string LineFormatter::format(const ServerLine& line, const CliSession& session) {
  const auto found = formats().find(line.word());
  return printable(found != formats().end() ? found->second(line, session) : line.text());
}

std::string_view LineFormatter::errorMeaning(int number) {
  static const std::map<int, std::string_view> meanings = {
      {100, "missing or bad user id"},
      {101, "missing nick"},
      {102, "missing password"},
      {103, "missing or bad audio parameters"},
      {104, "missing protocol version"},
      {105, "missing channel, password or topic"},
      {106, "missing or bad status mode"},
      {108, "missing message text"},
      {110, "missing or bad recipient"},
      {111, "missing or bad frames per packet"},
      {112, "missing or bad message type"},
      {113, "missing user name"},
      {204, "unknown command"},
      {206, "no such user in your channel"},
      {300, "wrong server password"},
      {301, "wrong channel password"},
      {302, "no such channel"},
      {303, "not an operator of that channel"},
      {304, "channel creation is not allowed"},
      {400, "already logged in"},
      {401, "no protocol version given"},
      {402, "not logged in"},
      {403, "voice address not confirmed"},
  };
  const auto found = meanings.find(number);
  return found != meanings.end() ? found->second : std::string_view();
}

std::string LineFormatter::errorText(int number) {
  const std::string_view meaning = errorMeaning(number);
  return "error " + std::to_string(number) + (meaning.empty() ? "" : ": " + std::string(meaning));
}

std::vector<std::string> LineFormatter::members(const CliSession& session) {
  if (session.channel().empty()) return {"you are in no channel"};
  std::map<int, std::string> lines;
  lines[session.ownId()] = "  " + session.nick() + " (id " + std::to_string(session.ownId()) +
                           ", you" + statusText(session.statusMode(), session.statusMessage()) +
                           ")";
  for (const auto& [id, member] : session.members()) {
    lines[id] = "  " + member.nick + " (id " + std::to_string(id) +
                statusText(member.statusMode, member.statusMessage) + ")";
  }
  std::vector<std::string> out{printable(session.channel() + ": " + std::to_string(lines.size()) +
                                         (lines.size() == 1 ? " user" : " users"))};
  for (const auto& [id, text] : lines) out.push_back(printable(text));
  return out;
}

std::vector<std::string> LineFormatter::channels(const CliSession& session) {
  const std::size_t count = session.channels().size();
  std::vector<std::string> out{std::to_string(count) + (count == 1 ? " channel" : " channels")};
  // Sorted by path, every channel comes right before the sub-channels that share its prefix.
  for (const auto& [path, info] : session.channels()) {
    out.push_back(printable("  " + path + channelDetails(info, session)));
  }
  return out;
}

std::string LineFormatter::timePrefix(std::time_t when) {
  std::tm local{};
  char text[16] = "[??:??] ";
  if (::localtime_r(&when, &local) != nullptr) std::strftime(text, sizeof text, "[%H:%M] ", &local);
  return text;
}

std::string LineFormatter::printable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else if (c == '\r' || c == '\n' || c == '\t') {
      out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
    } else {
      out += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }
  }
  return out;
}

}  // namespace quorvane
