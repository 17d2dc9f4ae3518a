// The systemd unit of the service as a ServiceManager, driven through systemctl, which is run
// without a shell and whose words become the reasons of failures. Prints nothing. Linux only;
// used by the one thread of a management action.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "service/ServiceManager.h"

namespace quorvane {

class SystemdUnit : public ServiceManager {
 public:
  // The unit "<name>.service", with the service name lower-cased and every character other than
  // a letter or a digit turned into '-'.
  explicit SystemdUnit(const std::string& serviceName);

  void setSystemctlPath(std::string path) { systemctl_ = std::move(path); }
  void setDirectory(std::string directory) { directory_ = std::move(directory); }
  void setPollInterval(std::chrono::milliseconds interval) { pollInterval_ = interval; }

  // systemctl runs and systemd answers (the counterpart of opening the service control manager).
  bool connect(std::string& reason) override;
  // Writes the unit of a Type=notify service that runs `program` with `arguments` in the
  // program's directory (as `account` when given), reloads systemd and enables the unit. Leaves
  // nothing behind when it fails. A unit has no password: the account's own rights apply.
  bool create(const std::string& description, const std::string& program,
              const std::vector<std::string>& arguments,
              const std::optional<std::string>& account,
              const std::optional<std::string>& password, std::string& reason) override;
  // The unit file is there.
  bool find(std::string& reason) override;
  // Disables the unit and removes its file.
  bool remove(std::string& reason) override;
  // Refused when the unit runs already.
  bool requestStart(std::string& reason) override;
  bool requestStop() override;
  // From what systemctl is-active says: active, activating, deactivating, and inactive or failed
  // (a service that ended with a failure has stopped too); anything else is 0.
  unsigned state() override;
  void pause() override;
  std::string unusedPasswordNote() const override;

 private:
  // The systemctl program: the one set for tests, else the system's.
  std::string systemctlPath() const;
  std::string path() const { return directory_ + "/" + name_; }
  // What systemctl is-active says; empty when it cannot be asked.
  std::string activeState() const;

  std::string name_;
  std::string systemctl_;
  std::string directory_ = "/etc/systemd/system";
  std::chrono::milliseconds pollInterval_{1000};
};

}  // namespace quorvane
