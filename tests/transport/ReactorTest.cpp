// The event loops: where handlers are placed, what wakes a waiting loop, that no call reaches a
// handler once it is removed (also from another thread while the loop calls it), output sent by
// the loop's own thread, posted tasks, and stopping. Timed wake-ups are tried through
// ClientConnection's deadlines, waits and linger.
// Guards against calls reaching a removed handler, loops that do not wake, and output sent from the
// wrong thread.
#include "transport/Reactor.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/LoopbackPair.h"
#include "support/WaitFor.h"
#include "transport/ReactorPool.h"

namespace quorvane {
namespace {

using test::LoopbackPair;
using test::waitFor;
using Section = ReactorPool::Section;

// A handler over one end of a loopback pair that counts its calls.
class CountingHandler : public EventHandler {
 public:
  explicit CountingHandler(SocketHandle handle) : handle_(handle) {}
  SocketHandle handle() const override { return handle_; }
  bool readInput() override {
    char buffer[256];
    ::recv(sys::native(handle_), buffer, sizeof buffer, 0);
    if (onRead) onRead();
    ++reads;
    return true;
  }
  void deliverInput() override {}
  void handleTimeout() override {}
  void takeOutput() override { taken = pending.exchange(0); }
  bool sendTaken() override {
    if (onSend) onSend();
    sent += taken;
    return moreThanTheSocketTakes;
  }
  bool handleWrite() override {
    ++writes;
    return false;
  }

  std::atomic<int> reads{0}, writes{0}, pending{0}, sent{0};
  int taken = 0;
  bool moreThanTheSocketTakes = false;
  std::function<void()> onRead;
  std::function<void()> onSend;

