// Timers on threads of their own. Guards against a timer that calls after its cancel, a cancel
// that waits for (and so deadlocks with) a call in progress, and threads left unjoined.
#include "transport/TimerService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/WaitFor.h"
#include "transport/TimerListener.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// Records every call; an optional hook, set before the timer starts, runs inside the call.
class RecordingListener : public TimerListener {
 public:
  void onTimer(int id) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ids_.push_back(id);
    }
    if (hook) hook(id);
  }
  std::vector<int> ids() {
    std::lock_guard<std::mutex> guard(lock_);
    return ids_;
  }
  int calls() { return static_cast<int>(ids().size()); }
  bool waitForCalls(int count) {
    return test::waitFor([&] { return calls() >= count; });
  }

  std::function<void(int)> hook;

 private:
  std::mutex lock_;
  std::vector<int> ids_;
};

// Joins finished threads until `count` have been joined in all.
bool joinsEventually(TimerService& service, std::size_t count) {
  std::size_t joined = 0;
  return test::waitFor([&] {
           joined += service.joinFinished();
           return joined >= count;
         }) &&
         joined == count;
}

// A one-shot timer calls once and goes; a repeating one calls until cancelled; a cancel during
// the minute's wait ends it at once (within the join's patience); repeated cancels and unknown
// ids are harmless.
TEST(TimerServiceTest, OneShotRepeatingAndCancelledTimers) {
  TimerService service;
  RecordingListener once, repeating, cancelled;
  service.cancelTimer(99);
  service.startTimer(&once, 7, 20, false);
  service.startTimer(&repeating, 3, 20, true);
  service.startTimer(&cancelled, 1, 60000, true);
  service.cancelTimer(1);
  service.cancelTimer(1);
  ASSERT_TRUE(repeating.waitForCalls(3));
  service.cancelTimer(3);

  ASSERT_TRUE(joinsEventually(service, 3));
  service.cancelTimer(1);
  for (int id : {1, 3, 7, 99}) EXPECT_FALSE(service.hasTimer(id)) << id;
  EXPECT_EQ(once.ids(), std::vector<int>{7});
  EXPECT_EQ(repeating.ids(), std::vector<int>(repeating.calls(), 3));
  EXPECT_EQ(cancelled.calls(), 0);
}

// A cancel from inside the callback ends the timer. The server cancels with its own lock held
// while the timer thread may wait for that lock inside onTimer: the cancel must return without
// waiting for the thread, and the call then finishes.
TEST(TimerServiceTest, CancelFromTheCallbackOrWhileItWaitsForTheCallersLock) {
  TimerService service;
  RecordingListener inside, blocked;
  std::mutex serverLock;
  inside.hook = [&service](int id) { service.cancelTimer(id); };
  blocked.hook = [&serverLock](int) { std::lock_guard<std::mutex> guard(serverLock); };
  service.startTimer(&inside, 4, 20, true);
  {
    std::lock_guard<std::mutex> guard(serverLock);
    service.startTimer(&blocked, 1, 20, true);
    ASSERT_TRUE(blocked.waitForCalls(1));
    service.cancelTimer(1);
  }
  ASSERT_TRUE(joinsEventually(service, 2));
  EXPECT_EQ(inside.calls(), 1);
  EXPECT_EQ(blocked.calls(), 1);
  EXPECT_FALSE(service.hasTimer(4));
  EXPECT_FALSE(service.hasTimer(1));
}

// A replaced timer's thread ends and leaves the new entry alone, which stays cancellable; the
// destructor stops and joins every thread, also one whose timer was replaced before it called.
TEST(TimerServiceTest, ReplacementAndDestructionEndEveryThread) {
  RecordingListener oldListener, newListener, running;
  std::atomic<int> inCall{0};
  running.hook = [&inCall](int) {
    ++inCall;
    std::this_thread::sleep_for(5ms);
    --inCall;
  };
  auto service = std::make_unique<TimerService>();
  service->startTimer(&oldListener, 1, 20, true);
  ASSERT_TRUE(oldListener.waitForCalls(1));
  service->startTimer(&newListener, 1, 20, true);
  ASSERT_TRUE(joinsEventually(*service, 1));
  const int oldCalls = oldListener.calls();
  EXPECT_TRUE(service->hasTimer(1));
  ASSERT_TRUE(newListener.waitForCalls(newListener.calls() + 2));
  EXPECT_EQ(oldListener.calls(), oldCalls);
  service->cancelTimer(1);
  ASSERT_TRUE(joinsEventually(*service, 1));
  EXPECT_FALSE(service->hasTimer(1));

  service->startTimer(&running, 3, 20, true);
  service->startTimer(&running, 2, 60000, true);
  service->startTimer(&running, 2, 60000, false);
  ASSERT_TRUE(running.waitForCalls(2));
  service.reset();
  EXPECT_EQ(inCall.load(), 0);
  EXPECT_EQ(running.ids(), std::vector<int>(running.calls(), 3));
}

}  // namespace
}  // namespace quorvane
