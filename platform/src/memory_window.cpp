// The memory window host and PNG files of its images.
#include "qrplat/memory_window.h"

#include <png.h>

#include <algorithm>
#include <chrono>

#include "qrplat/thread.h"

namespace qrplat {

namespace {

// 5- and 6-bit channels widened to 8 bits by replicating the high bits, so
// that full scale maps to 255.
inline uint32_t Expand5(uint32_t v) {
  return (v << 3) | (v >> 2);
}
inline uint32_t Expand6(uint32_t v) {
  return (v << 2) | (v >> 4);
}

inline uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
  return (r << 16) | (g << 8) | b;
}

// One pixel of `format` at `p` as 0x00RRGGBB. Reads bytes, so no alignment is
// required of the caller's buffer.
inline uint32_t ToRgb32(const uint8_t* p, PixelFormat format) {
  switch (format) {
    case PixelFormat::Rgb32:
    case PixelFormat::Rgb24:
      return Rgb(p[2], p[1], p[0]);
    case PixelFormat::Rgb565: {
      uint32_t w = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
      return Rgb(Expand5(w >> 11), Expand6((w >> 5) & 0x3F), Expand5(w & 0x1F));
    }
    case PixelFormat::Rgb555: {
      uint32_t w = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
      return Rgb(Expand5((w >> 10) & 0x1F), Expand5((w >> 5) & 0x1F), Expand5(w & 0x1F));
    }
  }
  return 0;
}

template <typename Lock, typename Pred>
bool WaitWithTimeout(std::condition_variable& cv, Lock& lock, uint32_t timeout_ms, Pred pred) {
  if (timeout_ms == kInfinite) {
    cv.wait(lock, pred);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

}  // namespace

MemoryWindowHost::MemoryWindowHost(int32_t width, int32_t height, PixelFormat format)
    : size_{width, height}, format_(format) {}

void MemoryWindowHost::SetClientSize(int32_t width, int32_t height) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_ = {width, height};
}

void MemoryWindowHost::SetVisible(bool visible) {
  std::lock_guard<std::mutex> lock(mutex_);
  visible_ = visible;
}

void MemoryWindowHost::SetPrimaryFormat(PixelFormat format) {
  std::lock_guard<std::mutex> lock(mutex_);
  format_ = format;
}

void MemoryWindowHost::SetCaps(SurfaceCaps caps) {
  std::lock_guard<std::mutex> lock(mutex_);
  caps_ = caps;
}

void MemoryWindowHost::SetScreenOrigin(int32_t x, int32_t y) {
  std::lock_guard<std::mutex> lock(mutex_);
  origin_x_ = x;
  origin_y_ = y;
}

Size MemoryWindowHost::ClientSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

bool MemoryWindowHost::IsVisible() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return visible_;
}

Rect MemoryWindowHost::ScreenRect() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {origin_x_, origin_y_, origin_x_ + size_.width, origin_y_ + size_.height};
}

PixelFormat MemoryWindowHost::PrimaryFormat() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return format_;
}

SurfaceCaps MemoryWindowHost::Caps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return caps_;
}

bool MemoryWindowHost::PostMessage(uint32_t msg, uint32_t wparam, int32_t lparam) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!accept_messages_) return false;
  messages_.push_back({msg, wparam, lparam});
  cv_.notify_all();
  return true;
}

void MemoryWindowHost::SetAcceptMessages(bool accept) {
  std::lock_guard<std::mutex> lock(mutex_);
  accept_messages_ = accept;
}

void MemoryWindowHost::Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                               PixelFormat format, const Rect& source) {
  // The source rectangle clipped to the image; converted outside the lock.
  Image image;
  int32_t left = std::max(source.left, 0);
  int32_t top = std::max(source.top, 0);
  int32_t right = std::min(source.right, width);
  int32_t bottom = std::min(source.bottom, height);
  if (pixels != nullptr && right > left && bottom > top) {
    image.width = right - left;
    image.height = bottom - top;
    image.pixels.resize(size_t(image.width) * size_t(image.height));
    const int bpp = BytesPerPixel(format);
    uint32_t* out = image.pixels.data();
    for (int32_t y = top; y < bottom; ++y) {
      const uint8_t* row = pixels + ptrdiff_t(y) * stride + ptrdiff_t(left) * bpp;
      for (int32_t x = left; x < right; ++x, row += bpp) *out++ = ToRgb32(row, format);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = std::move(image);
  last_source_ = source;
  last_format_ = format;
  ++presents_;
  cv_.notify_all();
}

Image MemoryWindowHost::LastImage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

Rect MemoryWindowHost::LastSource() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_source_;
}

PixelFormat MemoryWindowHost::LastFormat() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_format_;
}

uint64_t MemoryWindowHost::PresentCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presents_;
}

bool MemoryWindowHost::WaitPresents(uint64_t count, uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return WaitWithTimeout(cv_, lock, timeout_ms, [&] { return presents_ >= count; });
}

std::vector<WindowMessage> MemoryWindowHost::TakeMessages() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<WindowMessage> out(messages_.begin(), messages_.end());
  messages_.clear();
  return out;
}

std::vector<WindowMessage> MemoryWindowHost::WaitMessages(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitWithTimeout(cv_, lock, timeout_ms, [&] { return !messages_.empty(); });
  std::vector<WindowMessage> out(messages_.begin(), messages_.end());
  messages_.clear();
  return out;
}

// ---------------------------------------------------------------------------
// PNG files (libpng's simplified API, 8-bit RGB)

bool WritePng(const Image& image, const std::string& path) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() < size_t(image.width) * size_t(image.height)) {
    return false;
  }
  std::vector<uint8_t> rgb(image.pixels.size() * 3);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    uint32_t p = image.pixels[i];
    rgb[i * 3] = uint8_t(p >> 16);
    rgb[i * 3 + 1] = uint8_t(p >> 8);
    rgb[i * 3 + 2] = uint8_t(p);
  }
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = png_uint_32(image.width);
  png.height = png_uint_32(image.height);
  png.format = PNG_FORMAT_RGB;
  int ok = png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr);
  png_image_free(&png);
  return ok != 0;
}

bool ReadPng(const std::string& path, Image* image) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    png_image_free(&png);
    return false;
  }
  png.format = PNG_FORMAT_RGB;  // libpng converts gray, palette, alpha, 16-bit
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) {
    png_image_free(&png);
    return false;
  }
  image->width = int32_t(png.width);
  image->height = int32_t(png.height);
  image->pixels.resize(size_t(png.width) * size_t(png.height));
  for (size_t i = 0; i < image->pixels.size(); ++i) {
    image->pixels[i] = Rgb(rgb[i * 3], rgb[i * 3 + 1], rgb[i * 3 + 2]);
  }
  png_image_free(&png);
  return true;
}

}  // namespace qrplat
