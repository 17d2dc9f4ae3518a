#include "service/ServerSettings.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>
#include <vector>

#include "server/Channel.h"

namespace quorvane {

using tinyxml2::XMLElement;

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

// The value of the element's first child when that child is text; otherwise empty.
std::string elementText(const XMLElement& element) {
  const tinyxml2::XMLNode* first = element.FirstChild();
  const tinyxml2::XMLText* text = first != nullptr ? first->ToText() : nullptr;
  if (text == nullptr || text->Value() == nullptr) {
    return std::string();
  }
  return text->Value();
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

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(const std::string& text, const std::string& lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return lowerAscii(a) == b; });
}

}  // namespace

bool ServerSettings::loadFile(const std::string& path) {
  path_ = path;
  tinyxml2::XMLError result = document_.LoadFile(path.c_str());
  // An empty file holds nothing to lose: it is treated as a document without a root and repaired
  // by the first lookup. Any other failure leaves the file alone.
  if (result == tinyxml2::XML_ERROR_EMPTY_DOCUMENT) {
    document_.ClearError();
  }
  mayWrite_ = result == tinyxml2::XML_SUCCESS || result == tinyxml2::XML_ERROR_EMPTY_DOCUMENT;
  pendingWrite_ = mayWrite_;
  return result == tinyxml2::XML_SUCCESS;
}

bool ServerSettings::createDefaultFile(const std::string& path) {
  document_.Clear();
  document_.Parse(kDefaultDocument);
  path_ = path;
  mayWrite_ = !document_.Error();
  if (!writeBack()) {
    mayWrite_ = false;
    return false;
  }
  if (!loadFile(path)) {
    return false;
  }
  // The file was just printed by the XML library, so it is already in its final form.
  pendingWrite_ = false;
  return true;
}

bool ServerSettings::hasError() const { return document_.Error(); }

std::string ServerSettings::errorDescription() const { return document_.ErrorStr(); }

XMLElement* ServerSettings::rootElement() {
  XMLElement* root = document_.FirstChildElement();
  if (root == nullptr) {
    root = document_.NewElement(kRootName);
    root->SetAttribute("version", kRootVersion);
    document_.InsertEndChild(root);
    pendingWrite_ = true;
  }
  return root;
}

// Finds or adds the hosting element. The document goes back to its file the first time (so the
// file takes the library's printed form) and whenever an element was added; a failed write does
// not hide the settings that were read.
XMLElement* ServerSettings::hostingElement() {
  XMLElement* root = rootElement();
  XMLElement* hosting = root->FirstChildElement(kHostingName);
  if (hosting == nullptr) {
    hosting = root->InsertNewChildElement(kHostingName);
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
  tinyxml2::XMLPrinter printer;
  document_.Print(&printer);
  // CStrSize counts the terminating null.
  std::string content(printer.CStr(), printer.CStrSize() - 1);
  // The library accepts some documents that it then prints in a form it cannot read (text after
  // the root element followed by a stray end tag); such a file stays as the user wrote it.
  tinyxml2::XMLDocument printed;
  if (printed.Parse(content.data(), content.size()) != tinyxml2::XML_SUCCESS) {
    return false;
  }
  return replaceFile(path_, content);
}

bool ServerSettings::readStringKey(const char* name, std::string& out) {
  const XMLElement* element = hostingElement()->FirstChildElement(name);
  if (element == nullptr) {
    return false;
  }
  out = elementText(*element);
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
  out = equalsIgnoringAsciiCase(text, "true");
  return true;
}

std::string ServerSettings::serverName() {
  std::string value;
  readStringKey("server-name", value);
  return value;
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
  const XMLElement* root = document_.FirstChildElement();
  const XMLElement* hosting = root != nullptr ? root->FirstChildElement(kHostingName) : nullptr;
  const XMLElement* port = hosting != nullptr ? hosting->FirstChildElement("soundport") : nullptr;
  return port != nullptr ? parseInteger(elementText(*port)) : -1;
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

// Every channel element becomes a sub-channel of its enclosing one, siblings in document order;
// one without a name is dropped with everything inside it. The tree is built apart and copied
// into `root` at the end. An explicit stack keeps deep nesting off the call stack.
bool ServerSettings::readStaticChannels(Channel* root) {
  const XMLElement* list = hostingElement()->FirstChildElement("static-channels");
  if (list == nullptr || root == nullptr) {
    return false;
  }
  Channel staging("");
  std::vector<std::pair<const XMLElement*, Channel*>> pending{{list, &staging}};
  while (!pending.empty()) {
    auto [element, parent] = pending.back();
    pending.pop_back();
    for (const XMLElement* item = element->FirstChildElement("channel"); item != nullptr;
         item = item->NextSiblingElement("channel")) {
      const XMLElement* name = item->FirstChildElement("name");
      if (name == nullptr) {
        continue;
      }
      auto channel = std::make_unique<Channel>(elementText(*name));
      if (const XMLElement* password = item->FirstChildElement("password")) {
        channel->setPassword(elementText(*password));
      }
      if (const XMLElement* topic = item->FirstChildElement("topic")) {
        channel->setTopic(elementText(*topic));
      }
      pending.emplace_back(item, parent->addChild(std::move(channel)));
    }
  }
  copyChannelTree(staging, *root);
  return true;
}

}  // namespace quorvane
