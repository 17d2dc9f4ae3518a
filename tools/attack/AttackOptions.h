// The command line of quorvane-attack and the sizes of every measurement, full or quick.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace quorvane {

struct AttackOptions {
  // The server to start in a scratch directory with the settings of the run; or, when empty,
  // the running server at host:port (its memory read from serverPid, its log from logFile).
  std::string serverProgram;
  std::string host = "127.0.0.1";
  int port = 0;
  int soundPort = 0;
  int serverPid = 0;
  std::string logFile;
  // The password honest clients log in with (the started server is given it).
  std::string password = "quorvane-attack";
  // The descriptor limit of the started server: low enough that one address holding
  // `hammerAttempts` connections would fill it if nothing stopped that address.
  long serverFiles = 8192;
  // Tiny sizes, for a smoke test of the tool itself.
  bool quick = false;
  // The measurements to make, by number (1 to 5); empty makes all.
  std::set<int> only;
  bool wants(int measurement) const { return only.empty() || only.count(measurement) != 0; }

  // The attacker: connections one address holds at most, and at most this many of them not
  // yet logged in at a time (the server's defaults for an address; the attacker keeps to them
  // rather than have every connection beyond refused, which only burns attempts).
  std::size_t attackConnections = 256;
  std::size_t attackPending = 32;
  // Connections one attack opens at most, reconnects included.
  std::size_t attackAttempts = 10000;

  // (1) the idle listening clients and the seconds of each of the three floods.
  std::size_t listeners = 200;
  double floodSeconds = 10;
  // (2) the victim's reading pace and the seconds of the private-message flood.
  double victimBytesPerSecond = 50000;
  double victimSeconds = 60;
  // (3) the connection attempts of the hammering address, and the logins from a second
  // address meanwhile, one every loginGapSeconds.
  std::size_t hammerAttempts = 10000;
  std::size_t logins = 20;
  double loginGapSeconds = 0.25;
  // (4) the clients that never read and the seconds they are flooded.
  std::size_t nonReaders = 200;
  double memorySeconds = 60;
  // (5) the seconds of password guessing.
  double guessSeconds = 20;

  // Reads the arguments; false with `error` on a mistake.
  bool parse(int argc, char** argv, std::string& error);
  static const char* usage();

 private:
  void shrinkForQuickRun();
};

}  // namespace quorvane
