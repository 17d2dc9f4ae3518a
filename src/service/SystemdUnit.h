// The systemd unit of the service, driven through systemctl, which is run without a shell and
// whose words become the reasons of failures. Prints nothing. Linux only; used by the one thread
// of a management action.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quorvane {

class SystemdUnit {
 public:
  // The unit "<name>.service", with the service name lower-cased and every character other than
  // a letter or a digit turned into '-'.
  explicit SystemdUnit(const std::string& serviceName);

  void setSystemctlPath(std::string path) { systemctl_ = std::move(path); }
  void setDirectory(std::string directory) { directory_ = std::move(directory); }
  void setPollInterval(std::chrono::milliseconds interval) { pollInterval_ = interval; }

  std::string path() const { return directory_ + "/" + name_; }

  // systemctl runs and systemd answers (the counterpart of opening the service control manager).
  bool managerAvailable(std::string& reason) const;
  // The unit file is there.
  bool exists(std::string& reason) const;
  // Writes the unit of a Type=notify service that runs `program` in its directory (as `account`
  // when given), reloads systemd and enables the unit. Leaves nothing behind when it fails.
  bool create(const std::string& description, const std::string& program,
              const std::optional<std::string>& account, std::string& reason) const;
  // Disables the unit and removes its file.
  bool remove(std::string& reason) const;
  // Asks for a start without waiting for it; refused when the unit runs already.
  bool requestStart(std::string& reason) const;
  // Asks a running unit to stop without waiting for it; false when it does not run or refuses.
  bool requestStop() const;
  // What systemctl is-active says; empty when it cannot be asked.
  std::string activeState() const;
  // Waits one interval, then one more for every query that still finds the unit `pending`,
  // calling `onPending` for each. The last state found.
  template <typename OnPending>
  std::string pollWhile(const std::string& pending, OnPending onPending) const;

 private:
  // The systemctl program: the one set for tests, else the system's.
  std::string systemctlPath() const;
  void pause() const;

  std::string name_;
  std::string systemctl_;
  std::string directory_ = "/etc/systemd/system";
  std::chrono::milliseconds pollInterval_{1000};
};

template <typename OnPending>
std::string SystemdUnit::pollWhile(const std::string& pending, OnPending onPending) const {
  pause();
  std::string state = activeState();
  while (state == pending) {
    onPending();
    pause();
    state = activeState();
  }
  return state;
}

}  // namespace quorvane
