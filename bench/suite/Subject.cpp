#include "suite/Subject.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStartAttempts = 3;
constexpr auto kStartPatience = std::chrono::seconds(5);
const char* const kServerFile = "QuorvaneService";

rlimit machineLimit{};

// True when a socket of `type` can be bound to the port on every address right now.
bool portFree(int port, int type) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

// A port free for TCP and UDP below the range the kernel hands out to outgoing connections, so
// none of the bench's own thousands of clients takes it meanwhile.
int pickPort(int avoid) {
  int ephemeralLow = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow;
  const int high = std::max(ephemeralLow - 1, 11000);
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(10000, high);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = pick(random);
    if (port != avoid && portFree(port, SOCK_STREAM) && portFree(port, SOCK_DGRAM)) return port;
  }
  return 0;
}

// True when /proc/net/<table> lists a socket on the local port (in `state`, when given).
bool portListed(const char* table, int port, const char* state) {
  std::ifstream in(std::string("/proc/net/") + table);
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, st;
    fields >> slot >> local >> remote >> st;
    if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0 &&
        (state == nullptr || st == state)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void rememberMachineDescriptorLimit() { ::getrlimit(RLIMIT_NOFILE, &machineLimit); }

std::unique_ptr<Subject> Subject::start(Kind kind, const std::string& program,
                                        std::string& error, const Setup& setup) {
  std::unique_ptr<Subject> subject(new Subject(kind, setup));
  char pattern[] = "/tmp/quorvane-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error = "cannot create a scratch directory";
    return nullptr;
  }
  subject->directory_ = pattern;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    subject->hostPort_ = kind == Kind::RelayBaseline ? 0 : pickPort(0);
    subject->soundPort_ = kind == Kind::PingBaseline ? 0 : pickPort(subject->hostPort_);
    // The server's status endpoint, scraped by the voice-under-load scenario.
    subject->statusPort_ = kind == Kind::Server ? pickPort(subject->soundPort_) : 0;
    if ((kind != Kind::RelayBaseline && subject->hostPort_ == 0) ||
        (kind != Kind::PingBaseline && subject->soundPort_ == 0)) {
      error = "no free ports found";
      continue;
    }
    if (subject->launch(program, error) && subject->waitUntilBound(error)) return subject;
    subject->stop(1);
  }
  return nullptr;
}

std::unique_ptr<Subject> Subject::start(Kind kind, const std::string& program,
                                        std::string& error) {
  return start(kind, program, error, Setup{});
}

