// The process-wide window registry.
#include "qrplat/window.h"

#include <mutex>
#include <unordered_map>

namespace qrplat {

int BytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::Rgb32:
      return 4;
    case PixelFormat::Rgb24:
      return 3;
    case PixelFormat::Rgb565:
    case PixelFormat::Rgb555:
      return 2;
  }
  return 4;
}

namespace {

// Ids start at kFirstId, so that a small number handed over by mistake (a
// client handle, a channel number) is not taken for a window, and stay below
// 2^31 so that they survive a signed 32-bit field.
constexpr uint32_t kFirstId = 0x1000;
constexpr uint32_t kLastId = 0x7FFFFFFF;

struct Registry {
  std::mutex mutex;
  uint32_t next = kFirstId;                                         // guarded by mutex
  std::unordered_map<uint32_t, std::shared_ptr<WindowHost>> hosts;  // guarded by mutex
};

// Never destroyed: worker threads may still look windows up while the
// process exits.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

uint32_t RegisterWindow(std::shared_ptr<WindowHost> host) {
  if (!host) return 0;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (;;) {
    uint32_t id = r.next;
    r.next = (id >= kLastId) ? kFirstId : id + 1;
    // After a wrap, skip ids still in use.
    if (r.hosts.emplace(id, host).second) return id;
  }
}

void UnregisterWindow(uint32_t id) {
  std::shared_ptr<WindowHost> dropped;  // released outside the lock
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.hosts.find(id);
  if (it == r.hosts.end()) return;
  dropped = std::move(it->second);
  r.hosts.erase(it);
}

std::shared_ptr<WindowHost> FindWindow(uint32_t id) {
  if (id == 0) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.hosts.find(id);
  return it == r.hosts.end() ? nullptr : it->second;
}

bool PostMessageTo(uint32_t id, uint32_t msg, uint32_t wparam, int32_t lparam) {
  std::shared_ptr<WindowHost> host = FindWindow(id);
  return host && host->PostMessage(msg, wparam, lparam);
}

}  // namespace qrplat
