// A window host without a screen, for tests and headless runs. It keeps the
// last presented image and a queue of posted messages that its owner pumps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "qrplat/window.h"

namespace qrplat {

// A 32-bit B,G,R,X image.
struct Image {
  int32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB per pixel, rows top to bottom
  uint32_t At(int32_t x, int32_t y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

bool WritePng(const Image& image, const std::string& path);
bool ReadPng(const std::string& path, Image* image);

struct WindowMessage {
  uint32_t msg;
  uint32_t wparam;
  int32_t lparam;
};

class MemoryWindowHost : public WindowHost {
 public:
  MemoryWindowHost(int32_t width, int32_t height, PixelFormat format = PixelFormat::Rgb32);

  // Settings a test changes; thread-safe.
  void SetClientSize(int32_t width, int32_t height);
  void SetVisible(bool visible);
  void SetPrimaryFormat(PixelFormat format);
  void SetCaps(SurfaceCaps caps);
  void SetScreenOrigin(int32_t x, int32_t y);

  Size ClientSize() const override;
  bool IsVisible() const override;
  Rect ScreenRect() const override;
  PixelFormat PrimaryFormat() const override;
  SurfaceCaps Caps() const override;
  bool PostMessage(uint32_t msg, uint32_t wparam, int32_t lparam) override;
  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               PixelFormat format, const Rect& source) override;

  // The source rectangle of the last present, converted to 32 bits, at its own
  // size (no scaling to the client size).
  Image LastImage() const;
  // The source rectangle and pixel format of the last present, as given.
  Rect LastSource() const;
  PixelFormat LastFormat() const;
  uint64_t PresentCount() const;
  // Waits until at least `count` presents happened in total.
  bool WaitPresents(uint64_t count, uint32_t timeout_ms) const;

  // Message pump: takes the queued messages in posting order.
  std::vector<WindowMessage> TakeMessages();
  // Waits until a message is queued (or timeout); then takes them all.
  std::vector<WindowMessage> WaitMessages(uint32_t timeout_ms);
  // After SetAcceptMessages(false), PostMessage returns false and drops the
  // message (a window that is being destroyed). Accepting is the default.
  void SetAcceptMessages(bool accept);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  Size size_;                                     // guarded by mutex_
  bool visible_ = true;                           // guarded by mutex_
  PixelFormat format_;                            // guarded by mutex_
  SurfaceCaps caps_;                              // guarded by mutex_
  int32_t origin_x_ = 0, origin_y_ = 0;           // guarded by mutex_
  Image last_;                                    // guarded by mutex_
  Rect last_source_;                              // guarded by mutex_
  PixelFormat last_format_ = PixelFormat::Rgb32;  // guarded by mutex_
  bool accept_messages_ = true;                   // guarded by mutex_
  uint64_t presents_ = 0;                         // guarded by mutex_
  std::deque<WindowMessage> messages_;            // guarded by mutex_
};

}  // namespace qrplat
