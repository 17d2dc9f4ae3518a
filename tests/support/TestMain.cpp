// Entry of every test program: the socket library is started once for the whole run, and a
// peer that goes away never kills the process with SIGPIPE.
#include <gmock/gmock.h>

#include "transport/SocketApi.h"

int main(int argc, char** argv) {
  quorvane::sys::startNetworking();
  testing::InitGoogleMock(&argc, argv);
  int result = RUN_ALL_TESTS();
  quorvane::sys::stopNetworking();
  return result;
}
