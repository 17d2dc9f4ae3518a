// The program's service: run loads the settings, creates and starts the VoiceServer and waits
// until stop has stopped and destroyed it; a server that cannot open its ports ends the run at
// once, as a failed start. Owns the server while it runs. run blocks on its own
// thread; stop may come from any thread, also before or while run starts the server.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/ServerLimits.h"
#include "service/ServiceHost.h"
#include "transport/ReactorPool.h"

namespace quorvane {

class Channel;
class ServerSettings;
class StatusEndpoint;
class VoiceServer;

class ServerService : public ServiceHost {
 public:
  static constexpr const char* kServiceName = "Quorvane Server";
  static constexpr const char* kSettingsFileName = "QuorvaneService.xml";
  static constexpr int kDefaultHostPort = 10300;
  static constexpr int kDefaultSoundPort = 10301;

  ServerService();
  ~ServerService() override;

  // One run per object: a stop stays in force once given. The settings file and the log are
  // kept in the directory of -c when it was given.
  void run(int argc, char** argv) override;
  void stop() override;

  // The settings file beside the program; the bare file name when the program path is unknown.
  static std::string settingsPath();
  // How many clients `descriptors` open files leave room for.
  static long clientCapacity(long descriptors);

  // The settings as run hands them to the server.
  struct Settings {
    bool logging = false;
    int hostPort = 0;
    int soundPort = 0;
    std::string adminUsername;
    std::string adminPassword;
    std::string serverName;
    std::string serverPassword;
    bool allowChannelCreation = true;
    bool allowForwarding = true;
    bool allowOperators = true;
    bool voiceAddressCheck = true;
    ServerLimits limits;
    // The status endpoint: off with port 0.
    unsigned statusPort = 0;
    std::string statusAddress = "127.0.0.1";
    bool statusHideProtected = true;
    // Values that could not be used as written, each told at start-up.
    std::vector<std::string> problems;
  };
  // Reads every setting of a loaded file in the service's order (the order decides which
  // lookups write missing keys back), the static channels into `root`. Ports stay as read.
  static Settings readValues(ServerSettings& file, Channel& root);
  // The defences' settings (ServerServiceLimits.cpp): a value that cannot be used keeps its
  // default and is added to `problems`.
  static ServerLimits readLimits(ServerSettings& file, std::vector<std::string>& problems);
  static bool readSwitch(ServerSettings& file, const char* name, bool fallback,
                         std::vector<std::string>& problems);
  // A whole number: `value` keeps its default when the text is not one, which `problems` tells.
  static void readCount(ServerSettings& file, const char* name, unsigned& value,
                        std::vector<std::string>& problems);
  // The status endpoint's settings (ServerServiceStatus.cpp), the same way.
  static void readStatus(ServerSettings& file, Settings& settings);

  // Test hooks; the program never calls them. The settings file to read instead of the one
  // beside the program, and the ports used when the settings name none.
  void useSettingsFile(std::string path) { settingsPathOverride_ = std::move(path); }
  void setDefaultPorts(int hostPort, int soundPort);

 private:
  // The settings file this run reads.
  std::string settingsFile() const;
  // With -c: false, and told, when its directory is none; else the log is placed there.
  bool useSettingsDirectory();
  // Loads (or creates) the settings file and reads every setting, the channels into `root`.
  Settings readSettings(Channel& root);
  // Loads the file, or creates the default one; the message of a failure, or empty.
  std::string openSettings(ServerSettings& settings, const std::string& path);
  // On the console in console mode, in the event log (syslog), and in the log when on.
  void reportProblem(const std::string& message, bool logging);
  // Raises the open-file limit as far as allowed and tells how many clients it leaves room for.
  void reportCapacity(bool logging);
  // The status endpoint on the server, when its port is set; nothing when it is off or failed
  // (which is told).
  std::unique_ptr<StatusEndpoint> startStatus(VoiceServer& server, const Settings& settings);
  // False when the server could not open its ports; it is then stopped and destroyed again.
  bool startServer(const Channel& root, const Settings& settings);
  bool stopRequested();

  std::mutex stopLock_;  // one stop at a time, so a finished stop means the server is gone
  std::mutex lock_;      // guards server_ and the two flags
  std::condition_variable stopDoneSignal_;
  bool stopRequested_ = false;  // set when a stop begins: no server is published after it
  bool stopDone_ = false;       // set when a stop has finished: run may return
  // The event loops of the server; stopped once the server is.
  ReactorPool pool_;
  std::unique_ptr<VoiceServer> server_;
  std::unique_ptr<StatusEndpoint> status_;  // read the server: stopped before it
  std::string settingsPathOverride_;
  int defaultHostPort_ = kDefaultHostPort;
  int defaultSoundPort_ = kDefaultSoundPort;
};

}  // namespace quorvane
