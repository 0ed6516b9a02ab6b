#include "media/talk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string_view>

#include "api/process_state.h"
#include "control/mctp.h"
#include "media/codec_g711.h"
#include "media/codec_g726.h"
#include "media/talk_proto.h"
#include "media/voice_frame.h"
#include "net/quorsock.h"
#include "qrplat/audio.h"
#include "session/conduit.h"

namespace quornet {

namespace {

// 8000 Hz, 16-bit, mono in both directions.
qrplat::AudioFormat TalkFormat() {
  qrplat::AudioFormat f;
  f.sample_rate = 8000;
  f.channels = 1;
  f.bits = 16;
  return f;
}

// The audio devices move 250 ms chunks through a 1 s looping buffer; the
// capture and playback pumps look at them every 10 ms.
constexpr uint32_t kDeviceBufferBytes = 16000;
constexpr uint32_t kChunkBytes = 4000;
constexpr int kPlayChunks = kDeviceBufferBytes / kChunkBytes;
constexpr uint32_t kPumpPeriodMs = 10;
constexpr uint32_t kFillStepMs = 20;
// A capture chunk finds the conduit holding this much or more only when the
// send thread has fallen behind: the stale audio is dropped.
constexpr uint32_t kCaptureBacklogBytes = 3073;
constexpr uint32_t kCaptureWaitMs = 60;

constexpr int32_t kSendBufferBytes = 8192;
constexpr int32_t kRecvBufferBytes = 0x4000;
// Reply time-out for the lines that follow the first receive (a reply cut
// into several segments).
constexpr int32_t kReplyTailTimeoutMs = 1000;
constexpr size_t kRecvChunkBytes = 4096;

constexpr int32_t kSendExitValue = 18;
constexpr int32_t kRecvExitValue = 2222;

constexpr size_t kMaxSendFrameBytes = kVoiceFrameHeaderBytes + talk::kTalkSamplesPerPacket;
// G.726 at 16 kbit/s gives 4 samples per code byte.
constexpr size_t kMaxDevicePcmSamples = 4 * 2 * size_t(talk::kMaxDeviceVoiceWords);

bool IsG711(int32_t type) {
  return type == kVoiceTypeG711Alaw || type == kVoiceTypeG711Ulaw;
}

}  // namespace

// ---- Capture pump ---------------------------------------------------------------------

// Moves whole 4000-byte chunks from the capture device's looping buffer into
// the capture conduit, which the send thread drains 320 bytes at a time.
class CDirectSoundCapture : public qrplat::JThread {
 public:
  CDirectSoundCapture() = default;
  ~CDirectSoundCapture() override { Stop(); }

  // Opens the default capture device. False (and the pump stays stopped, so
  // nothing is sent) when there is none.
  bool Open() {
    if (!conduit_.Create(kDeviceBufferBytes, 0, 0, 0)) return false;
    capture_ = qrplat::AudioCapture::OpenDefault(TalkFormat(), kDeviceBufferBytes);
    if (!capture_) {
      LogWrite("talk: no capture device (%s)\n", qrplat::AudioBackendName().c_str());
      return false;
    }
    return true;
  }
  bool Start() {
    if (!capture_) return false;
    stopped_.store(false);
    if (qrplat::JThread::Start() != 0) {
      stopped_.store(true);
      return false;
    }
    return true;
  }
  void Stop() {
    stopped_.store(true);
    stop_event_.Set();
    Wait();
    capture_.reset();
  }
  // True until started, and after Stop.
  bool Stopped() const { return stopped_.load(); }
  CIConduit& conduit() { return conduit_; }

