// Entry of every test program: the socket library is started once for the whole run, and a
// peer that goes away never kills the process with SIGPIPE.
#include <gmock/gmock.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <csignal>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#else
  std::signal(SIGPIPE, SIG_IGN);
#endif
  testing::InitGoogleMock(&argc, argv);
  int result = RUN_ALL_TESTS();
#ifdef _WIN32
  WSACleanup();
#endif
  return result;
}
