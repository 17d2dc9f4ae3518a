// The settings file "QuorvaneService.xml": answers one question per setting, read from the XML
// document at the moment it is asked, with a fixed default when the element is missing. Lives on
// the stack of the service run during start-up only; not shared between threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace quorvane {

class Channel;

class ServerSettings {
 public:
  // The document written when the settings file does not exist.
  static const char* const kDefaultDocument;

  ServerSettings() = default;
  ServerSettings(const ServerSettings&) = delete;
  ServerSettings& operator=(const ServerSettings&) = delete;
  virtual ~ServerSettings() = default;

  // Loads and parses the file and remembers its path for write-backs. False when the file could
  // not be read, is empty or did not parse. What parsed before an error is kept and read; such a
  // file is never written back, so the user's bytes survive.
  bool loadFile(const std::string& path);
  // Parses the default document, saves it to `path` and loads it back.
  bool createDefaultFile(const std::string& path);
  bool hasError() const;
  std::string errorDescription() const;

  // Text keys, exactly as written (blanks included).
  std::string serverName();
  std::string serverPassword();
  std::string adminUsername();
  std::string adminPassword();
  // -1 when missing; text read like strtol (" 900" and "900abc" give 900, "" gives 0).
  int hostPort();
  int soundPort();
  // "true"/"false" in any case; other text gives false; a missing element gives the default.
  bool allowForwarding();
  bool allowOperators();
  bool allowChannelCreation();
  bool serverLogging();
  // The text of the hosting element's first child element `name`, exactly as written; nothing
  // when the element is missing. The settings added beyond the classic keys are read through
  // this and interpreted by the service.
  std::optional<std::string> keyText(const char* name);
  // Builds the configured channel tree below `root`; true when static-channels was found and a
  // root was given.
  bool readStaticChannels(Channel* root);

  // What the reads above left out because it would break a client's line (a lone CR or LF, or a
  // final backslash, in the server name, a channel name or a topic), one description each, such
  // as "the topic of static channel /lobby/".
  const std::vector<std::string>& ignoredValues() const { return ignored_; }
  // Whether a value sent to clients inside quotation marks keeps their line whole: CR LF pairs
  // travel escaped, but a lone CR or LF ends the line and a final backslash escapes the closing
  // quotation mark.
  static bool staysOnOneLine(const std::string& text);

 private:
  pugi::xml_node rootElement();
  pugi::xml_node hostingElement();
  bool readStringKey(const char* name, std::string& out);
  bool readIntKey(const char* name, int& out);
  bool readBoolKey(const char* name, bool& out);
  // `text`, or empty with `what` noted when it would not stay on one line at a client.
  std::string clientText(std::string text, std::string what);
  // Writes the document back to its file, crash-safely, unless it would not change. False when
  // it may not or could not.
  bool writeBack();

  // The platform part (ServerSettingsPosix.cpp, ServerSettingsWindows.cpp). A link is followed
  // only when root or the account the program runs as owns it.
  // Reads the file that `path` names; false with the reason in `problem`.
  static bool readFile(const std::string& path, std::string& content, std::string& problem);
  // The file a write-back of `path` replaces, links resolved now: false when there is none that
  // may be written (a dangling link, not a regular file, no write permission bit, or one this
  // account may not write; a missing file unless `create`).
  static bool writeTarget(const std::string& path, bool create, std::string& target);

  pugi::xml_document document_;
  std::string path_;
  std::string error_;   // empty when the last load or creation had no error
  std::string loaded_;  // the bytes of the file as loaded
  // Only a document read whole from an existing file (or an empty one) may go back to it.
  bool mayWrite_ = false;
  // Set by a load and by every element the lookups add; cleared by the next write-back.
  bool pendingWrite_ = false;
  std::vector<std::string> ignored_;
};

}  // namespace quorvane
