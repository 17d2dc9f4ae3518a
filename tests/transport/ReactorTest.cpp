#include "transport/Reactor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "support/LoopbackPair.h"
#include "support/WaitFor.h"
#include "transport/ReactorPool.h"

namespace quorvane {
namespace {

using test::LoopbackPair;
using test::waitFor;

// A handler over one end of a loopback pair that counts its calls and answers with set results.
class CountingHandler : public EventHandler {
 public:
  explicit CountingHandler(SocketHandle handle) : handle_(handle) {}
  SocketHandle handle() const override { return handle_; }
  bool handleAccept() override {
    ++accepts;
    drain();
    return keepAccept;
  }
  bool handleInput() override {
    ++inputs;
    drain();
    if (onInput) onInput();
    return keepInput;
  }
  bool handleOutput() override {
    ++outputs;
    return keepOutput;
  }

  std::atomic<int> accepts{0}, inputs{0}, outputs{0};
  bool keepAccept = true, keepInput = true, keepOutput = true;
  std::function<void()> onInput;

 private:
  void drain() {
    char buffer[256];
    ::recv(sys::native(handle_), buffer, sizeof buffer, 0);
  }
  SocketHandle handle_;
};

TEST(ReactorTest, SixtySecondReadRegistrationStartsASecondReactor) {
  ReactorPool pool;
  std::vector<std::unique_ptr<LoopbackPair>> pairs;
  std::vector<std::unique_ptr<CountingHandler>> handlers;
  for (int i = 0; i < 63; ++i) {
    pairs.push_back(std::make_unique<LoopbackPair>());
    ASSERT_TRUE(pairs.back()->valid());
    handlers.push_back(std::make_unique<CountingHandler>(pairs.back()->b()));
  }
  for (int i = 0; i < 62; ++i) pool.registerHandler(handlers[i].get(), EventMask::Read);
  EXPECT_EQ(pool.reactorCount(), 1u);
  pool.registerHandler(handlers[0].get(), EventMask::Read);  // already there: nothing changes
  EXPECT_EQ(pool.reactorCount(), 1u);
  pool.registerHandler(handlers[62].get(), EventMask::Read);
  EXPECT_EQ(pool.reactorCount(), 2u);

  // Both loops serve their sockets.
  ASSERT_TRUE(LoopbackPair::writeAll(pairs[0]->a(), "x"));
  ASSERT_TRUE(LoopbackPair::writeAll(pairs[62]->a(), "x"));
  EXPECT_TRUE(waitFor([&] { return handlers[0]->inputs > 0 && handlers[62]->inputs > 0; }));
  pool.stopAll();
}

TEST(ReactorTest, RoomFreedOnAFullReactorIsTakenBeforeAnotherStarts) {
  ReactorPool pool;
  constexpr int kHandlers = 127;
  std::vector<std::unique_ptr<LoopbackPair>> pairs;
  std::vector<std::unique_ptr<CountingHandler>> handlers;
  for (int i = 0; i < kHandlers; ++i) {
    pairs.push_back(std::make_unique<LoopbackPair>());
    ASSERT_TRUE(pairs.back()->valid());
    handlers.push_back(std::make_unique<CountingHandler>(pairs.back()->b()));
  }
  // Two full reactors of 62.
  for (int i = 0; i < 124; ++i) pool.registerHandler(handlers[i].get(), EventMask::Read);
  ASSERT_EQ(pool.reactorCount(), 2u);

  // Room made by unregistering, on the first reactor, is taken by the next registration.
  pool.unregisterHandler(handlers[10].get(), EventMask::Read);
  EXPECT_FALSE(pool.isRegistered(handlers[10].get(), EventMask::Read));
  pool.registerHandler(handlers[124].get(), EventMask::Read);
  EXPECT_EQ(pool.reactorCount(), 2u);

  // So is room made by the loop itself when a handler asks to be dropped.
  handlers[20]->keepInput = false;
  ASSERT_TRUE(LoopbackPair::writeAll(pairs[20]->a(), "x"));
  ASSERT_TRUE(waitFor([&] { return !pool.isRegistered(handlers[20].get(), EventMask::Read); }));
  pool.registerHandler(handlers[125].get(), EventMask::Read);
  EXPECT_EQ(pool.reactorCount(), 2u);

  // Now both are full again.
  pool.registerHandler(handlers[126].get(), EventMask::Read);
  EXPECT_EQ(pool.reactorCount(), 3u);
  for (int i : {124, 125, 126, 123}) {
    EXPECT_TRUE(pool.isRegistered(handlers[i].get(), EventMask::Read)) << i;
    ASSERT_TRUE(LoopbackPair::writeAll(pairs[i]->a(), "x"));
    EXPECT_TRUE(waitFor([&] { return handlers[i]->inputs > 0; })) << i;
  }
  pool.stopAll();
}

TEST(ReactorTest, AcceptAndReadOnOneSocketIsServedAsAcceptOnly) {
  ReactorPool pool;
  LoopbackPair pair;
  CountingHandler handler(pair.b());
  pool.registerHandler(&handler, EventMask::Accept | EventMask::Read);
  ASSERT_TRUE(LoopbackPair::writeAll(pair.a(), "x"));
  ASSERT_TRUE(waitFor([&] { return handler.accepts > 0; }));
  pool.stopAll();
  EXPECT_EQ(handler.inputs, 0);
}

TEST(ReactorTest, FalseResultRemovesOnlyThatKind) {
  ReactorPool pool;
  LoopbackPair pair;
  CountingHandler handler(pair.b());
  handler.keepInput = false;
  handler.keepOutput = true;
  pool.registerHandler(&handler, EventMask::Read | EventMask::Write);
  ASSERT_TRUE(LoopbackPair::writeAll(pair.a(), "x"));
  ASSERT_TRUE(waitFor([&] { return handler.inputs > 0; }));
  EXPECT_TRUE(waitFor([&] { return !pool.isRegistered(&handler, EventMask::Read); }));
  EXPECT_TRUE(pool.isRegistered(&handler, EventMask::Write));
  pool.stopAll();
}

TEST(ReactorTest, RegistrationFromAnotherThreadWakesAWaitingLoop) {
  ReactorPool pool;
  LoopbackPair idle, busy;
  CountingHandler idleHandler(idle.b()), busyHandler(busy.b());
  pool.registerHandler(&idleHandler, EventMask::Read);
  // The loop now waits on the idle socket only; the busy one is readable before it is added.
  ASSERT_TRUE(LoopbackPair::writeAll(busy.a(), "x"));
  pool.registerHandler(&busyHandler, EventMask::Read);
  EXPECT_TRUE(waitFor([&] { return busyHandler.inputs > 0; }));
  pool.stopAll();
}

TEST(ReactorTest, StopAllEndsWaitingLoopsAndThePoolCanStartAgain) {
  ReactorPool pool;
  LoopbackPair pair;
  CountingHandler handler(pair.b());
  pool.registerHandler(&handler, EventMask::Read);
  pool.stopAll();  // returns only once the loop's thread has ended
  EXPECT_EQ(pool.reactorCount(), 0u);
  EXPECT_FALSE(pool.isRegistered(&handler, EventMask::Read));

  pool.registerHandler(&handler, EventMask::Read);
  ASSERT_TRUE(LoopbackPair::writeAll(pair.a(), "x"));
  EXPECT_TRUE(waitFor([&] { return handler.inputs > 0; }));
  pool.stopAll();
}

TEST(ReactorTest, HandlerRemovedEarlierInThePassIsNotCalled) {
  ReactorPool pool;
  LoopbackPair first, second;
  // Serve the lower handle first, whatever order the sockets were made in.
  bool swap = first.b() > second.b();
  CountingHandler low(swap ? second.b() : first.b());
  CountingHandler high(swap ? first.b() : second.b());
  std::atomic<bool> releasedDuringCall{false};
  std::atomic<bool> released{false};
  low.onInput = [&] {
    pool.unregisterHandler(&high, EventMask::All);
    ReactorPool::releaseAfterHandler([&] { released = true; });
    releasedDuringCall = released.load();
  };
  // Both sockets are readable before the loop's first wait.
  ASSERT_TRUE(LoopbackPair::writeAll(first.a(), "x"));
  ASSERT_TRUE(LoopbackPair::writeAll(second.a(), "x"));
  {
    std::lock_guard hold(pool.mutex());
    pool.registerHandler(&low, EventMask::Read);
    pool.registerHandler(&high, EventMask::Read);
  }
  ASSERT_TRUE(waitFor([&] { return low.inputs > 0; }));
  EXPECT_TRUE(waitFor([&] { return released.load(); }));
  pool.stopAll();
  EXPECT_FALSE(releasedDuringCall);
  EXPECT_EQ(high.inputs, 0);
}

TEST(ReactorTest, ReleaseOutsideAHandlerRunsAtOnce) {
  bool released = false;
  ReactorPool::releaseAfterHandler([&] { released = true; });
  EXPECT_TRUE(released);
}

}  // namespace
}  // namespace quorvane
