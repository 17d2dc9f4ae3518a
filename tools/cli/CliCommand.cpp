#include "cli/CliCommand.h"

#include <algorithm>
#include <utility>

#include "client/ClientCommands.h"
#include "protocol/MessageSyntax.h"

namespace quorvane {

namespace {

std::string lowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view skipBlanks(std::string_view text) {
  const std::size_t start = text.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

// Splits off the first blank-separated word; `rest` is what follows it, leading blanks removed.
std::string_view firstWord(std::string_view text, std::string_view& rest) {
  text = skipBlanks(text);
  const std::size_t end = std::min(text.find(' '), text.size());
  rest = skipBlanks(text.substr(end));
  return text.substr(0, end);
}

// A decimal integer with an optional minus sign, in the 32-bit range.
bool readInt(std::string_view text, int& out) {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  return !digits.empty() && parseIntegerText(text, out);
}

}  // namespace

CliCommand CliCommand::invalid(std::string_view text, std::string error) {
  CliCommand command(Kind::Invalid, text);
  command.error_ = std::move(error);
  return command;
}

CliCommand CliCommand::parse(std::string_view text) {
  if (text.find('\n') != std::string_view::npos) {
    return invalid(text, "a command must be one line");
  }
  if (skipBlanks(text).empty()) return invalid(text, "empty command");
  if (text.starts_with('/')) return parseSlash(text);
  // The server reads the command word up to the first blank, in any letter case.
  const std::string word = lowerAscii(text.substr(0, text.find(' ')));
  CliCommand command(word == "quit" ? Kind::Quit : Kind::Send, text);
  command.line_ = text;
  command.ping_ = word == "ping";
  return command;
}

CliCommand CliCommand::parseSlash(std::string_view text) {
  std::string_view rest;
  const std::string word = lowerAscii(firstWord(text, rest));
  std::string_view tail;
  const std::string_view arg = firstWord(rest, tail);
  CliCommand command(Kind::Send, text);
  int number = 0;
  if (word == "/join") {
    if (arg.empty()) return invalid(text, "usage: /join PATH [PASSWORD]");
    command.line_ = joinLine(arg, tail, "");
  } else if (word == "/say") {
    if (rest.empty()) return invalid(text, "usage: /say TEXT");
    command.line_ = messageToChannelLine("", rest);
  } else if (word == "/msg") {
    if (!readInt(arg, number) || tail.empty()) return invalid(text, "usage: /msg ID TEXT");
    command.line_ = messageToUserLine(number, tail);
  } else if (word == "/kick") {
    if (!readInt(arg, number) || !tail.empty()) return invalid(text, "usage: /kick ID");
    command.kind_ = Kind::Kick;
    command.kickId_ = number;
  } else if (word == "/nick") {
    if (rest.empty()) return invalid(text, "usage: /nick NAME");
    command.line_ = changeNickLine(rest);
  } else if (word == "/status") {
    if (!readInt(arg, number)) return invalid(text, "usage: /status MODE [TEXT]");
    command.line_ = changeStatusLine(number, tail);
  } else if (word == "/who" || word == "/channels") {
    command.kind_ = word == "/who" ? Kind::Who : Kind::Channels;
  } else if (word == "/pwc") {
    command.line_ = kPwcLine;
  } else if (word == "/quit") {
    command.kind_ = Kind::Quit;
  } else {
    command.line_ = text;
  }
  return command;
}

std::string CliCommand::protocolLine(std::string_view channel) const {
  return kind_ == Kind::Kick ? kickLine(kickId_, channel) : line_;
}

}  // namespace quorvane
