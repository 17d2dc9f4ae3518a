// The service host on Windows: the service control manager, the event log with its registry
// source, the console control handler and the hidden window of a background run. Every Windows
// that runs a 64-bit program is NT, so the Windows 9x/Me paths (the RunServices key, a hidden run
// when no switch is given) have no place here.
#include "service/ServiceHost.h"

#include <windows.h>
#include <mbstring.h>
#include <winsvc.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "service/ServiceControlManager.h"

namespace quorvane {

namespace {

constexpr DWORD kStatusWaitHint = 3000;
constexpr DWORD kErrorTextSize = 256;
constexpr DWORD kUserNameSize = 255;
constexpr DWORD kSidSize = 4096;
constexpr DWORD kDomainSize = 255;
constexpr DWORD kModulePathLimit = 32768;
constexpr const char* kHiddenWindowClass = "KZV__FacelessWndProc_";

std::vector<BYTE> currentUserSid() {
  char user[kUserNameSize];
  DWORD userSize = sizeof user;
  if (!::GetUserNameA(user, &userSize)) return {};
  std::vector<BYTE> sid(kSidSize);
  DWORD sidSize = kSidSize;
  char domain[kDomainSize];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  if (!::LookupAccountNameA(nullptr, user, sid.data(), &sidSize, domain, &domainSize, &use) ||
      !::IsValidSid(sid.data())) {
    return {};
  }
  std::vector<BYTE> copy(::GetLengthSid(sid.data()));
  if (!::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid.data())) return {};
  return copy;
}

// A new console leaves the C streams unbound; they are opened on its devices. A stream whose
// handle is a file or a pipe (redirected) stays as it is.
void bindStream(DWORD which, std::FILE* stream, const char* device, const char* mode) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  if (::GetFileType(handle) != FILE_TYPE_CHAR) return;
  if (std::freopen(device, mode, stream) == nullptr) return;
  std::setvbuf(stream, nullptr, _IONBF, 0);
}

}  // namespace

struct ServiceHost::Platform {
  static void WINAPI serviceMain(DWORD argc, LPSTR* argv);
  static void WINAPI controlHandler(DWORD control);
  static BOOL WINAPI consoleControl(DWORD type);
  static LRESULT CALLBACK hiddenWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam);

  void setState(DWORD state) {
    std::lock_guard<std::mutex> guard(statusLock);
    status.dwCurrentState = state;
  }
  DWORD state() {
    std::lock_guard<std::mutex> guard(statusLock);
    return status.dwCurrentState;
  }

  std::mutex statusLock;  // guards status and statusHandle
  SERVICE_STATUS status{};
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
  std::vector<BYTE> userSid;  // empty when the account could not be looked up
  bool consoleAttached = false;
};

namespace {

// The hidden window of a background run. Its message loop runs on a thread of its own, so the
// system's end-of-session messages reach it while run blocks the main thread.
class HiddenWindow {
 public:
  HiddenWindow() : thread_([this] { loop(); }) {
    std::unique_lock<std::mutex> guard(lock_);
    ready_.wait(guard, [this] { return threadId_ != 0; });
  }
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;
  ~HiddenWindow() {
    closing_ = true;
    ::PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }

 private:
  void loop() {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &ServiceHost::Platform::hiddenWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kHiddenWindowClass;
    ::RegisterClassA(&windowClass);
    HWND window = ::CreateWindowExA(0, kHiddenWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                    instance, nullptr);
    MSG message;
    // Makes sure the thread has its message queue before anyone posts to it.
    ::PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    {
      std::lock_guard<std::mutex> guard(lock_);
      threadId_ = ::GetCurrentThreadId();
    }
    ready_.notify_all();
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
    // A quit message that the run's end did not send asks the service to stop.
    ServiceHost* host = ServiceHost::current();
    if (!closing_ && host != nullptr) host->stop();
    if (::IsWindow(window)) ::DestroyWindow(window);
    ::UnregisterClassA(kHiddenWindowClass, instance);
  }

  std::mutex lock_;
  std::condition_variable ready_;
  DWORD threadId_ = 0;
  std::atomic<bool> closing_{false};
  std::thread thread_;  // last: it uses the members above
};

}  // namespace

ServiceHost::ServiceHost(std::string serviceName, std::string displayName)
    : serviceName_(std::move(serviceName)),
      displayName_(displayName.empty() ? serviceName_ : std::move(displayName)),
      platform_(std::make_unique<Platform>()) {
  platform_->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  current_ = this;
  platform_->userSid = currentUserSid();
}

ServiceHost::~ServiceHost() {
  ServiceHost* self = this;
  current_.compare_exchange_strong(self, nullptr);
}

void WINAPI ServiceHost::Platform::serviceMain(DWORD argc, LPSTR* argv) {
  ServiceHost* host = current();
  if (host == nullptr) return;
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerA(host->serviceName_.c_str(), &controlHandler);
  if (handle == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(host->platform_->statusLock);
    host->platform_->statusHandle = handle;
  }
  if (host->reportStatus(StartPending, kStatusWaitHint, 0)) {
    host->run(static_cast<int>(argc), argv);
  }
  // A service that could not start stops with its code (ERROR_SERVICE_SPECIFIC_ERROR), so the
  // manager and whoever started it see the failure.
  host->reportStatus(Stopped, kStatusWaitHint, host->startFailed() ? kStartFailedExitCode : 0);
}

