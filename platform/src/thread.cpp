// JThread, Event, ticks, local time and the debug sink.
#include "qrplat/thread.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace qrplat {

namespace {

using Clock = std::chrono::steady_clock;

// The deadline of a wait of `timeout_ms`; kInfinite gives no deadline.
struct Deadline {
  explicit Deadline(uint32_t timeout_ms)
      : infinite(timeout_ms == kInfinite),
        at(Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms)) {}
  bool infinite;
  Clock::time_point at;
};

// Waits on `cv` until `pred` holds or the deadline passes; returns pred().
template <typename Lock, typename Pred>
bool WaitUntil(std::condition_variable& cv, Lock& lock, const Deadline& d, Pred pred) {
  if (d.infinite) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_until(lock, d.at, pred);
}

}  // namespace

// ---------------------------------------------------------------------------
// JThread

JThread::~JThread() {
  std::thread t;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_) {
      DebugOutput("JThread: destroyed while its thread still runs; joining it\n");
    }
    t = std::move(thread_);
  }
  if (!t.joinable()) return;
  if (t.get_id() == std::this_thread::get_id()) {
    // The body destroys its own object: it cannot join itself.
    t.detach();
    return;
  }
  t.join();
}

int JThread::Start() {
  std::thread previous;
  std::unique_lock<std::mutex> lock(mutex_);
  if (running_) return -1;
  // A body that returned but was never joined: join it before reusing.
  previous = std::move(thread_);
  if (previous.joinable()) {
    if (previous.get_id() == std::this_thread::get_id()) {
      previous.detach();  // restarted from its own (finished) body
    } else {
      previous.join();  // the body has returned; this is quick
    }
  }
  started_ = false;
  running_ = true;
  exit_value_ = 0;
  try {
    thread_ = std::thread(&JThread::Trampoline, this);
  } catch (const std::system_error&) {
    running_ = false;
    return -1;
  }
  // The started hand-shake: return only once the body was entered.
  cv_.wait(lock, [this] { return started_; });
  return 0;
}

void JThread::Trampoline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    cv_.notify_all();
  }
  int32_t value = Thread();
  std::lock_guard<std::mutex> lock(mutex_);
  exit_value_ = value;
  running_ = false;
  cv_.notify_all();
  // Nothing touches the object after this lock is released.
}

bool JThread::IsRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int32_t JThread::Wait() {
  WaitFor(kInfinite);
  return ExitValue();
}

bool JThread::WaitFor(uint32_t timeout_ms) {
  std::thread t;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
      DebugOutput("JThread: a thread cannot wait for itself\n");
      return false;
    }
    if (!WaitUntil(cv_, lock, Deadline(timeout_ms), [this] { return !running_; })) {
      return false;
    }
    t = std::move(thread_);
  }
  // The body has returned; the join only reaps the thread. A second caller
  // finds thread_ empty and returns at once.
  if (t.joinable()) t.join();
  return true;
}

int32_t JThread::ExitValue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exit_value_;
}

// ---------------------------------------------------------------------------
// Event
//
// Lock order: an event's mutex_ may be held while taking a Waiter's mutex
// (Set notifies its registered waiters), never the other way round. WaitAny
// registers its Waiter with each event under that event's mutex and sleeps
// on the Waiter's own condition variable without holding any event mutex, so
// a Set that happens between its check of an event and its sleep marks the
// Waiter as signalled and is never lost.

struct Event::Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;  // guarded by mutex
};

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

Event::~Event() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waiters_.empty()) {
    DebugOutput("Event: destroyed while %zu WaitAny callers wait on it\n", waiters_.size());
  }
}

void Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  cv_.notify_all();
  for (Waiter* w : waiters_) {
    std::lock_guard<std::mutex> wlock(w->mutex);
    w->signalled = true;
    w->cv.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::TryConsumeLocked() {
  if (!set_) return false;
  if (!manual_reset_) set_ = false;
  return true;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Each waiter re-checks set_ under the lock, so an auto-reset event is
  // consumed by exactly one of the threads woken by notify_all.
  if (!WaitUntil(cv_, lock, Deadline(timeout_ms), [this] { return set_; })) return false;
  TryConsumeLocked();
  return true;
}

int Event::WaitAny(std::initializer_list<Event*> events, uint32_t timeout_ms) {
  const Deadline deadline(timeout_ms);
  Waiter waiter;
  std::vector<Event*> registered;
  registered.reserve(events.size());

  auto unregister = [&] {
    for (Event* e : registered) {
      std::lock_guard<std::mutex> lock(e->mutex_);
      auto& v = e->waiters_;
      v.erase(std::remove(v.begin(), v.end(), &waiter), v.end());
    }
  };

  for (;;) {
    {
      // Clear before the scan: any Set after the scan looks at an event sets
      // it again, so nothing is missed.
      std::lock_guard<std::mutex> wlock(waiter.mutex);
      waiter.signalled = false;
    }
    int hit = -1;
    int index = 0;
    for (Event* e : events) {
      if (e != nullptr) {
        std::lock_guard<std::mutex> lock(e->mutex_);
        if (e->TryConsumeLocked()) {
          hit = index;
          break;
        }
        if (std::find(registered.begin(), registered.end(), e) == registered.end()) {
          e->waiters_.push_back(&waiter);
          registered.push_back(e);
        }
      }
      ++index;
    }
    if (hit >= 0) {
      unregister();
      return hit;
    }
    std::unique_lock<std::mutex> wlock(waiter.mutex);
    if (!WaitUntil(waiter.cv, wlock, deadline, [&] { return waiter.signalled; })) {
      wlock.unlock();
      // One last look: an event set right at the deadline still counts.
      int last = 0;
      for (Event* e : events) {
        if (e != nullptr) {
          std::lock_guard<std::mutex> lock(e->mutex_);
          if (e->TryConsumeLocked()) break;
        }
        ++last;
      }
      unregister();
      return last < static_cast<int>(events.size()) ? last : -1;
    }
  }
}

// ---------------------------------------------------------------------------
// Time and debug output

uint32_t TickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // wraps like GetTickCount
}

LocalTime GetLocalTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  tm t{};
  localtime_r(&secs, &t);
  LocalTime lt;
  lt.year = t.tm_year + 1900;
  lt.month = t.tm_mon + 1;
  lt.day = t.tm_mday;
  lt.day_of_week = t.tm_wday;
  lt.hour = t.tm_hour;
  lt.minute = t.tm_min;
  lt.second = t.tm_sec;
  lt.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return lt;
}

void SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void DebugOutput(const char* format, ...) {
  const char* flag = std::getenv("QRNET_DEBUG");
  if (flag == nullptr) return;
  char small[512];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  std::string text;
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, size_t(n));
  } else {
    text.resize(size_t(n) + 1);
    va_start(ap, format);
    std::vsnprintf(text.data(), text.size(), format, ap);
    va_end(ap);
    text.resize(size_t(n));
  }
  // One write per call so lines from different threads do not interleave.
  static std::mutex out_mutex;
  std::lock_guard<std::mutex> lock(out_mutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qrplat
