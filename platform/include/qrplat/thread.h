// Worker threads, events and time for every library of the project.
//
// Threading contract: every JThread has exactly one owner. The owner starts it,
// asks it to stop (its own flag, plus whatever wakes the body: an event, a
// closed socket, a stopped conduit) and then waits for it. Nothing here ever
// kills a thread: a thread that holds a lock when it is killed corrupts the
// process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

namespace qrplat {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Base class of every worker thread.
//
// Start() returns 0 once the new thread runs and has entered its body, -1 when
// it is already running or the thread could not be created. The body is
// Thread(); its result is the exit value. Wait() joins (without limit) and is
// safe to call when the thread never started or was already joined. The
// destructor joins a thread that is still running (after writing a debug line):
// derived classes must stop and Wait() in their own destructors, because the
// body runs virtual code of the derived object. (Start returns when the new
// thread is at the call of Thread(); destroying the object before that
// virtual call was made is a pure-virtual call, so never skip the Wait.)
class JThread {
 public:
  JThread() = default;
  virtual ~JThread();
  JThread(const JThread&) = delete;
  JThread& operator=(const JThread&) = delete;

  int Start();
  bool IsRunning() const;
  // Joins the thread; returns its exit value (0 when it never ran).
  int32_t Wait();
  // Waits up to timeout_ms for the body to return; true when it did (then the
  // thread is joined).
  bool WaitFor(uint32_t timeout_ms);
  int32_t ExitValue() const;

 protected:
  virtual int32_t Thread() = 0;

 private:
  void Trampoline();

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::thread thread_;      // guarded by mutex_ for Start/Wait races
  bool started_ = false;    // guarded by mutex_: the body was entered
  bool running_ = false;    // guarded by mutex_: the body has not returned
  int32_t exit_value_ = 0;  // guarded by mutex_
};

// A Win32-style event: manual reset (stays set until Reset) or auto reset
// (a successful wait clears it and releases exactly one waiter).
class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event was set within timeout_ms (kInfinite waits forever).
  bool Wait(uint32_t timeout_ms);

  // Waits until any of up to three events is set. Returns the index of the
  // event that satisfied the wait (the lowest index when several are set; an
  // auto-reset event is consumed), or -1 on time-out.
  static int WaitAny(std::initializer_list<Event*> events, uint32_t timeout_ms);

 private:
  struct Waiter;
  bool TryConsumeLocked();

  const bool manual_reset_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool set_;                      // guarded by mutex_
  std::vector<Waiter*> waiters_;  // guarded by mutex_: WaitAny callers
};

// Monotonic millisecond counter (wraps after about 49.7 days, like the
// counters the design was written for: compare with unsigned subtraction).
uint32_t TickCount();

// Local wall-clock time, broken down.
struct LocalTime {
  int year, month, day;  // month 1..12
  int day_of_week;       // 0 = Sunday
  int hour, minute, second, millisecond;
};
LocalTime GetLocalTime();

void SleepMs(uint32_t ms);

// Debugger output: written to standard error when QRNET_DEBUG is set in the
// environment, dropped otherwise. printf-style.
void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qrplat