 private:
  int32_t Thread() override {
    const size_t size = capture_->BufferBytes();
    while (!stopped_.load()) {
      const size_t cursor = capture_->CaptureCursor();
      while ((cursor + size - read_pos_) % size >= kChunkBytes) {
        capture_->Read(read_pos_, chunk_, kChunkBytes);
        // Newest audio wins: what the send thread has not taken by now is
        // stale.
        if (conduit_.Buffered() >= kCaptureBacklogBytes) conduit_.Reset();
        conduit_.Append(chunk_, kChunkBytes, 0, 0, 0);
        read_pos_ = (read_pos_ + kChunkBytes) % size;
      }
      stop_event_.Wait(kPumpPeriodMs);
    }
    return 0;
  }

  CBufferConduit conduit_;
  std::unique_ptr<qrplat::AudioCapture> capture_;  // owner thread; read by the pump
  std::atomic<bool> stopped_{true};
  qrplat::Event stop_event_{true, false};
  size_t read_pos_ = 0;           // pump thread only
  uint8_t chunk_[kChunkBytes]{};  // pump thread only
};

// ---- Playback pump ----------------------------------------------------------------------

// Plays the PCM the receive thread queues in its conduit, in 4000-byte
// chunks through four device buffers.
class CDirectSound : public qrplat::JThread {
 public:
  CDirectSound() = default;
  ~CDirectSound() override { Stop(); }

  // Opens the default output. Without one the pump still drains the conduit
  // (and drops what it takes), so the receive thread never stalls.
  bool Open() {
    if (!conduit_.Create(kDeviceBufferBytes, 0, 0, 0)) return false;
    for (int i = 0; i < kPlayChunks; ++i) free_.push_back(i);
    output_ = qrplat::AudioOutput::OpenDefault(TalkFormat(), [this](void* cookie) {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(int(reinterpret_cast<intptr_t>(cookie)));
    });
    if (!output_) LogWrite("talk: no playback device (%s)\n", qrplat::AudioBackendName().c_str());
    return true;
  }
  bool Start() { return qrplat::JThread::Start() == 0; }
  void Stop() {
    stop_.store(true);
    stop_event_.Set();
    Wait();
    if (output_) {
      output_->Reset();  // every buffer completed before it returns
      output_.reset();
    }
  }
  CIConduit& conduit() { return conduit_; }

 private:
  int32_t Thread() override {
    while (!stop_.load()) {
      int chunk = -1;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!free_.empty()) chunk = free_.front();
      }
      if (chunk < 0) {
        stop_event_.Wait(kPumpPeriodMs);
        continue;
      }
      while (!stop_.load() && conduit_.Buffered() < kChunkBytes) stop_event_.Wait(kFillStepMs);
      if (stop_.load()) break;
      uint8_t* data = chunks_[chunk];
      if (conduit_.ReadBytes(data, kChunkBytes, nullptr, 0) != kChunkBytes) continue;
      if (!output_) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.pop_front();
      }
      if (!output_->Write(data, kChunkBytes, reinterpret_cast<void*>(intptr_t(chunk)))) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(chunk);
      }
    }
    return 0;
  }

  CBufferConduit conduit_;
  std::unique_ptr<qrplat::AudioOutput> output_;  // owner; used by the pump
  std::atomic<bool> stop_{false};
  qrplat::Event stop_event_{true, false};
  std::mutex mutex_;
  std::deque<int> free_;  // guarded by mutex_: chunks not in the device
  // A chunk belongs to the device from Write until its completion.
  uint8_t chunks_[kPlayChunks][kChunkBytes]{};
};

// ---- Send thread ---------------------------------------------------------------------------

// Takes 20 ms of captured PCM at a time, encodes it into a voice frame and
// sends it as one talk packet. A failed send sets the send-error event.
class CSendThread : public qrplat::JThread {
 public:
  CSendThread(std::shared_ptr<CQuorsock> sock, qrplat::Event* error, int32_t type)
      : sock_(std::move(sock)), error_(error), type_(type) {}
  ~CSendThread() override { Stop(); }

  // Opens and starts the capture pump, then the thread. Without a capture
  // device the thread runs and sends nothing.
  bool Start() {
    if (recorder_.Open()) recorder_.Start();
    return qrplat::JThread::Start() == 0;
  }
  void Stop() {
    stop_.store(true);
    stop_event_.Set();
    Wait();
    recorder_.Stop();
  }

