// JThread hand-shake and lifetime, Event semantics, ticks and debug output.
#include "qrplat/thread.h"

#include <time.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace qrplat {
namespace {

using testutil::ScopedEnv;
using testutil::StderrCapture;

// A JThread running a callable; the callable must not touch the object.
class FnThread : public JThread {
 public:
  explicit FnThread(std::function<int32_t()> fn) : fn_(std::move(fn)) {}
  ~FnThread() override { Wait(); }

 protected:
  int32_t Thread() override { return fn_(); }

 private:
  std::function<int32_t()> fn_;
};

uint32_t Elapsed(uint32_t since) {
  return TickCount() - since;
}

// --- Event -----------------------------------------------------------------

TEST(Event, ManualResetStaysSetForEveryWaitUntilReset) {
  Event e(/*manual_reset=*/true, /*initially_set=*/false);
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.IsSet());
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(10));
}

TEST(Event, AutoResetIsConsumedByOneSuccessfulWait) {
  Event e(/*manual_reset=*/false, /*initially_set=*/true);
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  e.Set();  // setting a set event does not count twice
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
}

TEST(Event, WaitTimesOutAfterTheTimeout) {
  Event e(false, false);
  uint32_t t0 = TickCount();
  EXPECT_FALSE(e.Wait(60));
  uint32_t took = Elapsed(t0);
  EXPECT_GE(took, 55u);
  EXPECT_LT(took, 2000u);
}

TEST(Event, InfiniteWaitWakesOnSetFromAnotherThread) {
  for (bool manual : {true, false}) {
    Event e(manual, false);
    std::thread setter([&] {
      SleepMs(30);
      e.Set();
    });
    EXPECT_TRUE(e.Wait(kInfinite));
    EXPECT_EQ(e.IsSet(), manual);
    setter.join();
  }
}

TEST(Event, AutoResetSetReleasesExactlyOneOfSeveralWaiters) {
  Event e(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(10000)) ++released;
    });
  }
  SleepMs(20);  // most of them block by now; a late one finds the event clear
  auto wait_released = [&](int n) {
    uint32_t t0 = TickCount();
    while (released.load() < n && Elapsed(t0) < 5000) SleepMs(1);
    return released.load();
  };
  for (int n = 1; n <= 4; ++n) {
    e.Set();
    ASSERT_EQ(wait_released(n), n);
    SleepMs(20);  // no second waiter slips through on the same Set
    EXPECT_EQ(released.load(), n);
    EXPECT_FALSE(e.IsSet());
  }
  for (auto& t : waiters) t.join();
}

TEST(Event, WaitAnyReturnsTheSetEventAndConsumesOnlyAutoReset) {
  Event a(false, false), b(true, false), c(false, false);
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), -1);

  c.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 2);
  EXPECT_FALSE(c.IsSet());  // auto reset: consumed

  b.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 1);
  EXPECT_TRUE(b.IsSet());  // manual reset: stays set
  b.Reset();

  // Several set: the lowest index wins and only it is consumed.
  a.Set();
  c.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 100), 0);
  EXPECT_FALSE(a.IsSet());
  EXPECT_TRUE(c.IsSet());
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 100), 2);
  EXPECT_FALSE(c.IsSet());

  // Two events work as well as three.
  b.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b}, 0), 1);
}

TEST(Event, WaitAnyTimesOut) {
  Event a(false, false), b(true, false);
  uint32_t t0 = TickCount();
  EXPECT_EQ(Event::WaitAny({&a, &b}, 60), -1);
  uint32_t took = Elapsed(t0);
  EXPECT_GE(took, 55u);
  EXPECT_LT(took, 2000u);
}

TEST(Event, WaitAnyWakesOnSetFromAnotherThread) {
  Event a(false, false), b(false, false), c(true, false);
  std::thread setter([&] {
    SleepMs(30);
    b.Set();
  });
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, kInfinite), 1);
  EXPECT_FALSE(b.IsSet());
  setter.join();
}

