// CNVREventReceiver: the alarm channel of a network video recorder.
//
// Created by QRNET_ClientNVRConnectAlarm and stopped by
// QRNET_ClientNVRDisConnectAlarm; the handle table owns it in between. Its
// thread connects to the recorder's alarm port, performs the "qr_transmit"
// handshake and turns every "chan=C&type=T&" report into a status callback
// (receiver handle, 7, (T & 0xFF) << 8 | (C & 0xFF), caller's context). No
// window message is posted for these reports; without a status callback they
// are dropped. Broken connections and refused handshakes lead to reconnects
// after the reconnect pause of the wait-time settings until the receiver is
// stopped; only a host that cannot be resolved ends the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "api/handle_table.h"
#include "net/quorsock.h"
#include "qrplat/thread.h"

namespace quornet {

class CNVREventReceiver : public CHandleObject, public qrplat::JThread {
 public:
  static constexpr size_t kMaxHostLength = 126;

  // `host` must be at most kMaxHostLength bytes (the caller checks).
  CNVREventReceiver(const char* host, int32_t port, int32_t context);
  ~CNVREventReceiver() override;  // Stop()

  // The handle reported as the first callback argument; set before the
  // thread starts.
  void SetHandle(uint32_t handle) { handle_ = handle; }
  // Sets the stop flag, closes the current connection and waits for the
  // thread. Idempotent; never call it on the receiver's own thread.
  void Stop();
  // Reports read so far, delivered or dropped (for tests: the point after
  // which a report has been dealt with).
  uint64_t reports_read() const { return reports_read_.load(); }

 protected:
  int32_t Thread() override;

 private:
  // Sleeps `ms` in steps of 100 ms, returning early when stopped. False when
  // the stop flag is set.
  bool Pause(uint32_t ms);
  // Reports one received text when it is a report.
  void Report(std::string_view text);

  char host_[kMaxHostLength + 1] = {};
  const int32_t port_;
  const int32_t context_;
  uint32_t handle_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> reports_read_{0};

  // The connection of the current attempt. Created and used by the thread;
  // Stop closes it from the stopping thread to end a blocked call.
  std::mutex sock_mutex_;
  CQuorsock* sock_ = nullptr;  // guarded by sock_mutex_ (the pointer, not the calls)
};

}  // namespace quornet