 private:
  int32_t Thread() override {
    if (HI_VOICE_EncReset(&encoder_, type_) != 0) {
      LogWrite("talk: encoder type %d refused\n", type_);
      return 0;
    }
    int16_t pcm[talk::kTalkSamplesPerPacket];
    uint8_t frame[kMaxSendFrameBytes];
    uint8_t packet[talk::kTalkPacketHeaderBytes + kMaxSendFrameBytes];
    while (!stop_.load()) {
      if (recorder_.Stopped()) {
        stop_event_.Wait(kFillStepMs);
        continue;
      }
      if (recorder_.conduit().ReadBytes(pcm, sizeof pcm, nullptr, kCaptureWaitMs) != sizeof pcm)
        continue;
      if (HI_VOICE_EncodeFrame(&encoder_, pcm, frame, sizeof frame,
                               int(talk::kTalkSamplesPerPacket)) != 0)
        continue;
      const size_t frame_len = kVoiceFrameHeaderBytes + 2 * (size_t(frame[2]) | frame[3] << 8);
      const size_t n =
          talk::BuildTalkPacket(qrplat::TickCount(), frame, frame_len, packet, sizeof packet);
      if (n == 0) continue;
      if (!sock_->Send(reinterpret_cast<const char*>(packet), int32_t(n))) {
        error_->Set();
        return kSendExitValue;
      }
    }
    return 0;
  }

  const std::shared_ptr<CQuorsock> sock_;
  qrplat::Event* const error_;  // owned by CTalk2VS
  const int32_t type_;
  std::atomic<bool> stop_{false};
  qrplat::Event stop_event_{true, false};
  CDirectSoundCapture recorder_;
  VoiceEngineState encoder_;  // send thread only
};

// ---- Receive thread ------------------------------------------------------------------------

// Reads the device's voice frames (starting with the bytes that came with
// the reply), decodes them and queues the PCM for the playback pump. A
// closed or failed connection, or a frame beyond the size limit, sets the
// receive-error event.
class CRecvThread : public qrplat::JThread {
 public:
  CRecvThread(std::shared_ptr<CQuorsock> sock, qrplat::Event* error, int32_t type,
              std::string first_bytes)
      : sock_(std::move(sock)), error_(error), type_(type), first_(std::move(first_bytes)) {}
  ~CRecvThread() override { Stop(); }

  // Opens and starts the playback pump, then the thread.
  bool Start() {
    if (!player_.Open() || !player_.Start()) return false;
    return qrplat::JThread::Start() == 0;
  }
  void Stop() {
    stop_.store(true);
    Wait();
    player_.Stop();
  }

 private:
  bool InitDecoder() {
    if (IsG711(type_)) {
      g711_.mode = type_ == kVoiceTypeG711Alaw ? kVoiceModeAlaw : kVoiceModeUlaw;
      return avcodec_Voice_DecInit(&g711_) == 0;
    }
    return HI_VOICE_DecReset(&decoder_, type_) == 0;
  }

  void Play(const uint8_t* frame, size_t frame_len) {
    uint16_t samples = 0;
    int rc;
    if (IsG711(type_)) {
      rc = avcodec_Voice_Dec(&g711_, frame + kVoiceFrameHeaderBytes,
                             frame_len - kVoiceFrameHeaderBytes, pcm_.get(), kMaxDevicePcmSamples,
                             &samples);
    } else {
      // Frames whose header is only half right still carry code words: the
      // engine wants the proper header word.
      std::memcpy(scratch_.get(), frame, frame_len);
      scratch_[0] = kVoiceFrameHeaderWord & 0xFF;
      scratch_[1] = kVoiceFrameHeaderWord >> 8;
      rc = HI_VOICE_DecodeFrame(&decoder_, scratch_.get(), frame_len, pcm_.get(),
                                kMaxDevicePcmSamples, &samples);
    }
    if (rc != 0 || samples == 0) return;
    // In pieces of at most one playback chunk, so that a long frame fits the
    // conduit; what does not fit (the output lags) is dropped.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pcm_.get());
    for (uint32_t left = uint32_t(samples) * 2; left > 0;) {
      const uint32_t n = std::min(left, kChunkBytes);
      if (!player_.conduit().Append(bytes, n, 0, 0, 0)) break;
      bytes += n;
      left -= n;
    }
  }

