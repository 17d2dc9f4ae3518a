#include "service/ServiceControlManager.h"

#include <windows.h>
#include <winsvc.h>

#include "service/ServiceHost.h"

namespace quorvane {

namespace {

constexpr DWORD kPollMs = 1000;

// `succeeded`; when false, with the system's text of the failure in `reason`.
bool check(bool succeeded, std::string& reason) {
  if (!succeeded) reason = ServiceHost::systemErrorText();
  return succeeded;
}

// One argument of a command line as the C runtime splits it again: quoted when it holds a blank
// or a quote or is empty, with the backslashes before a quote (or before the closing quote)
// doubled and the quote escaped.
std::string quotedArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

class ServiceControlManager : public ServiceManager {
 public:
  explicit ServiceControlManager(std::string serviceName) : serviceName_(std::move(serviceName)) {}
  ServiceControlManager(const ServiceControlManager&) = delete;
  ServiceControlManager& operator=(const ServiceControlManager&) = delete;
  ~ServiceControlManager() override {
    if (service_ != nullptr) ::CloseServiceHandle(service_);
    if (manager_ != nullptr) ::CloseServiceHandle(manager_);
  }

  bool connect(std::string& reason) override {
    manager_ = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return check(manager_ != nullptr, reason);
  }

  bool create(const std::string& displayName, const std::string& program,
              const std::vector<std::string>& arguments,
              const std::optional<std::string>& account,
              const std::optional<std::string>& password, std::string& reason) override {
    // Quoted: unquoted, a path with blanks could be taken for a shorter program and arguments.
    std::string command = "\"" + program + "\"";
    for (const std::string& argument : arguments) command += " " + quotedArgument(argument);
    // No load order group, no tag (drivers only), no dependencies.
    service_ = ::CreateServiceA(manager_, serviceName_.c_str(), displayName.c_str(),
                                SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                account ? account->c_str() : nullptr,
                                password ? password->c_str() : nullptr);
    return check(service_ != nullptr, reason);
  }

  bool find(std::string& reason) override {
    service_ = ::OpenServiceA(manager_, serviceName_.c_str(), SERVICE_ALL_ACCESS);
    return check(service_ != nullptr, reason);
  }

  bool remove(std::string& reason) override {
    return check(::DeleteService(service_) != FALSE, reason);
  }

  bool requestStart(std::string& reason) override {
    return check(::StartServiceA(service_, 0, nullptr) != FALSE, reason);
  }

  bool requestStop() override {
    SERVICE_STATUS status{};
    return ::ControlService(service_, SERVICE_CONTROL_STOP, &status) != FALSE;
  }

  // The manager's states have the values of ServiceHost::State.
  unsigned state() override {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service_, &status) ? status.dwCurrentState : 0;
  }

  void pause() override { ::Sleep(kPollMs); }

  std::string unusedPasswordNote() const override { return std::string(); }

 private:
  std::string serviceName_;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

}  // namespace

std::unique_ptr<ServiceManager> serviceControlManager(const std::string& serviceName) {
  return std::make_unique<ServiceControlManager>(serviceName);
}

}  // namespace quorvane