 private:
  SocketHandle handle_;
};

struct Handlers {
  explicit Handlers(int count) {
    for (int i = 0; i < count; ++i) {
      pairs.push_back(std::make_unique<LoopbackPair>());
      handlers.push_back(std::make_unique<CountingHandler>(pairs.back()->b()));
    }
  }
  void adopt(ReactorPool& pool, int from, int to) {
    Section section(pool);
    for (int i = from; i < to; ++i) {
      pool.adopt(handlers[i].get());
      handlers[i]->reactor()->setReadInterest(handlers[i].get(), true);
    }
  }
  bool served(int i) {
    LoopbackPair::writeAll(pairs[i]->a(), "x");
    return waitFor([&] { return handlers[i]->reads > 0; });
  }
  std::vector<std::unique_ptr<LoopbackPair>> pairs;
  std::vector<std::unique_ptr<CountingHandler>> handlers;
};

// Each loop serves at most kLoadLimit sockets; room freed on a full loop is used before another
// starts.
TEST(ReactorTest, HandlersFillEachLoopBeforeAnotherStarts) {
  constexpr int kFull = static_cast<int>(Reactor::kLoadLimit);
  ReactorPool pool;
  Handlers set(2 * kFull + 2);
  set.adopt(pool, 0, kFull);
  EXPECT_EQ(pool.reactorCount(), 1u);
  set.adopt(pool, kFull, 2 * kFull);
  EXPECT_EQ(pool.reactorCount(), 2u);
  {
    Section section(pool);
    pool.remove(set.handlers[10].get());
  }
  set.adopt(pool, 2 * kFull, 2 * kFull + 1);
  EXPECT_EQ(set.handlers[2 * kFull]->reactor(), set.handlers[0]->reactor());
  set.adopt(pool, 2 * kFull + 1, 2 * kFull + 2);
  EXPECT_EQ(pool.reactorCount(), 3u);
  for (int i : {0, kFull - 1, kFull, 2 * kFull, 2 * kFull + 1}) EXPECT_TRUE(set.served(i)) << i;
  pool.stopAll();
}

// A change made by another thread ends a loop's wait; a removed handler is not called again,
// not even later in the pass that removed it; what a section puts off runs when it ends.
TEST(ReactorTest, ChangesWakeTheLoopAndRemovedHandlersAreNotCalled) {
  ReactorPool pool;
  Handlers set(2);
  set.adopt(pool, 0, 1);
  // The loop now waits on the first socket only; the second is readable before it is added.
  LoopbackPair::writeAll(set.pairs[1]->a(), "x");
  set.adopt(pool, 1, 2);
  ASSERT_TRUE(waitFor([&] { return set.handlers[1]->reads > 0; }));

  CountingHandler* low = set.handlers[0].get();
  CountingHandler* high = set.handlers[1].get();
  if (low->handle() > high->handle()) std::swap(low, high);
  std::atomic<bool> released{false}, releasedDuringCall{false};
  low->onRead = [&] {
    Section section(pool);
    pool.remove(high);
    pool.releaseAfterSection([&] { released = true; });
    releasedDuringCall = released.load();
  };
  const int highReads = high->reads;
  {
    // Both are readable before the loop looks again.
    Section section(pool);
    LoopbackPair::writeAll(set.pairs[0]->a(), "x");
    LoopbackPair::writeAll(set.pairs[1]->a(), "x");
  }
  EXPECT_TRUE(waitFor([&] { return released.load(); }));
  pool.stopAll();
  EXPECT_FALSE(releasedDuringCall);
  EXPECT_EQ(high->reads, highReads);
}

// Removing a handler from another thread waits while the loop is calling it, so the handler can
// be destroyed as soon as the removal returns.
TEST(ReactorTest, RemovalFromAnotherThreadWaitsForTheCallInProgress) {
  ReactorPool pool;
  Handlers set(1);
  std::atomic<bool> inCall{false}, release{false};
  set.handlers[0]->onRead = [&] {
    inCall = true;
    while (!release) std::this_thread::yield();
    inCall = false;
  };
  set.adopt(pool, 0, 1);
  LoopbackPair::writeAll(set.pairs[0]->a(), "x");
  ASSERT_TRUE(waitFor([&] { return inCall.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release = true;
  });
  {
    Section section(pool);
    pool.remove(set.handlers[0].get());
    EXPECT_FALSE(inCall);
  }
  releaser.join();
  pool.stopAll();
}

// Output queued by another thread is taken with the lock and sent by the loop; a handler whose
// socket is full is called again when it is writable. A posted task runs on a loop with the lock
// held; cancelled ones never run. Stopping sends what is queued once more, and the pool can start
// again after stopAll.
TEST(ReactorTest, OutputAndPostedTasksRunOnTheLoopAndThePoolRestarts) {
  ReactorPool pool;
  Handlers set(1);
  CountingHandler& handler = *set.handlers[0];
  set.adopt(pool, 0, 1);
  handler.moreThanTheSocketTakes = true;
  std::atomic<int> ran{0};
  std::atomic<bool> locked{false};
  int owner = 0, other = 0;
  {
    Section section(pool);
    handler.pending = 3;
    handler.reactor()->queueOutput(&handler);
    pool.post(&other, [&] { ran += 100; });
    pool.cancelPosts(&other);
  }
  pool.post(&owner, [&] {
    locked = pool.locked();
    ++ran;
  });
  EXPECT_TRUE(waitFor([&] { return handler.sent == 3 && handler.writes > 0 && ran > 0; }));
  EXPECT_EQ(ran, 1);
  EXPECT_TRUE(locked);
  {
    Section section(pool);
    handler.pending = 4;
    handler.reactor()->queueOutput(&handler);
    handler.reactor()->stop();
  }
  pool.stopAll();
  EXPECT_EQ(handler.sent, 7);
  set.adopt(pool, 0, 1);
  EXPECT_TRUE(set.served(0));
  pool.stopAll();
}

// Two stops at once (a stop that comes while the server starts): the one that finds the loops
// running waits for them, and the other destroys none of them meanwhile (the sanitizer builds
// catch a loop destroyed under its thread).
TEST(ReactorTest, TwoStopsAtOnceDestroyNoLoopThatStillRuns) {
  ReactorPool pool;
  Handlers set(1);
  CountingHandler& handler = *set.handlers[0];
  set.adopt(pool, 0, 1);
  std::atomic<bool> sending{false};
  handler.onSend = [&] {
    sending = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  {
    Section section(pool);
    handler.pending = 2;
    handler.reactor()->queueOutput(&handler);
  }
  ASSERT_TRUE(waitFor([&] { return sending.load(); }));
  std::thread first([&] { pool.stopAll(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pool.stopAll();
  first.join();
  EXPECT_EQ(handler.sent, 2);
}

// The pass task runs on a loop, lock held, after the loop served what woke it; once cleared it is
// not called again.
TEST(ReactorTest, PassTaskRunsEachPassUntilCleared) {
  ReactorPool pool;
  Handlers set(1);
  set.adopt(pool, 0, 1);
  std::atomic<int> passes{0};
  std::atomic<bool> locked{false};
  std::atomic<int> readsSeen{-1};
  {
    Section section(pool);
    pool.setPassTask([&] {
      locked = pool.locked();
      readsSeen = set.handlers[0]->reads.load();
      ++passes;
    });
  }
  EXPECT_TRUE(set.served(0));
  EXPECT_TRUE(waitFor([&] { return readsSeen > 0; }));
  EXPECT_TRUE(locked);
  int after = 0;
  {
    Section section(pool);
    pool.setPassTask(nullptr);
    after = passes;
  }
  LoopbackPair::writeAll(set.pairs[0]->a(), "y");
  EXPECT_TRUE(waitFor([&] { return set.handlers[0]->reads > 1; }));
  EXPECT_EQ(passes, after);
  pool.stopAll();
}

#ifndef _WIN32
// A handler removed and another added in one section, on a descriptor number that now names
// another socket, is served: the loop must not take the number for the socket it watched before.
TEST(ReactorTest, ANewSocketOnAReusedDescriptorIsServed) {
  ReactorPool pool;
  Handlers set(1);
  set.adopt(pool, 0, 1);
  ASSERT_TRUE(set.served(0));
  LoopbackPair next;
  const SocketHandle reused = set.pairs[0]->b();
  CountingHandler replacement(reused);
  {
    Section section(pool);
    pool.remove(set.handlers[0].get());
    // The number now names the new pair's end; the old socket is gone.
    ASSERT_EQ(::dup2(sys::native(next.b()), sys::native(reused)), sys::native(reused));
    pool.adopt(&replacement);
    replacement.reactor()->setReadInterest(&replacement, true);
  }
  LoopbackPair::writeAll(next.a(), "x");
  EXPECT_TRUE(waitFor([&] { return replacement.reads > 0; }));
  pool.stopAll();
}

// A handler added on a descriptor that is already closed is called, so that it sees the failure
// instead of waiting for ever.
TEST(ReactorTest, AHandlerOnAClosedDescriptorIsCalled) {
  ReactorPool pool;
  LoopbackPair pair;
  // A number far above those in use, so that no descriptor opened meanwhile takes it.
  const int number = ::fcntl(sys::native(pair.a()), F_DUPFD, 900);
  ASSERT_GE(number, 900);
  ::close(number);
  CountingHandler handler(static_cast<SocketHandle>(number));
  {
    Section section(pool);
    pool.adopt(&handler);
    handler.reactor()->setReadInterest(&handler, true);
  }
  EXPECT_TRUE(waitFor([&] { return handler.reads > 0; }));
  {
    Section section(pool);
    pool.remove(&handler);
  }
  pool.stopAll();
}

// At the descriptor limit a new loop cannot open its wait: the pool has no room and adopts
// nothing (the server then refuses the connection instead of leaving it unserved), and has room
// again once a descriptor is free.
TEST(ReactorTest, NoRoomWhenANewLoopCannotOpenItsWait) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  ReactorPool pool;
  LoopbackPair pair;
  CountingHandler handler(pair.b());
  {
    // The same steps once before the limit: the undefined-behaviour checker of the sanitizer
    // build checks each dynamic type once, with a pipe, which it cannot open at the limit.
    ReactorPool warm;
    Section section(warm);
    warm.adopt(&handler);
    warm.remove(&handler);
  }
  std::vector<int> taken;
  for (int fd; (fd = ::dup(sys::native(pair.a()))) >= 0;) taken.push_back(fd);
  {
    Section section(pool);
    EXPECT_FALSE(pool.hasRoom());
    pool.adopt(&handler);
    EXPECT_EQ(handler.reactor(), nullptr);
    EXPECT_EQ(pool.reactorCount(), 0u);
  }
  ::close(taken.back());
  taken.pop_back();
  {
    Section section(pool);
    EXPECT_TRUE(pool.hasRoom());
    EXPECT_EQ(pool.reactorCount(), 1u);
  }
  for (int fd : taken) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  pool.stopAll();
}
#endif

}  // namespace
}  // namespace quorvane
