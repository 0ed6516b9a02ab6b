// The window registry: 32-bit window ids for whoever owns a real window.
//
// A window owner (a Qt widget, a test, a headless run) registers a WindowHost
// and hands the id to the libraries, which keep only the id. Every call on a
// host may come from any thread unless noted.
#pragma once

#include <cstdint>
#include <memory>

namespace qrplat {

// Pixel layouts of a window's primary surface and of presented images. All
// little-endian in memory: Rgb32 is B,G,R,X bytes; Rgb24 is B,G,R; Rgb565 and
// Rgb555 are 16-bit words.
enum class PixelFormat { Rgb32, Rgb24, Rgb565, Rgb555 };
int BytesPerPixel(PixelFormat format);

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

struct Size {
  int32_t width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

// Surface capabilities a host reports; the renderer's surface decisions are
// driven by them.
struct SurfaceCaps {
  bool video_memory = true;  // surfaces may live in video memory
  bool stretch = true;       // the host stretches on present
  bool fourcc = true;        // YUV overlay surfaces are available
};

// A picture handed to a window host by reference instead of by copy. Its
// producer never writes the pixels while a host holds the reference: a host
// keeps it for as long as it shows the picture and drops it when the next one
// arrives (or after painting). The pixels stay valid for the life of the
// reference, whatever the producer does meanwhile.
struct SharedImage {
  const uint8_t* pixels = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  PixelFormat format = PixelFormat::Rgb32;
};

class WindowHost {
 public:
  virtual ~WindowHost() = default;
  virtual Size ClientSize() const = 0;
  virtual bool IsVisible() const = 0;
  virtual Rect ScreenRect() const = 0;
  virtual PixelFormat PrimaryFormat() const = 0;
  virtual SurfaceCaps Caps() const = 0;
  // Queues a message; it is delivered later on the host's own thread, in the
  // order posted. Returns false when the host no longer accepts messages.
  virtual bool PostMessage(uint32_t msg, uint32_t wparam, int32_t lparam) = 0;
  // Shows the part `source` of an image. The host copies what it needs before
  // returning; the pixels stay the caller's.
  virtual void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
                       PixelFormat format, const Rect& source) = 0;
  // Shows the part `source` of a shared picture without copying it: a host
  // that can paint from the producer's buffer keeps `image` until it no
  // longer needs the pixels. The default copies through Present and drops
  // the reference at once.
  virtual void PresentShared(std::shared_ptr<const SharedImage> image, const Rect& source) {
    Present(image->pixels, image->width, image->height, image->stride, image->format, source);
  }
};

// Registers a host and returns its id (never 0).
uint32_t RegisterWindow(std::shared_ptr<WindowHost> host);
// After this returns, the id is unknown; calls already running on the host
// finish on their own reference.
void UnregisterWindow(uint32_t id);
// The host of an id, or null for 0 and unknown ids.
std::shared_ptr<WindowHost> FindWindow(uint32_t id);
// Posts to the host of an id; false for unknown ids.
bool PostMessageTo(uint32_t id, uint32_t msg, uint32_t wparam, int32_t lparam);

}  // namespace qrplat
