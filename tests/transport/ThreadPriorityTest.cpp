// The voice thread asks to run ahead of the others. Guards against a thread that loses its
// niceness when it asks, and against threads it starts inheriting the request.
#include "transport/ThreadPriority.h"

#include <gtest/gtest.h>

#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#endif

namespace quorvane {
namespace {

#ifdef _WIN32
TEST(ThreadPriorityTest, TheVoiceThreadRunsAtTheHighestPriorityOfItsClass) {
  int priority = 0;
  int started = 0;
  std::thread([&] {
    EXPECT_TRUE(runThisThreadAhead());
    priority = GetThreadPriority(GetCurrentThread());
    std::thread([&] { started = GetThreadPriority(GetCurrentThread()); }).join();
  }).join();
  EXPECT_EQ(priority, THREAD_PRIORITY_HIGHEST);
  EXPECT_EQ(started, THREAD_PRIORITY_NORMAL);
}
#else
struct Scheduling {
  std::uint32_t size;
  std::uint32_t policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime, deadline, period;
};

Scheduling ofThisThread() {
  Scheduling scheduling{};
  EXPECT_EQ(syscall(SYS_sched_getattr, 0, &scheduling, sizeof scheduling, 0), 0);
  return scheduling;
}

bool keepsShortSlices() {
  utsname system{};
  int major = 0;
  int minor = 0;
  if (uname(&system) != 0 || std::sscanf(system.release, "%d.%d", &major, &minor) != 2) return false;
  return major > 6 || (major == 6 && minor >= 12);
}

TEST(ThreadPriorityTest, TheVoiceThreadAsksForAShortSliceAtItsOwnNiceness) {
  if (!keepsShortSlices()) GTEST_SKIP() << "the kernel keeps no short slices";
  Scheduling ahead{};
  Scheduling started{};
  std::thread([&] {
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 3), 0);
    EXPECT_TRUE(runThisThreadAhead());
    ahead = ofThisThread();
    std::thread([&] { started = ofThisThread(); }).join();
  }).join();
  EXPECT_EQ(ahead.policy, static_cast<std::uint32_t>(SCHED_OTHER));
  EXPECT_EQ(ahead.nice, 3);
  EXPECT_EQ(ahead.runtime, 100'000u);
  EXPECT_EQ(started.nice, 3);
  EXPECT_NE(started.runtime, 100'000u);
}
#endif

}  // namespace
}  // namespace quorvane