// Only the stop control is announced as accepted; an interrogation may come at any time.
void WINAPI ServiceHost::Platform::controlHandler(DWORD control) {
  ServiceHost* host = current();
  if (host == nullptr) return;
  Platform& platform = *host->platform_;
  if (control == SERVICE_CONTROL_STOP) {
    platform.setState(SERVICE_STOP_PENDING);
    host->stop();
  } else if (control == SERVICE_CONTROL_INTERROGATE) {
    host->reportStatus(platform.state(), kStatusWaitHint, 0);
  }
}

BOOL WINAPI ServiceHost::Platform::consoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  ServiceHost* host = current();
  if (host != nullptr) {
    std::printf("Stopping %s.\n", host->displayName_.c_str());
    std::fflush(stdout);
    host->stop();
  }
  return TRUE;
}

bool ServiceHost::deliverConsoleControl(unsigned type) {
  return Platform::consoleControl(type) != FALSE;
}

LRESULT CALLBACK ServiceHost::Platform::hiddenWindowProc(HWND window, UINT message,
                                                         WPARAM wParam, LPARAM lParam) {
  // lParam 0: the system shuts down; a log-off sets a bit and must not stop the service.
  bool shutdown = (message == WM_QUERYENDSESSION || message == WM_ENDSESSION) && lParam == 0;
  if (!shutdown && message != WM_QUIT) return ::DefWindowProcA(window, message, wParam, lParam);
  ::DestroyWindow(window);
  if (ServiceHost* host = current()) host->stop();
  return 1;
}

int ServiceHost::startDispatcher() {
  std::string name = serviceName_;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), &Platform::serviceMain}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherA(table)) return runExitCode();
  reportEvent(systemErrorText(), ErrorEvent);
  return 0;
}

bool ServiceHost::sendStatus(unsigned state, unsigned waitHint, unsigned exitCode,
                             unsigned checkpoint) {
  Platform& platform = *platform_;
  std::lock_guard<std::mutex> guard(platform.statusLock);
  SERVICE_STATUS& status = platform.status;
  status.dwControlsAccepted = state == StartPending ? 0 : platform.controlsAccepted;
  status.dwCurrentState = state;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint = checkpoint;
  return ::SetServiceStatus(platform.statusHandle, &status) != FALSE;
}

int ServiceHost::consoleRun(int argc, char** argv, bool hidden) {
  if (!hidden) {
    attachConsole();
    std::printf("Debugging %s.\n", displayName_.c_str());
    std::fflush(stdout);
    ::SetConsoleCtrlHandler(&Platform::consoleControl, TRUE);
    run(argc, argv);
    ::SetConsoleCtrlHandler(&Platform::consoleControl, FALSE);
    return runExitCode();
  }
  HiddenWindow window;
  run(argc, argv);
  return runExitCode();
}

// Each type has its event id, with the severity the type names.
void ServiceHost::reportEvent(const std::string& text, unsigned type) {
  DWORD id = type == ErrorEvent ? 0xC0000002 : type == WarningEvent ? 0x80000001 : 0x40000000;
  HANDLE source = ::RegisterEventSourceA(nullptr, serviceName_.c_str());
  if (source == nullptr) return;
  const char* strings[] = {text.c_str()};
  PSID sid = platform_->userSid.empty() ? nullptr : platform_->userSid.data();
  ::ReportEventA(source, static_cast<WORD>(type), 0, id, sid, 1, 0, strings, nullptr);
  ::DeregisterEventSource(source);
}

void ServiceHost::attachConsole() {
  if (platform_->consoleAttached) return;
  platform_->consoleAttached = true;
  // A process that has a console keeps its streams as they are.
  if (!::AllocConsole()) return;
  bindStream(STD_OUTPUT_HANDLE, stdout, "CONOUT$", "w");
  bindStream(STD_ERROR_HANDLE, stderr, "CONOUT$", "w");
  bindStream(STD_INPUT_HANDLE, stdin, "CONIN$", "r");
}

// The system's text for the calling thread's last error, without its closing line end; empty
// when there is none or when it is too long for the messages that carry it.
std::string ServiceHost::systemErrorText() {
  DWORD error = ::GetLastError();
  char* text = nullptr;
  // Inserts are ignored: some system texts hold %1, which would read arguments never given.
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result;
  if (length >= 2 && length + 14 <= kErrorTextSize) result.assign(text, length - 2);
  if (text != nullptr) ::LocalFree(text);
  return result;
}

std::string ServiceHost::programPath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return std::string();
    if (length < size) return std::string(buffer.data(), length);
    if (size >= kModulePathLimit) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ServiceHost::programDirectory() {
  std::string path = programPath();
  // Multibyte-aware: in a double-byte code page a trail byte may have the value of '\'.
  const unsigned char* text = reinterpret_cast<const unsigned char*>(path.c_str());
  const unsigned char* backslash = ::_mbsrchr(text, '\\');
  if (backslash == nullptr) return std::string();
  return path.substr(0, static_cast<std::size_t>(backslash - text) + 1);
}

std::unique_ptr<ServiceManager> ServiceHost::serviceManager() {
  return serviceControlManager(serviceName_);
}

}  // namespace quorvane