  int32_t Thread() override {
    if (!InitDecoder()) return kRecvExitValue;
    parser_.Push(reinterpret_cast<const uint8_t*>(first_.data()), first_.size());
    char buf[kRecvChunkBytes];
    while (!stop_.load()) {
      const uint8_t* frame = nullptr;
      size_t frame_len = 0;
      talk::CVoiceStreamParser::Result r = parser_.Next(&frame, &frame_len);
      if (r == talk::CVoiceStreamParser::Result::kFrame) {
        Play(frame, frame_len);
        continue;
      }
      if (r == talk::CVoiceStreamParser::Result::kOversized) {
        qrplat::DebugOutput("talk: device voice frame beyond %u words\n",
                            unsigned(talk::kMaxDeviceVoiceWords));
        break;
      }
      int32_t got = 0;
      if (!sock_->Recv(buf, int32_t(sizeof buf), &got) || got <= 0) break;
      parser_.Push(reinterpret_cast<const uint8_t*>(buf), size_t(got));
    }
    if (!stop_.load()) error_->Set();
    return kRecvExitValue;
  }

  const std::shared_ptr<CQuorsock> sock_;
  qrplat::Event* const error_;  // owned by CTalk2VS
  const int32_t type_;
  const std::string first_;
  std::atomic<bool> stop_{false};
  CDirectSound player_;
  // Receive thread only.
  talk::CVoiceStreamParser parser_;
  VoiceCodecState g711_{};
  VoiceEngineState decoder_;
  std::unique_ptr<int16_t[]> pcm_{new int16_t[kMaxDevicePcmSamples]};
  std::unique_ptr<uint8_t[]> scratch_{
      new uint8_t[kVoiceFrameHeaderBytes + 2 * size_t(talk::kMaxDeviceVoiceWords)]};
};

// ---- Talk thread ---------------------------------------------------------------------------

CTalk2VS::CTalk2VS(CClientSession& session, int32_t voice_type)
    : session_(session), requested_type_(voice_type) {}

CTalk2VS::~CTalk2VS() {
  Stop();
}

bool CTalk2VS::Start() {
  return qrplat::JThread::Start() == 0;
}

void CTalk2VS::Stop() {
  stop_.store(true);
  stop_event_.Set();
  // A connect that creates its next socket just as we close the current one
  // would miss the close: keep closing until the thread is gone.
  do {
    CloseSocket();
  } while (!WaitFor(50));
}

void CTalk2VS::CloseSocket() {
  std::shared_ptr<CQuorsock> sock;
  {
    std::lock_guard<std::mutex> lock(sock_mutex_);
    sock = sock_;
  }
  if (sock) sock->Close();
}

void CTalk2VS::TearDown() {
  // Socket first: a send or receive blocked on it fails at once, so the
  // joins below are prompt.
  CloseSocket();
  if (recv_) {
    recv_->Stop();
    recv_.reset();
  }
  if (send_) {
    send_->Stop();
    send_.reset();
  }
  std::lock_guard<std::mutex> lock(sock_mutex_);
  sock_.reset();
}

