// The primitives of a platform's service manager that the management actions of ServiceHost
// (install, uninstall, start, stop) are written on: systemd through systemctl on Linux
// (SystemdUnit), the service control manager on Windows (ServiceControlManager). The actions own
// the messages, the waiting, the order of the steps and the results; a manager prints nothing.
// One object per action, used by the action's one thread; it lets go of what it holds when
// destroyed.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane {

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // A call that fails and takes a `reason` leaves there why, in one line of the system's words.
  // Reaches the manager.
  virtual bool connect(std::string& reason) = 0;
  // Enters a service that starts `program` with `arguments` at boot, as `account` when given.
  virtual bool create(const std::string& displayName, const std::string& program,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::string>& account,
                      const std::optional<std::string>& password, std::string& reason) = 0;
  // Finds the entered service; the calls below act on it.
  virtual bool find(std::string& reason) = 0;
  virtual bool remove(std::string& reason) = 0;
  // Asks for a start without waiting for it.
  virtual bool requestStart(std::string& reason) = 0;
  // Asks a running service to stop without waiting for it; false when it does not run or
  // refuses.
  virtual bool requestStop() = 0;
  // The service's ServiceHost::State; 0 when it cannot be told.
  virtual unsigned state() = 0;
  // The pause between two state queries.
  virtual void pause() = 0;
  // What install tells on standard error when a password was given that this manager has no
  // use for; empty when it uses it.
  virtual std::string unusedPasswordNote() const = 0;
};

}  // namespace quorvane