// Two threads hand a token back and forth many times through auto-reset
// events; a lost wake-up shows as a time-out.
TEST(Event, PingPongThroughWaitAnyLosesNoWakeUp) {
  Event ping(false, false), pong(false, false), stop(true, false), idle(false, false);
  constexpr int kRounds = 3000;
  std::atomic<int> failures{0};
  std::thread peer([&] {
    for (;;) {
      int r = Event::WaitAny({&stop, &ping, &idle}, 5000);
      if (r == 0) return;
      if (r != 1) {
        ++failures;
        return;
      }
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    if (!pong.Wait(5000)) {
      ++failures;
      break;
    }
  }
  stop.Set();
  peer.join();
  EXPECT_EQ(failures.load(), 0);
}

// Many setters and many WaitAny / Wait callers on shared auto-reset events:
// every Set that finds the event clear is consumed exactly once.
TEST(Event, AutoResetTokensAreNeitherLostNorDuplicated) {
  Event a(false, false), b(false, false);
  std::atomic<int> consumed{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> consumers;
  for (int i = 0; i < 3; ++i) {
    consumers.emplace_back([&, i] {
      while (!done.load()) {
        bool got = (i == 0) ? a.Wait(5) : Event::WaitAny({&a, &b}, 5) >= 0;
        if (got) ++consumed;
      }
    });
  }
  int produced = 0;
  for (int i = 0; i < 500; ++i) {
    Event& e = (i % 2) ? a : b;
    // Set only a clear event, so that each Set is one token.
    while (e.IsSet()) std::this_thread::yield();
    e.Set();
    ++produced;
  }
  uint32_t t0 = TickCount();
  while ((a.IsSet() || b.IsSet()) && Elapsed(t0) < 5000) SleepMs(1);
  done = true;
  for (auto& t : consumers) t.join();
  EXPECT_EQ(consumed.load(), produced);
}

// --- JThread ---------------------------------------------------------------

TEST(JThread, StartReturnsWhileTheBodyRunsAndIsRunningTracksIt) {
  Event release(true, false);
  Event entered(true, false);
  FnThread t([&] {
    entered.Set();
    release.Wait(kInfinite);
    return 5;
  });
  EXPECT_FALSE(t.IsRunning());
  ASSERT_EQ(t.Start(), 0);
  EXPECT_TRUE(t.IsRunning());  // from the hand-shake on, without a race
  EXPECT_TRUE(entered.Wait(5000));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.WaitFor(30));
  release.Set();
  EXPECT_TRUE(t.WaitFor(5000));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ExitValue(), 5);
}

TEST(JThread, StartHandShakeCompletesWhenTheBodyReturnsAtOnce) {
  for (int i = 0; i < 200; ++i) {
    FnThread t([i] { return i; });
    ASSERT_EQ(t.Start(), 0);
    EXPECT_EQ(t.Wait(), i);
  }
}

TEST(JThread, StartedBodyRunsOnAnotherThread) {
  std::atomic<std::thread::id> body_id{};
  FnThread t([&] {
    body_id = std::this_thread::get_id();
    return 0;
  });
  ASSERT_EQ(t.Start(), 0);
  t.Wait();
  EXPECT_NE(body_id.load(), std::thread::id());
  EXPECT_NE(body_id.load(), std::this_thread::get_id());
}

TEST(JThread, WaitJoinsAndReturnsTheExitValueRepeatedly) {
  FnThread never([] { return 1; });
  EXPECT_EQ(never.Wait(), 0);  // never started: returns at once
  EXPECT_TRUE(never.WaitFor(0));

  FnThread t([] {
    SleepMs(30);
    return -77;
  });
  ASSERT_EQ(t.Start(), 0);
  EXPECT_EQ(t.Wait(), -77);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ExitValue(), -77);
  EXPECT_EQ(t.Wait(), -77);  // joined already: safe
}