bool CTalk2VS::Connect(bool* duplex, int32_t* type, std::string* rest) {
  *type = requested_type_ != talk::kTalkTypeAuto ? requested_type_
                                                 : talk::AutomaticTalkType(session_.server_kind);
  auto sock = std::make_shared<CQuorsock>(0);
  if (!sock->Create(session_.host, session_.port, kTalkConnectTimeoutMs, kTalkSendTimeoutMs,
                    kTalkRecvTimeoutMs, -1)) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(sock_mutex_);
    if (stop_.load()) return false;
    sock_ = sock;
  }
  sock->SetNoDelay(1);
  sock->SetSendBuff(kSendBufferBytes);
  sock->SetRecvBuff(kRecvBufferBytes);
  if (!sock->Connect()) return false;

  const std::string request = mctp::BuildTalk(session_.channel, talk::TalkCodeForType(*type));
  if (!sock->Send(request.data(), int32_t(request.size()))) return false;

  // The reply is two lines. A device that offers audio may send its first
  // voice frame in the same segment, and a slow one may split the reply: read
  // until the second line feed (at most 1024 bytes), then hand the rest on.
  char buf[mctp::kReplyCapacity];
  int32_t have = 0;
  int32_t got = 0;
  if (!sock->Recv(buf, int32_t(sizeof buf), &got) || got <= 0) return false;
  have = got;
  auto reply_length = [&] { return talk::TalkReplyLength(std::string_view(buf, size_t(have))); };
  if (reply_length() == 0 && have < int32_t(sizeof buf)) {
    sock->SetRecvTimeOut(kReplyTailTimeoutMs);
    while (reply_length() == 0 && have < int32_t(sizeof buf)) {
      if (!sock->Recv(buf + have, int32_t(sizeof buf) - have, &got) || got <= 0) break;
      have += got;
    }
    sock->SetRecvTimeOut(kTalkRecvTimeoutMs);
  }
  const std::string_view text(buf, size_t(have));
  // Without a second line feed the whole text is the reply (a last line
  // without one counts).
  const size_t reply_len = reply_length() != 0 ? reply_length() : text.size();
  mctp::TalkReply reply;
  if (!mctp::ParseTalkReply(text.substr(0, reply_len), &reply)) {
    qrplat::DebugOutput("talk: device refused or answered badly\n");
    return false;
  }
  *duplex = reply.duplex;
  reply_extra_.store(reply.extra);
  qrplat::DebugOutput("talk: accepted by %s:%d (voice type %d, device audio %s)\n", session_.host,
                      int(session_.port), int(*type), reply.duplex ? "on" : "off");
  rest->assign(text.substr(reply_len));
  return !stop_.load();
}

int32_t CTalk2VS::Thread() {
  while (!stop_.load()) {
    TearDown();
    bool duplex = false;
    int32_t type = 0;
    std::string rest;
    bool connected = Connect(&duplex, &type, &rest);
    while (!connected) {
      TearDown();
      // Failed connects and refusals are retried after a pause; stop ends
      // the pause at once.
      if (stop_.load() || stop_event_.Wait(kTalkRetryPauseMs)) break;
      connected = Connect(&duplex, &type, &rest);
    }
    if (!connected || stop_.load()) break;

    send_error_.Reset();
    recv_error_.Reset();
    std::shared_ptr<CQuorsock> sock;
    {
      std::lock_guard<std::mutex> lock(sock_mutex_);
      sock = sock_;
    }
    if (duplex) {
      recv_ = std::make_unique<CRecvThread>(sock, &recv_error_, type, std::move(rest));
      if (!recv_->Start()) {
        LogWrite("talk: the receive thread did not start\n");
        break;
      }
    }
    send_ = std::make_unique<CSendThread>(sock, &send_error_, type);
    if (!send_->Start()) {
      LogWrite("Start failed! error:%d\n", errno);
      break;
    }
    established_.fetch_add(1);
    if (qrplat::Event::WaitAny({&stop_event_, &send_error_, &recv_error_}, qrplat::kInfinite) == 0)
      break;
    qrplat::DebugOutput("talk: connection lost, reconnecting\n");
  }
  TearDown();
  return 0;
}

}  // namespace quornet
