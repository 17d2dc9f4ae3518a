#include "service/ServerSettings.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "server/Channel.h"
#include "service/AsciiCase.h"
#include "service/AtomicFile.h"

namespace quorvane {

const char* const ServerSettings::kDefaultDocument =
    "<?xml version=\"1.0\" ?><quorvane version=\"1.1\"><hosting>"
    "<server-name>Quorvane Server</server-name><server-password></server-password>"
    "<hostport>10300</hostport><soundport>10301</soundport>"
    "<allow-channel-creation>true</allow-channel-creation>"
    "<allow-forwarding>true</allow-forwarding><allow-operators>true</allow-operators>"
    "<server-logging>false</server-logging><static-channels>"
    "<!--\t<channel>\t\t<name>a</name>\t\t<password></password>\t\t<topic></topic>\t</channel>-->"
    "</static-channels></hosting></quorvane>";

namespace {

constexpr const char* kRootName = "quorvane";
constexpr const char* kRootVersion = "1.1";
constexpr const char* kHostingName = "hosting";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The settings tell a failed write without its reason.
bool replaceFile(const std::string& path, const std::string& content) {
  std::string reason;
  return writeFileAtomically(path, content, reason);
}

// Everything is kept: comments, declarations, processing instructions and every white-space
// text. Neither line ends nor white space in attributes are converted, so text reads byte for
// byte as written.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes |
                                   pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_doctype |
                                   pugi::parse_ws_pcdata;
constexpr unsigned kPrintOptions = pugi::format_raw | pugi::format_no_empty_element_tags;

// A document without an element (an empty file, a lone comment) counts as parsed: it holds
// nothing to lose, and the first lookup adds the root. After an error, the document holds what
// parsed before it.
pugi::xml_parse_result parse(pugi::xml_document& document, const std::string& content) {
  pugi::xml_parse_result result =
      document.load_buffer(content.data(), content.size(), kParseOptions, pugi::encoding_utf8);
  if (result.status == pugi::status_no_document_element) result.status = pugi::status_ok;
  return result;
}

// The document as parsed, white space included, with each top-level node on a line of its own
// (the parser keeps no text between them). A file printed so prints to the same bytes again.
std::string print(const pugi::xml_document& document, bool byteOrderMark) {
  std::ostringstream out;
  if (byteOrderMark) out << kByteOrderMark;
  for (pugi::xml_node node : document.children()) {
    node.print(out, "", kPrintOptions, pugi::encoding_utf8);
    out << '\n';
  }
  return out.str();
}

std::string describe(const pugi::xml_parse_result& result, const std::string& content) {
  const auto end = content.begin() + std::clamp<std::ptrdiff_t>(result.offset, 0, content.size());
  const auto lineStart = std::find(std::make_reverse_iterator(end), content.rend(), '\n').base();
  return std::string(result.description()) + " at line " +
         std::to_string(std::count(content.begin(), end, '\n') + 1) + ", column " +
         std::to_string(end - lineStart + 1) + ".";
}

// The value of the element's first child when that child is text; otherwise empty.
std::string elementText(pugi::xml_node element) {
  pugi::xml_node first = element.first_child();
  const bool text = first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata;
  return text ? first.value() : std::string();
}

// The text with CR and LF shown as \r and \n, for a report that stays on one line.
std::string visible(const std::string& text) {
  std::string shown;
  for (char c : text) {
    shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  }
  return shown;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads like strtol in the "C" locale: leading white space, an optional sign, then decimal
// digits up to the first other character; no digits give 0. Clamped to the range of int.
int parseInteger(const std::string& text) {
  constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i++] == '-';
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  }
  return static_cast<int>(std::clamp(negative ? -value : value,
                                     static_cast<long long>(INT_MIN),
                                     static_cast<long long>(INT_MAX)));
}

}  // namespace

bool ServerSettings::loadFile(const std::string& path) {
  path_ = path;
  document_.reset();
  error_.clear();
  loaded_.clear();
  ignored_.clear();
  mayWrite_ = false;
  pendingWrite_ = false;
  if (!readFile(path, loaded_, error_)) {
    return false;
  }
  // After an error the part before it is read, but the file is left alone.
  pugi::xml_parse_result result = parse(document_, loaded_);
  if (!result) {
    error_ = describe(result, loaded_);
    return false;
  }
  mayWrite_ = true;
  pendingWrite_ = true;
  return !loaded_.empty();
}

// The default document goes out indented, one element to a line, a layout that the write-backs
// of later starts keep.
bool ServerSettings::createDefaultFile(const std::string& path) {
  document_.reset();
  document_.load_string(kDefaultDocument, kParseOptions);
  path_ = path;
  error_.clear();
  mayWrite_ = false;
  std::ostringstream out;
  document_.save(out, "    ",
                 pugi::format_indent | pugi::format_no_declaration |
                     pugi::format_no_empty_element_tags,
                 pugi::encoding_utf8);
  std::string target;
  if (!writeTarget(path, true, target) || !replaceFile(target, out.str())) {
    error_ = "The file could not be written.";
    return false;
  }
  return loadFile(path);
}

bool ServerSettings::hasError() const { return !error_.empty(); }

