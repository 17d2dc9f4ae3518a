// Where the server's log entries go: the service hands one to the server, which knows nothing of
// files. Called from any of the server's threads; each call is one entry.
#pragma once

#include <string>

namespace quorvane {

class LogSink {
 public:
  virtual void write(const std::string& entry) = 0;

 protected:
  ~LogSink() = default;
};

}  // namespace quorvane