Subject::~Subject() {
  stop(2);
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

// What the bench's server runs with beyond the ports: forwarding, the voice address check, no
// log, the static channels of the capacity scenario, and every defence on with the limits the
// scenarios would otherwise run into raised (the rest keep their defaults).
std::string Subject::benchHosting() {
  std::string text =
      "<server-name>Quorvane Bench</server-name><server-password></server-password>\n"
      "<allow-channel-creation>true</allow-channel-creation>"
      "<allow-forwarding>true</allow-forwarding><allow-operators>true</allow-operators>\n"
      "<server-logging>false</server-logging><voice-address-check>true</voice-address-check>\n"
      // One connection pings at 25,000 and more round trips a second in (4), with up to 8 in
      // flight; a limit that never binds still has every line pass through its bucket.
      "<command-limit>1000000</command-limit><command-burst>10000</command-burst>\n"
      // (6): one connection sends a channel message every 10 to 20 ms; (7): "connect" and "join"
      // at once on each of 1000 connections.
      "<message-limit>1000</message-limit><message-burst>1000</message-burst>\n"
      // (5): 1000 "connect" lines at once from 8 addresses (125 each); (7): 1000 "connect" and
      // 1000 "join" lines at once (250 per address). 2000 leaves room many times over.
      "<address-message-limit>2000</address-message-limit>"
      "<address-message-burst>2000</address-message-burst>\n"
      "<address-login-limit>2000</address-login-limit>"
      "<address-login-burst>2000</address-login-burst>\n"
      // (1) forwards 150,000 to 200,000 datagrams a second from one sender: far above that, the
      // limit shapes nothing while each datagram is still counted in its sender's bucket.
      "<voice-limit>1000000</voice-limit>\n"
      // (4) and (7) hold thousands of connections that never log in, from 8 addresses: as many
      // per address as the 32,766 user ids spread over 8 (4096), and (7) holds them for up to
      // its 120-s setup and 30-s ping patience, longer than the default 60-s login deadline.
      "<pending-per-address>4096</pending-per-address>"
      "<connections-per-address>4096</connections-per-address>\n"
      "<login-timeout>600</login-timeout>\n"
      "<static-channels>";
  // The capacity scenario spreads its logged-in clients over these.
  for (int k = 0; k < 10; ++k) text += "<channel><name>c" + std::to_string(k) + "</name></channel>";
  // The load tool of the voice-under-load scenario joins /soak/0/ to /soak/9/.
  text += "<channel><name>soak</name>";
  for (int k = 0; k < 10; ++k) text += "<channel><name>" + std::to_string(k) + "</name></channel>";
  return text + "</channel></static-channels>\n";
}

bool Subject::writeSettings(std::string& error) const {
  std::ofstream out(directory_ + "/QuorvaneService.xml");
  out << "<?xml version=\"1.0\" ?><quorvane version=\"1.1\"><hosting>\n"
      << "<hostport>" << hostPort_ << "</hostport><soundport>" << soundPort_ << "</soundport>\n"
      << "<status-port>" << statusPort_ << "</status-port>\n"
      << setup_.hosting << "</hosting></quorvane>\n";
  if (!out) error = "cannot write the settings file in " + directory_;
  return static_cast<bool>(out);
}

bool Subject::prepareServer(const std::string& program, std::string& error) const {
  std::error_code failure;
  std::filesystem::copy_file(program, directory_ + "/" + kServerFile,
                             std::filesystem::copy_options::overwrite_existing, failure);
  if (failure) {
    error = "cannot copy " + program + ": " + failure.message();
    return false;
  }
  return writeSettings(error);
}

bool Subject::launch(const std::string& program, std::string& error) {
  std::vector<std::string> arguments;
  if (isServer()) {
    if (!prepareServer(program, error)) return false;
    arguments = {directory_ + "/" + kServerFile, "-d"};
  } else {
    arguments = {program, std::to_string(kind_ == Kind::RelayBaseline ? soundPort_ : hostPort_)};
  }
  const std::string consolePath = directory_ + "/console.txt";
  // Everything the child needs is made before the fork: it only makes system calls.
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  rlimit limit = machineLimit;
  if (setup_.openFiles != 0) limit.rlim_max = std::min<rlim_t>(limit.rlim_max, setup_.openFiles);
  limit.rlim_cur = limit.rlim_max;
  pid_ = ::fork();
  if (pid_ < 0) {
    error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    // The child: dies with the bench, runs in the scratch directory with the machine's limit.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int console = ::open(consolePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (console < 0 || ::chdir(directory_.c_str()) != 0) ::_exit(127);
    ::dup2(console, 1);
    ::dup2(console, 2);
    if (limit.rlim_max != 0) ::setrlimit(RLIMIT_NOFILE, &limit);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return true;
}

bool Subject::waitUntilBound(std::string& error) {
  const Clock::time_point deadline = Clock::now() + kStartPatience;
  while (Clock::now() < deadline) {
    const bool tcp = hostPort_ == 0 || portListed("tcp", hostPort_, "0A");
    const bool udp = soundPort_ == 0 || portListed("udp", soundPort_, nullptr);
    if (tcp && udp) return true;
    if (!alive()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "the program did not start on its ports; it printed: " + console();
  return false;
}

double Subject::cpuSeconds() const {
  const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
  // The command name may hold blanks: the fields are counted from the closing parenthesis.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3, utime field 14, stime field 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long Subject::rssKiB() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

bool Subject::alive() const {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
  reaped_ = true;
  exitStatus_ = status;
  return false;
}

std::string Subject::console() const { return readFile(directory_ + "/console.txt"); }

long Subject::roomForClients() const {
  const std::string text = console();
  const std::string marker = "room for about ";
  const std::size_t at = text.find(marker);
  return at == std::string::npos ? 0 : std::atol(text.c_str() + at + marker.size());
}

int Subject::stop(double patience) {
  if (pid_ <= 0) return -1;
  if (alive()) ::kill(pid_, isServer() ? SIGINT : SIGTERM);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(patience));
  while (alive() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int result = exitStatus_;
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    result = -1;
  }
  pid_ = -1;
  reaped_ = false;
  exitStatus_ = -1;
  return result;
}

}  // namespace quorvane
