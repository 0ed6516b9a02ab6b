// Audio devices: the default output with a completion callback and the
// default capture into a looping buffer.
//
// The back end is chosen by QRPLAT_AUDIO:
//   alsa     (default) the ALSA "default" PCM device
//   null     output completes buffers at real-time pace; capture is silence
//   wav:DIR  every output stream is written to a new WAV file in DIR at
//            real-time pace; capture reads DIR/capture.wav (looped) when
//            present, else silence
// An open that fails returns null: callers log and go on without sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qrplat {

struct AudioFormat {
  int32_t sample_rate = 8000;
  int32_t channels = 1;
  int32_t bits = 16;  // 16: signed little-endian PCM; 8: unsigned (as in WAV)
};

class AudioOutput {
 public:
  // Called on a device thread when a written buffer has been played (or
  // dropped by Reset); `cookie` is the one given to Write.
  using Completion = std::function<void(void* cookie)>;

  static std::unique_ptr<AudioOutput> OpenDefault(const AudioFormat& format, Completion on_done);
  // Closing drops what is queued (completing it) and stops the device thread.
  virtual ~AudioOutput() = default;
  // Queues a buffer; the bytes must stay valid until its completion. False
  // when the device failed.
  virtual bool Write(const void* data, size_t bytes, void* cookie) = 0;
  // Drops everything queued and cuts the buffer in play short; each dropped
  // buffer is completed (on the device thread) before Reset returns, so the
  // caller may free them afterwards. Do not hold a lock in Reset that the
  // completion takes. Called from a completion, Reset only queues the drop.
  virtual void Reset() = 0;
};

class AudioCapture {
 public:
  // Opens the default capture device writing into a looping buffer of
  // `buffer_bytes`. Capture starts at once.
  static std::unique_ptr<AudioCapture> OpenDefault(const AudioFormat& format, size_t buffer_bytes);
  virtual ~AudioCapture() = default;
  size_t BufferBytes() const { return buffer_bytes_; }
  // Offset in the looping buffer up to which data was captured (wraps).
  virtual size_t CaptureCursor() const = 0;
  // Copies `bytes` from offset (wrapping) out of the looping buffer.
  virtual void Read(size_t offset, void* dst, size_t bytes) const = 0;

 protected:
  explicit AudioCapture(size_t buffer_bytes) : buffer_bytes_(buffer_bytes) {}

 private:
  size_t buffer_bytes_;
};

// The back end name in force ("alsa", "null" or "wav"; "none" for a value of
// QRPLAT_AUDIO that names no back end, with which nothing opens).
std::string AudioBackendName();

}  // namespace qrplat