TEST(JThread, StartTwiceFailsWhileRunningAndRestartsAfterWait) {
  Event release(false, false);
  std::atomic<int> runs{0};
  FnThread t([&] {
    int n = ++runs;
    release.Wait(kInfinite);
    return n * 10;
  });
  ASSERT_EQ(t.Start(), 0);
  EXPECT_EQ(t.Start(), -1);
  release.Set();
  EXPECT_EQ(t.Wait(), 10);
  ASSERT_EQ(t.Start(), 0);
  release.Set();
  EXPECT_EQ(t.Wait(), 20);
  EXPECT_EQ(runs.load(), 2);
}

TEST(JThread, ConcurrentWaitersAllSeeTheEnd) {
  Event release(true, false);
  FnThread t([&] {
    release.Wait(kInfinite);
    return 3;
  });
  ASSERT_EQ(t.Start(), 0);
  std::atomic<int> sum{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) waiters.emplace_back([&] { sum += t.Wait(); });
  SleepMs(20);
  release.Set();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(sum.load(), 12);
}

std::atomic<bool> g_body_finished{false};
Event g_body_entered(true, false);

// The body touches no member once entered, so letting the base destructor
// join it is safe. (Destroying the object before the virtual call of the
// body happened is not: that is why owners stop and wait in their own
// destructors.)
class SleepyThread : public JThread {
 protected:
  int32_t Thread() override {
    g_body_entered.Set();
    SleepMs(100);
    g_body_finished = true;
    return 0;
  }
};

TEST(JThread, DestructorJoinsARunningThreadAfterADebugLine) {
  ScopedEnv debug("QRNET_DEBUG", "1");
  StderrCapture err;
  g_body_finished = false;
  g_body_entered.Reset();
  {
    SleepyThread t;
    ASSERT_EQ(t.Start(), 0);
    ASSERT_TRUE(g_body_entered.Wait(5000));
  }  // never killed: the destructor waits for the body
  EXPECT_TRUE(g_body_finished.load());
  EXPECT_NE(err.Text().find("JThread"), std::string::npos);
}

// --- Time and debug output -------------------------------------------------

TEST(Time, TickCountIsMonotonicMilliseconds) {
  uint32_t t0 = TickCount();
  SleepMs(50);
  uint32_t d = TickCount() - t0;
  EXPECT_GE(d, 50u);
  EXPECT_LT(d, 2000u);
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint32_t expect = uint32_t(uint64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
  EXPECT_LE(uint32_t(TickCount() - expect), 100u);
}

TEST(Time, GetLocalTimeMatchesTheLocalCalendar) {
  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  LocalTime lt = GetLocalTime();
  EXPECT_EQ(lt.year, t.tm_year + 1900);
  EXPECT_EQ(lt.month, t.tm_mon + 1);
  EXPECT_EQ(lt.day, t.tm_mday);
  EXPECT_EQ(lt.day_of_week, t.tm_wday);
  EXPECT_EQ(lt.hour, t.tm_hour);
  EXPECT_GE(lt.millisecond, 0);
  EXPECT_LT(lt.millisecond, 1000);
  int secs_now = t.tm_min * 60 + t.tm_sec;
  int secs_lt = lt.minute * 60 + lt.second;
  EXPECT_LE(std::abs(secs_lt - secs_now), 2);
}

TEST(DebugOutput, WritesToStderrOnlyWhenQrnetDebugIsSet) {
  {
    ScopedEnv debug("QRNET_DEBUG", nullptr);
    StderrCapture err;
    DebugOutput("silent %d\n", 1);
    EXPECT_EQ(err.Text(), "");
  }
  {
    ScopedEnv debug("QRNET_DEBUG", "1");
    StderrCapture err;
    DebugOutput("loud %d %s\n", 2, "x");
    std::string long_text(2000, 'y');
    DebugOutput("%s", long_text.c_str());
    EXPECT_EQ(err.Text(), "loud 2 x\n" + long_text);
  }
}

}  // namespace
}  // namespace qrplat
