// The simulated camera's private UDP stream: pushes the generated H.264
// picture and the tone to one client address and port as datagrams of a
// 68-byte big-endian header and one piece of a NAL unit or one audio frame.
//
// Header: bytes 4-7 stream identifier, 12-15 sequence number (video and
// audio share it), 16 media (0 video, 1 audio), 17 video payload code (96),
// 18 frame type (7 for every datagram of a key picture, else the NAL type of
// the picture's slices, 1), 19 fragment position (0 whole NAL unit, 1 first,
// 2 middle, 3 last piece), 21 server kind, 22 audio codec code (1 A-law,
// 2 mu-law, 4..7 G.726 16..40 kbit/s, 255 none), 24-27 payload length,
// 28 width, 32 height, 36 frame rate, 40 bit rate (kbit/s times 1024).
// Everything else is zero.
//
// Conventions as for Device: loopback by default, thread-safe, faults are
// atomics read per datagram. Frame numbers are coded into the pictures as
// frame_code.h describes.
#ifndef DEVICESIM_PRIVATE_UDP_H_
#define DEVICESIM_PRIVATE_UDP_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "devicesim/device.h"

namespace devicesim {

struct PrivateUdpFaults {
  // Probabilities in [0, 1] per datagram, from a PRNG seeded with `seed`.
  std::atomic<double> loss{0.0};
  // Hold a datagram back and send it after the next one.
  std::atomic<double> reorder{0.0};
  std::atomic<double> duplicate{0.0};
  std::atomic<uint32_t> seed{1};
  // The next key picture starts a new stream: a new identifier and sequence
  // numbers from 0 again.
  std::atomic<bool> change_stream{false};
  // Number of datagrams still to be copied, with another stream identifier
  // and half the picture size in the header, from the foreign address
  // (Config::foreign_address) to the client.
  std::atomic<int> foreign_address_datagrams{0};
  // The same from the device's address but another port.
  std::atomic<int> foreign_port_datagrams{0};
  // Number of malformed datagrams still to be sent between the real ones: in
  // turn empty, 40 bytes, a bare header, and headers whose payload length
  // field is one too large, one too small, and 0xFFFFFFFF.
  std::atomic<int> malformed_datagrams{0};
};

struct PrivateUdpConfig {
  int width = 640;
  int height = 360;
  int fps = 25;
  int gop = 0;  // pictures between key pictures; 0 = fps
  int bitrate_kbps = 0;
  // kNone, kPcma, kPcmu or G.726 (AAC is not carried by this stream).
  AudioCodec audio = AudioCodec::kPcma;
  std::string bind_address = "127.0.0.1";
  std::string foreign_address = "127.0.0.2";
  std::string client_address = "127.0.0.1";
  uint16_t client_port = 0;
  uint32_t stream_id = 0x51A0;
  uint32_t first_sequence = 0;
  uint8_t server_kind = 0;
};

class PrivateUdpSender {
 public:
  PrivateUdpSender();
  ~PrivateUdpSender();  // calls Stop()
  PrivateUdpSender(const PrivateUdpSender&) = delete;
  PrivateUdpSender& operator=(const PrivateUdpSender&) = delete;

  // Opens the sockets and starts encoding and sending. False with Error().
  bool Start(const PrivateUdpConfig& config);
  void Stop();
  const std::string& Error() const { return error_; }

  PrivateUdpFaults& faults();
  // Starts a new stream (new identifier, sequence from 0) at another picture
  // size; the first datagrams of the new stream are a key picture.
  bool ChangePictureSize(int width, int height);

  uint32_t StreamId() const;
  uint16_t LocalPort() const;  // the device's sending port
  uint64_t DatagramsSent() const;
  uint64_t PicturesSent() const;
  // As Device::CaptureTimeMs.
  std::optional<int64_t> CaptureTimeMs(uint32_t frame) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace devicesim

#endif  // DEVICESIM_PRIVATE_UDP_H_