std::string ServerSettings::errorDescription() const { return error_; }

pugi::xml_node ServerSettings::rootElement() {
  pugi::xml_node root = document_.document_element();
  if (!root) {
    root = document_.append_child(kRootName);
    root.append_attribute("version") = kRootVersion;
    pendingWrite_ = true;
  }
  return root;
}

// Finds or adds the hosting element. The document goes back to its file the first time (so the
// file takes the printed form) and whenever an element was added; a failed write does not hide
// the settings that were read.
pugi::xml_node ServerSettings::hostingElement() {
  pugi::xml_node root = rootElement();
  pugi::xml_node hosting = root.child(kHostingName);
  if (!hosting) {
    hosting = root.append_child(kHostingName);
    pendingWrite_ = true;
  }
  if (pendingWrite_) {
    writeBack();
    pendingWrite_ = false;
  }
  return hosting;
}

bool ServerSettings::writeBack() {
  if (!mayWrite_) {
    return false;
  }
  const std::string content = print(document_, loaded_.rfind(kByteOrderMark, 0) == 0);
  if (content == loaded_) {
    return true;
  }
  // Only a document that reads back goes to the file.
  pugi::xml_document printed;
  std::string target;
  return parse(printed, content) && writeTarget(path_, false, target) &&
         replaceFile(target, content);
}

bool ServerSettings::readStringKey(const char* name, std::string& out) {
  pugi::xml_node element = hostingElement().child(name);
  if (!element) {
    return false;
  }
  out = elementText(element);
  return true;
}

bool ServerSettings::readIntKey(const char* name, int& out) {
  std::string text;
  if (!readStringKey(name, text)) {
    return false;
  }
  out = parseInteger(text);
  return true;
}

bool ServerSettings::readBoolKey(const char* name, bool& out) {
  std::string text;
  if (!readStringKey(name, text)) {
    return false;
  }
  out = lowerAscii(text) == "true";
  return true;
}

std::string ServerSettings::serverName() {
  std::string value;
  readStringKey("server-name", value);
  return clientText(std::move(value), "the server name");
}

std::string ServerSettings::serverPassword() {
  std::string value;
  readStringKey("server-password", value);
  return value;
}

std::string ServerSettings::adminUsername() {
  std::string value;
  readStringKey("admin-username", value);
  return value;
}

std::string ServerSettings::adminPassword() {
  std::string value;
  readStringKey("admin-password", value);
  return value;
}

int ServerSettings::hostPort() {
  int value = -1;
  readIntKey("hostport", value);
  return value;
}

// Looks without adding anything and without writing the file.
int ServerSettings::soundPort() {
  pugi::xml_node port = document_.document_element().child(kHostingName).child("soundport");
  return port ? parseInteger(elementText(port)) : -1;
}

bool ServerSettings::allowForwarding() {
  bool value = true;
  readBoolKey("allow-forwarding", value);
  return value;
}

bool ServerSettings::allowOperators() {
  bool value = true;
  readBoolKey("allow-operators", value);
  return value;
}

bool ServerSettings::allowChannelCreation() {
  bool value = true;
  readBoolKey("allow-channel-creation", value);
  return value;
}

bool ServerSettings::serverLogging() {
  bool value = false;
  readBoolKey("server-logging", value);
  return value;
}

std::optional<std::string> ServerSettings::keyText(const char* name) {
  std::string value;
  if (!readStringKey(name, value)) return std::nullopt;
  return value;
}

bool ServerSettings::staysOnOneLine(const std::string& text) {
  if (!text.empty() && text.back() == '\\') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

std::string ServerSettings::clientText(std::string text, std::string what) {
  if (staysOnOneLine(text)) return text;
  ignored_.push_back(std::move(what));
  return std::string();
}

// Every channel element becomes a sub-channel of its enclosing one, siblings in document order;
// one without a name, or with a name that would break a client's line, is dropped with
// everything inside it. The tree is built apart and copied into `root` at the end. An explicit
// stack keeps deep nesting off the call stack.
bool ServerSettings::readStaticChannels(Channel* root) {
  pugi::xml_node list = hostingElement().child("static-channels");
  if (!list || root == nullptr) {
    return false;
  }
  Channel staging("");
  std::vector<std::pair<pugi::xml_node, Channel*>> pending{{list, &staging}};
  while (!pending.empty()) {
    auto [element, parent] = pending.back();
    pending.pop_back();
    for (pugi::xml_node item : element.children("channel")) {
      pugi::xml_node name = item.child("name");
      if (!name) {
        continue;
      }
      std::string text = elementText(name);
      if (!staysOnOneLine(text)) {
        ignored_.push_back("static channel " + parent->path() + visible(text) +
                           "/ and its sub-channels");
        continue;
      }
      Channel* channel = parent->addChild(std::make_unique<Channel>(std::move(text)));
      if (pugi::xml_node password = item.child("password")) {
        channel->setPassword(elementText(password));
      }
      if (pugi::xml_node topic = item.child("topic")) {
        channel->setTopic(
            clientText(elementText(topic), "the topic of static channel " + channel->path()));
      }
      pending.emplace_back(item, channel);
    }
  }
  copyChannelTree(staging, *root);
  return true;
}

}  // namespace quorvane
