// One program under measurement, started by the bench on free loopback ports and stopped with
// the object: the server (a copy beside its own settings file in a scratch directory) or one of
// the two baselines. Reads the process's CPU time and memory from /proc. One thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <memory>
#include <string>

namespace quorvane {

// The whole of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

class Subject {
 public:
  enum class Kind { Server, RelayBaseline, PingBaseline };

  // How the server is run: the content of its settings file's hosting element besides the ports,
  // and its descriptor limit (0: the machine's).
  struct Setup {
    std::string hosting = benchHosting();
    rlim_t openFiles = 0;
  };
  // The bench's own hosting element.
  static std::string benchHosting();

  // Starts the program and waits until its ports are bound; nullptr (with `error`) when it does
  // not come up after a few attempts on fresh ports.
  static std::unique_ptr<Subject> start(Kind kind, const std::string& program,
                                        std::string& error, const Setup& setup);
  // The same with the bench's setup.
  static std::unique_ptr<Subject> start(Kind kind, const std::string& program,
                                        std::string& error);
  ~Subject();
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;

  bool isServer() const { return kind_ == Kind::Server; }
  // The TCP port (server, line baseline) and the UDP port (server, relay baseline); 0 if none.
  int hostPort() const { return hostPort_; }
  int soundPort() const { return soundPort_; }
  // The server's status endpoint (HTTP on 127.0.0.1); 0 for the baselines.
  int statusPort() const { return statusPort_; }

  // User plus system CPU time of every thread of the process so far, in seconds.
  double cpuSeconds() const;
  // Resident memory in KiB.
  long rssKiB() const;
  bool alive() const;
  // What the program printed so far.
  std::string console() const;
  // The client count in the server's "room for about N clients." line; 0 when not (yet) shown.
  long roomForClients() const;
  pid_t pid() const { return pid_; }
  // The scratch directory the server runs in (its log lies there).
  const std::string& directory() const { return directory_; }

  // Asks the program to end, waits up to `patience` seconds, then kills it. The exit status as
  // waitpid gives it, or -1 when it had to be killed.
  int stop(double patience = 10);

 private:
  Subject(Kind kind, const Setup& setup) : kind_(kind), setup_(setup) {}
  bool launch(const std::string& program, std::string& error);
  bool waitUntilBound(std::string& error);
  // The server's copy in the scratch directory, and its settings file beside it.
  bool prepareServer(const std::string& program, std::string& error) const;
  bool writeSettings(std::string& error) const;

  Kind kind_;
  Setup setup_;
  std::string directory_;
  pid_t pid_ = -1;
  // Set once the ended process has been collected (alive() collects it).
  mutable bool reaped_ = false;
  mutable int exitStatus_ = -1;
  int hostPort_ = 0;
  int soundPort_ = 0;
  int statusPort_ = 0;
};

// The descriptor limit the machine gives a process (soft and hard), as found at start-up before
// the bench raised its own: every subject runs with it, its soft limit raised to the hard one.
void rememberMachineDescriptorLimit();

}  // namespace quorvane
