// The settings file "QuorvaneService.xml": answers one question per setting, read from the XML
// document at the moment it is asked, with a fixed default when the element is missing. Lives on
// the stack of the service run during start-up only; not shared between threads.
#pragma once

#include <optional>
#include <string>

#include <tinyxml2.h>

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
  // not be read or did not parse; such a file is never written back, so the user's bytes survive.
  bool loadFile(const std::string& path);
  // Parses the default document, saves it to `path` and loads it back.
  bool createDefaultFile(const std::string& path);
  bool hasError() const;
  std::string errorDescription() const;

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
  // The text of the hosting element's first child element `name`, as the keys above read it;
  // nothing when the element is missing. The settings added beyond the classic keys are read
  // through this and interpreted by the service.
  std::optional<std::string> keyText(const char* name);
  // Builds the configured channel tree below `root`; true when static-channels was found and a
  // root was given.
  bool readStaticChannels(Channel* root);

 private:
  tinyxml2::XMLElement* rootElement();
  tinyxml2::XMLElement* hostingElement();
  bool readStringKey(const char* name, std::string& out);
  bool readIntKey(const char* name, int& out);
  bool readBoolKey(const char* name, bool& out);
  // Writes the document back to its file, crash-safely. False when it may not or could not.
  bool writeBack();
  // Puts `content` at `path` through a flushed temporary file in the same directory that is
  // renamed over the old file, which keeps its permissions; on failure the old file is untouched.
  static bool replaceFile(const std::string& path, const std::string& content);

  tinyxml2::XMLDocument document_;
  std::string path_;
  // Only a document read from an existing file (or an empty one) may go back to it.
  bool mayWrite_ = false;
  // Set by a load and by every element the lookups add; cleared by the next write-back.
  bool pendingWrite_ = false;
};

}  // namespace quorvane
