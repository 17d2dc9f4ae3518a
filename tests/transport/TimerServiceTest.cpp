// Timers on threads of their own. Guards against a timer that calls after its cancel, a cancel
// that waits for (and so deadlocks with) a call in progress, and threads left unjoined.
#include "transport/TimerService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
using test::kPatience;

// Records every call; an optional hook, set before the timer starts, runs inside the call.
class RecordingListener : public TimerListener {
 public:
  void onTimer(int id) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ids_.push_back(id);
    }
    changed_.notify_all();
    if (hook) hook(id);
  }

  int calls() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(ids_.size());
  }
  std::vector<int> ids() {
    std::lock_guard<std::mutex> guard(lock_);
    return ids_;
  }
  bool waitForCalls(int count) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, kPatience,
                             [&] { return static_cast<int>(ids_.size()) >= count; });
  }

  std::function<void(int)> hook;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<int> ids_;
};

// Joins finished threads until `count` have been joined in all.
bool joinsEventually(TimerService& service, std::size_t count) {
  std::size_t joined = 0;
  return test::waitFor([&] {
    joined += service.joinFinished();
    return joined >= count;
  }) && joined == count;
}

TEST(TimerServiceTest, OneShotCallsOnceAndDisappears) {
  TimerService service;
  RecordingListener listener;
  service.startTimer(&listener, 7, 20, false);
  EXPECT_TRUE(service.hasTimer(7));

  ASSERT_TRUE(joinsEventually(service, 1));
  EXPECT_FALSE(service.hasTimer(7));
  EXPECT_EQ(listener.ids(), std::vector<int>{7});
}

TEST(TimerServiceTest, RepeatingCallsUntilCancelled) {
  TimerService service;
  RecordingListener listener;
  service.startTimer(&listener, 3, 20, true);
  ASSERT_TRUE(listener.waitForCalls(3));

  service.cancelTimer(3);
  ASSERT_TRUE(joinsEventually(service, 1));
  EXPECT_FALSE(service.hasTimer(3));
  int calls = listener.calls();
  EXPECT_EQ(listener.ids(), std::vector<int>(calls, 3));
}

// Repeated cancels and unknown ids are harmless.
TEST(TimerServiceTest, CancelDuringTheWaitEndsItAtOnce) {
  TimerService service;
  RecordingListener listener;
  auto started = std::chrono::steady_clock::now();
  service.cancelTimer(99);
  service.startTimer(&listener, 1, 60000, true);
  service.cancelTimer(1);
  service.cancelTimer(1);
  service.cancelTimer(99);

  ASSERT_TRUE(joinsEventually(service, 1));
  service.cancelTimer(1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_FALSE(service.hasTimer(1));
  EXPECT_FALSE(service.hasTimer(99));
  EXPECT_EQ(listener.calls(), 0);
}

TEST(TimerServiceTest, ReplacementStopsTheOldTimerAndStaysCancellable) {
  TimerService service;
  RecordingListener oldListener;
  RecordingListener newListener;
  service.startTimer(&oldListener, 1, 20, true);
  ASSERT_TRUE(oldListener.waitForCalls(1));

  service.startTimer(&newListener, 1, 20, true);
  // Only the old thread has ended; as it ended it must have left the new entry alone.
  ASSERT_TRUE(joinsEventually(service, 1));
  int oldCalls = oldListener.calls();
  EXPECT_TRUE(service.hasTimer(1));
  int newCalls = newListener.calls();
  ASSERT_TRUE(newListener.waitForCalls(newCalls + 2));
  EXPECT_EQ(oldListener.calls(), oldCalls);

  service.cancelTimer(1);
  ASSERT_TRUE(joinsEventually(service, 1));
  EXPECT_FALSE(service.hasTimer(1));
}

TEST(TimerServiceTest, CancelFromInsideTheCallbackEndsTheTimer) {
  TimerService service;
  RecordingListener listener;
  listener.hook = [&service](int id) { service.cancelTimer(id); };
  service.startTimer(&listener, 4, 20, true);

  ASSERT_TRUE(joinsEventually(service, 1));
  EXPECT_EQ(listener.calls(), 1);
  EXPECT_FALSE(service.hasTimer(4));
}

// The server cancels with its own lock held while the timer thread waits for that lock inside
// onTimer: the cancel must return without waiting for the thread, and the call then finishes.
TEST(TimerServiceTest, CancelWhileTheCallbackWaitsForTheCallersLock) {
  TimerService service;
  RecordingListener listener;
  std::mutex serverLock;
  listener.hook = [&serverLock](int) { std::lock_guard<std::mutex> guard(serverLock); };

  {
    std::lock_guard<std::mutex> guard(serverLock);
    service.startTimer(&listener, 1, 20, true);
    ASSERT_TRUE(listener.waitForCalls(1));
    service.cancelTimer(1);
  }
  ASSERT_TRUE(joinsEventually(service, 1));
  EXPECT_EQ(listener.calls(), 1);
  EXPECT_FALSE(service.hasTimer(1));
}

TEST(TimerServiceTest, DestructorStopsAndJoinsRunningTimers) {
  RecordingListener listener;
  std::atomic<int> inCall{0};
  listener.hook = [&inCall](int) {
    ++inCall;
    std::this_thread::sleep_for(5ms);
    --inCall;
  };
  auto service = std::make_unique<TimerService>();
  service->startTimer(&listener, 1, 20, true);
  service->startTimer(&listener, 2, 60000, true);
  // A replaced timer's thread must be joined too.
  service->startTimer(&listener, 2, 60000, false);
  ASSERT_TRUE(listener.waitForCalls(2));

  service.reset();
  EXPECT_EQ(inCall.load(), 0);
  EXPECT_EQ(listener.ids(), std::vector<int>(listener.calls(), 1));
}

}  // namespace
}  // namespace quorvane
