// A raw RTSP peer for the protocol tests: writes request texts as given and
// reads replies and interleaved frames from a loopback TCP socket.
#ifndef DEVICESIM_TESTS_RTSP_TEST_CLIENT_H_
#define DEVICESIM_TESTS_RTSP_TEST_CLIENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devicesim::testing {

struct RtspReply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
  // Value of the first header of that name, "" when absent.
  std::string Header(const std::string& name) const;
};

struct Interleaved {
  uint8_t channel = 0;
  std::vector<uint8_t> data;
};

class RawRtspClient {
 public:
  ~RawRtspClient();
  bool Connect(uint16_t port, const char* host = "127.0.0.1");
  bool Send(const std::string& text);
  // Next reply; interleaved frames met on the way are kept for ReadFrame.
  std::optional<RtspReply> ReadReply(int timeout_ms = 5000);
  // Next interleaved frame.
  std::optional<Interleaved> ReadFrame(int timeout_ms = 5000);
  // True when the peer closed the connection within the time.
  bool WaitClosed(int timeout_ms);
  void DropFrames() { frames_.clear(); }
  int fd() const { return fd_; }

 private:
  bool Fill(int timeout_ms);
  bool ParseOne();

  int fd_ = -1;
  bool eof_ = false;
  std::string buf_;
  std::vector<Interleaved> frames_;
  std::vector<RtspReply> replies_;
};

// A UDP socket on 127.0.0.1 with an even port (RTP) for UDP sessions.
class UdpReceiver {
 public:
  ~UdpReceiver();
  bool Open();
  uint16_t port() const { return port_; }
  std::optional<std::vector<uint8_t>> Receive(int timeout_ms);

 private:
  int fd_ = -1;
  int fd_rtcp_ = -1;
  uint16_t port_ = 0;
};

uint16_t RtpSeq(const std::vector<uint8_t>& p);
bool RtpMarker(const std::vector<uint8_t>& p);

}  // namespace devicesim::testing

#endif  // DEVICESIM_TESTS_RTSP_TEST_CLIENT_H_
