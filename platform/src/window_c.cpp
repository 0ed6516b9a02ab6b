// Window hosts made of C callbacks (qrplat/window_c.h).
#include "qrplat/window_c.h"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "qrplat/window.h"

namespace qrplat {
namespace {

// Forwards the host interface to the callbacks. Every forwarding call holds
// the gate shared; Detach takes it exclusively, so it waits for calls in
// flight and no callback runs after it.
class CallbackHost final : public WindowHost {
 public:
  explicit CallbackHost(const QRPLAT_WindowCallbacks& cb) : cb_(cb) {}

  void Detach() {
    std::unique_lock<std::shared_mutex> lock(gate_);
    attached_ = false;
  }

  Size ClientSize() const override {
    std::shared_lock<std::shared_mutex> lock(gate_);
    Size s;
    if (attached_) cb_.client_size(cb_.user, &s.width, &s.height);
    return s;
  }
  bool IsVisible() const override {
    std::shared_lock<std::shared_mutex> lock(gate_);
    return attached_ && (cb_.is_visible == nullptr || cb_.is_visible(cb_.user) != 0);
  }
  Rect ScreenRect() const override {
    const Size s = ClientSize();
    return Rect{0, 0, s.width, s.height};
  }
  PixelFormat PrimaryFormat() const override {
    switch (cb_.pixel_format) {
      case QRPLAT_PIXEL_RGB24:
        return PixelFormat::Rgb24;
      case QRPLAT_PIXEL_RGB565:
        return PixelFormat::Rgb565;
      case QRPLAT_PIXEL_RGB555:
        return PixelFormat::Rgb555;
      default:
        return PixelFormat::Rgb32;
    }
  }
  // A plain memory window: no overlay surfaces, the library stretches.
  SurfaceCaps Caps() const override { return SurfaceCaps{false, true, false}; }

  bool PostMessage(uint32_t msg, uint32_t wparam, int32_t lparam) override {
    std::shared_lock<std::shared_mutex> lock(gate_);
    if (!attached_ || cb_.post_message == nullptr) return false;
    return cb_.post_message(cb_.user, msg, wparam, lparam) != 0;
  }

  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               PixelFormat format, const Rect& source) override {
    std::shared_lock<std::shared_mutex> lock(gate_);
    if (!attached_ || pixels == nullptr) return;
    const QRPLAT_Rect r{source.left, source.top, source.right, source.bottom};
    cb_.present(cb_.user, pixels, width, height, stride, CodeOf(format), &r);
  }

 private:
  static int32_t CodeOf(PixelFormat format) {
    switch (format) {
      case PixelFormat::Rgb24:
        return QRPLAT_PIXEL_RGB24;
      case PixelFormat::Rgb565:
        return QRPLAT_PIXEL_RGB565;
      case PixelFormat::Rgb555:
        return QRPLAT_PIXEL_RGB555;
      case PixelFormat::Rgb32:
        break;
    }
    return QRPLAT_PIXEL_RGB32;
  }

  const QRPLAT_WindowCallbacks cb_;
  mutable std::shared_mutex gate_;
  bool attached_ = true;  // guarded by gate_
};

std::mutex g_mutex;
std::map<uint32_t, std::shared_ptr<CallbackHost>>& Hosts() {
  static auto* hosts = new std::map<uint32_t, std::shared_ptr<CallbackHost>>;
  return *hosts;
}

}  // namespace
}  // namespace qrplat

extern "C" uint32_t QRPLAT_RegisterWindow(const QRPLAT_WindowCallbacks* callbacks) {
  if (callbacks == nullptr || callbacks->client_size == nullptr || callbacks->present == nullptr ||
      callbacks->pixel_format < QRPLAT_PIXEL_RGB32 ||
      callbacks->pixel_format > QRPLAT_PIXEL_RGB555) {
    return 0;
  }
  auto host = std::make_shared<qrplat::CallbackHost>(*callbacks);
  const uint32_t id = qrplat::RegisterWindow(host);
  std::lock_guard<std::mutex> lock(qrplat::g_mutex);
  qrplat::Hosts()[id] = std::move(host);
  return id;
}

extern "C" void QRPLAT_UnregisterWindow(uint32_t id) {
  std::shared_ptr<qrplat::CallbackHost> host;
  {
    std::lock_guard<std::mutex> lock(qrplat::g_mutex);
    auto it = qrplat::Hosts().find(id);
    if (it == qrplat::Hosts().end()) return;
    host = std::move(it->second);
    qrplat::Hosts().erase(it);
  }
  qrplat::UnregisterWindow(id);
  host->Detach();
}
