// For tests that follow clients' link states: a status callback keeping every
// link-state report (kind 1) per client, and a wait with a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quornet::test {

namespace link_state_log_detail {
inline std::mutex mutex;
inline std::map<uint32_t, std::vector<int>> states;  // guarded by mutex
}  // namespace link_state_log_detail

// A status callback for QRNET_Startup.
inline void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  std::lock_guard<std::mutex> lock(link_state_log_detail::mutex);
  if (kind == 1) link_state_log_detail::states[handle].push_back(value);
}

// The link states reported for a client so far, in order.
inline std::vector<int> LinkStates(uint32_t handle) {
  std::lock_guard<std::mutex> lock(link_state_log_detail::mutex);
  return link_state_log_detail::states[handle];
}

// Polls `pred` every 20 ms until it holds or `limit` passed.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

}  // namespace quornet::test
