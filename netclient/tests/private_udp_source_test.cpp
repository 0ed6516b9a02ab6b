// Transport 2 end to end: the simulator's private UDP sender pushes its
// camera to a client started through the C API, over loopback.
//
// The fault tests put a checking decoder in place of the display (through the
// media-sinks seam): it reads whole pictures from the video conduit, checks
// their layout, decodes them with libavcodec set to fail on any damage and
// reads the frame number coded into each picture. A recorder probe checks
// what the source hands the record files; a real recording is read back with
// FFmpeg's tools.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "devicesim/frame_code.h"
#include "devicesim/private_udp.h"
#include "net/media_frames.h"
#include "net/source_seams.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "record_check.h"
#include "session/conduit.h"

namespace quornet {
namespace {

namespace fs = std::filesystem;
using devicesim::AudioCodec;
using devicesim::PrivateUdpConfig;
using devicesim::PrivateUdpSender;

// Debug texts are part of what the tests check; set before any thread runs.
const bool g_debug_on = [] {
  setenv("QRNET_DEBUG", "1", 1);
  return true;
}();

// ---- Notifications ----------------------------------------------------------

std::mutex g_events_mutex;
std::vector<std::pair<uint32_t, std::pair<int32_t, int32_t>>> g_events;  // guarded

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  g_events.push_back({handle, {kind, value}});
}

int CountEvents(uint32_t handle, int32_t kind, int32_t value) {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  int n = 0;
  for (const auto& e : g_events) n += e.first == handle && e.second == std::make_pair(kind, value);
  return n;
}

template <class Pred>
bool WaitFor(Pred pred, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (pred()) return true;
    qrplat::SleepMs(20);
  }
  return pred();
}

uint16_t FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// ---- Checking decoder in place of the display ---------------------------------

struct DecodeStats {
  std::mutex mutex;
  int starts = 0;
  int pictures = 0;
  int decoded = 0;
  int decode_errors = 0;
  int layout_errors = 0;
  int not_key_first = 0;         // a start whose first picture had no parameter sets
  std::vector<uint32_t> frames;  // frame numbers in decoding order
  std::vector<int> frame_start;  // start number of each frame
  int width = 0;

  int Decoded() {
    std::lock_guard<std::mutex> lock(mutex);
    return decoded;
  }
};

// NAL unit types of an Annex B picture with four-byte start codes; false
// when it is not made of such units.
bool SplitPicture(const uint8_t* p, size_t n, std::vector<int>* types) {
  if (n < 5 || p[0] || p[1] || p[2] || p[3] != 1) return false;
  for (size_t i = 0; i + 4 < n; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 0 && p[i + 3] == 1) {
      types->push_back(p[i + 4] & 0x1F);
      i += 3;
    }
  }
  return true;
}

class CheckingSinks final : public IMediaSinks {
 public:
  CheckingSinks(CIConduit* video, DecodeStats* stats) : video_(video), stats_(stats) {}
  ~CheckingSinks() override { Stop(); }

  bool Start() override {
    Stop();
    stop_ = false;
    int start;
    {
      std::lock_guard<std::mutex> lock(stats_->mutex);
      start = ++stats_->starts;
    }
    thread_ = std::thread([this, start] { Run(start); });
    return true;
  }
  void Stop() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(int start) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
    ctx->thread_count = 1;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint8_t> buf(4 << 20);
    bool first = true;
    while (!stop_) {
      FrameHeader h{};
      const uint32_t n = video_->ReadFrame(buf.data(), uint32_t(buf.size()), nullptr, &h, 50);
      if (n == 0) {
        qrplat::SleepMs(5);
        continue;
      }
      std::vector<int> types;
      const bool layout = SplitPicture(buf.data(), n, &types);
      int slices = 0;
      bool sps = false;
      for (int t : types) {
        slices += t == 1 || t == 5;
        sps |= t == 7;
      }
      std::lock_guard<std::mutex> lock(stats_->mutex);
      ++stats_->pictures;
      // The simulator codes each picture as one slice.
      if (!layout || slices != 1) ++stats_->layout_errors;
      if (first && !sps) ++stats_->not_key_first;
      first = false;
      pkt->data = buf.data();
      pkt->size = static_cast<int>(n);
      if (avcodec_send_packet(ctx, pkt) < 0) {
        ++stats_->decode_errors;
        continue;
      }
      int r;
      while ((r = avcodec_receive_frame(ctx, frame)) == 0) {
        if (frame->decode_error_flags != 0) ++stats_->decode_errors;
        auto number = devicesim::frame_code::DecodeLuma(frame->data[0], frame->linesize[0],
                                                        frame->width, frame->height);
        ++stats_->decoded;
        stats_->width = frame->width;
        if (number) {
          stats_->frames.push_back(*number);
          stats_->frame_start.push_back(start);
        }
      }
      if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++stats_->decode_errors;
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
  }

  CIConduit* video_;
  DecodeStats* stats_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- Recorder probe -------------------------------------------------------------

struct RecordStats {
  std::mutex mutex;
  int key_starts = 0;
  int video_frames = 0;
  int audio_frames = 0;
  int format_changes = 0;
  int bad_frames = 0;     // not a whole picture with start codes, or wrong type
  int unkeyed_start = 0;  // a record (re)started on a picture without SPS
  bool waiting_for_key = true;
};

class RecorderProbe final : public IStreamRecorder {
 public:
  explicit RecorderProbe(RecordStats* stats) : s_(stats) {}
  void OnKeyFrameStart() override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    ++s_->key_starts;
  }
  void OnVideoFrame(uint8_t* block, uint32_t size, int frame_type) override {
    // The reserved header bytes are writable.
    std::memset(block, 0xEE, kRecordFrameHeaderSize);
    std::vector<int> types;
    const bool layout = SplitPicture(block + kRecordFrameHeaderSize, size, &types);
    bool sps = false, idr = false;
    for (int t : types) {
      sps |= t == 7;
      idr |= t == 5;
    }
    std::lock_guard<std::mutex> lock(s_->mutex);
    ++s_->video_frames;
    if (!layout || (frame_type == 7) != idr) ++s_->bad_frames;
    if (s_->waiting_for_key && !sps) ++s_->unkeyed_start;
    s_->waiting_for_key = false;
  }
  void OnAudioFrame(uint8_t* payload, uint32_t size) override {
    std::memset(payload - 4, 0, 4);  // room for the voice-frame header
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (size > 0) ++s_->audio_frames;
  }
  void StopForFormatChange() override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    ++s_->format_changes;
    s_->waiting_for_key = true;
  }
  void StopAll() override {}

 private:
  RecordStats* s_;
};

// ---- Fixture ----------------------------------------------------------------------

class PrivateUdpSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, OnStatus, 0);
    QRNET_SetWaitTime(5, 1, 1);
    port_ = FreeUdpPort();
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    handle_ = 0;
    sender_.Stop();
    if (checking_) {
      RegisterMediaSinksFactory(std::move(saved_sinks_));
      RegisterStreamRecorderFactory(std::move(saved_recorder_));
    }
    if (window_ != 0) qrplat::UnregisterWindow(window_);
  }

  // Decoder and recorder probes in place of the display and the recorder.
  void UseCheckingSinks() {
    checking_ = true;
    saved_sinks_ = RegisterMediaSinksFactory(
        [this](CClientSession&, CIConduit* video, CIConduit*) -> std::unique_ptr<IMediaSinks> {
          return std::make_unique<CheckingSinks>(video, &decode_);
        });
    saved_recorder_ =
        RegisterStreamRecorderFactory([this](CClientSession&) -> std::unique_ptr<IStreamRecorder> {
          return std::make_unique<RecorderProbe>(&record_);
        });
  }

  PrivateUdpConfig SenderConfig() {
    PrivateUdpConfig c;
    c.width = 320;
    c.height = 240;
    c.gop = 10;
    c.client_port = port_;
    return c;
  }

  void StartClient(uint32_t window = 0) {
    QRNET_ClientParam p{};
    p.transport = QRNET_TRANSPORT_UDP;
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = window;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port_));
    handle_ = QRNET_ClientStart(&p);
    ASSERT_NE(handle_, 0u);
  }

  int Starts() { return CountEvents(handle_, 1, 0); }

  // Frame numbers only ever grow within a start, and every start begins with a
  // key picture; nothing failed to decode.
  void ExpectCleanPictures() {
    std::lock_guard<std::mutex> lock(decode_.mutex);
    EXPECT_EQ(decode_.decode_errors, 0);
    EXPECT_EQ(decode_.layout_errors, 0);
    EXPECT_EQ(decode_.not_key_first, 0);
    for (size_t i = 1; i < decode_.frames.size(); ++i) {
      EXPECT_GT(decode_.frames[i], decode_.frames[i - 1]) << "picture " << i;
    }
    std::lock_guard<std::mutex> rlock(record_.mutex);
    EXPECT_EQ(record_.bad_frames, 0);
    EXPECT_EQ(record_.unkeyed_start, 0);
  }

  uint16_t port_ = 0;
  uint32_t handle_ = 0;
  uint32_t window_ = 0;
  PrivateUdpSender sender_;
  DecodeStats decode_;
  RecordStats record_;
  bool checking_ = false;
  MediaSinksFactory saved_sinks_;
  StreamRecorderFactory saved_recorder_;
};

// Sample rate and PCM bytes of the 44-byte header the wav back end writes.
bool ReadWav(const fs::path& path, int* rate, uint32_t* data_bytes) {
  std::ifstream in(path, std::ios::binary);
  uint8_t h[44];
  if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return false;
  if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 36, "data", 4) != 0) return false;
  *rate = h[24] | h[25] << 8 | h[26] << 16 | h[27] << 24;
  *data_bytes = h[40] | h[41] << 8 | h[42] << 16 | uint32_t(h[43]) << 24;
  return true;
}

// Sign changes per second over the samples of a 16-bit mono WAV file.
double ZeroCrossingsPerSecond(const fs::path& path, int rate) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (all.size() < 44 + 4) return 0;
  const size_t count = (all.size() - 44) / 2;
  int crossings = 0;
  int16_t prev = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t v;
    std::memcpy(&v, all.data() + 44 + 2 * i, 2);
    if (i > 0 && ((prev < 0) != (v < 0))) ++crossings;
    prev = v;
  }
  return crossings * double(rate) / double(count);
}

class PrivateUdpViewTest : public PrivateUdpSourceTest,
                           public ::testing::WithParamInterface<AudioCodec> {};

TEST_P(PrivateUdpViewTest, PicturesInOrderInAWindowAndPcmInTheWavBackEnd) {
  const fs::path dir = fs::temp_directory_path() / ("qr-private-udp-" + std::to_string(getpid()) +
                                                    "-" + devicesim::ToString(GetParam()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const char* old_audio = getenv("QRPLAT_AUDIO");
  const std::string saved_audio = old_audio ? old_audio : "";
  setenv("QRPLAT_AUDIO", ("wav:" + dir.string()).c_str(), 1);

  auto host = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
  window_ = qrplat::RegisterWindow(host);
  PrivateUdpConfig cfg = SenderConfig();
  cfg.audio = GetParam();
  ASSERT_TRUE(sender_.Start(cfg)) << sender_.Error();
  StartClient(window_);
  ASSERT_EQ(QRNET_ClientPlayAudio(handle_), 1);

  auto number = [&]() -> std::optional<uint32_t> {
    qrplat::Image img = host->LastImage();
    if (img.width <= 0) return std::nullopt;
    return devicesim::frame_code::DecodeBgrx(reinterpret_cast<const uint8_t*>(img.pixels.data()),
                                             img.width * 4, img.width, img.height);
  };
  ASSERT_TRUE(host->WaitPresents(5, 15000)) << "no pictures";
  const std::optional<uint32_t> first = number();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(host->WaitPresents(host->PresentCount() + 20, 10000));
  const std::optional<uint32_t> later = number();
  ASSERT_TRUE(later.has_value());
  EXPECT_GT(*later, *first);
  EXPECT_TRUE(sender_.CaptureTimeMs(*later).has_value()) << "not a frame the camera generated";

  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(handle_, &out), 1);
  EXPECT_EQ(out.width, 320);
  EXPECT_EQ(out.height, 240);
  EXPECT_EQ(out.video_payload, 96);

  // Sound: one 8000 Hz output stream with at least half a second of PCM.
  int rate = 0;
  uint32_t bytes = 0;
  fs::path wav;
  for (int i = 0; i < 100; ++i) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.path().extension() == ".wav") files.push_back(e.path());
    }
    if (files.size() == 1 && ReadWav(files[0], &rate, &bytes) && bytes >= 8000) {
      wav = files[0];
      break;
    }
    qrplat::SleepMs(100);
  }
  EXPECT_EQ(rate, 8000);
  EXPECT_GE(bytes, 8000u) << "less than 0.5 s of 16-bit PCM";
  // The camera's 1 kHz tone: about 2000 zero crossings a second (PCM decoded
  // twice would be noise).
  const double crossings = ZeroCrossingsPerSecond(wav, 8000);
  EXPECT_GT(crossings, 1600);
  EXPECT_LT(crossings, 2400);
  EXPECT_EQ(Starts(), 1);

  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  if (saved_audio.empty()) {
    unsetenv("QRPLAT_AUDIO");
  } else {
    setenv("QRPLAT_AUDIO", saved_audio.c_str(), 1);
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Audio, PrivateUdpViewTest,
                         ::testing::Values(AudioCodec::kPcmu, AudioCodec::kG726_24),
                         [](const ::testing::TestParamInfo<AudioCodec>& info) {
                           std::string name = devicesim::ToString(info.param);
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// The recorder writes the private stream as whole pictures from a key
// picture on, with its sound: FFmpeg reads and decodes the file without a
// word, and no picture is missing.
TEST_F(PrivateUdpSourceTest, RecordingGivesAnAviFfmpegReadsWithConsecutivePictures) {
  const fs::path dir =
      fs::temp_directory_path() / ("qr-private-udp-record-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  auto host = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
  window_ = qrplat::RegisterWindow(host);
  const PrivateUdpConfig cfg = SenderConfig();  // G.711 A-law sound
  ASSERT_TRUE(sender_.Start(cfg)) << sender_.Error();
  StartClient(window_);
  ASSERT_TRUE(host->WaitPresents(5, 15000)) << "no pictures";

  const fs::path file = dir / "private.avi";
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, file.c_str(), 0), 1);
  EXPECT_TRUE(WaitFor([&] { return CountEvents(handle_, 6, 0) == 1; }, 5000)) << "no header";
  qrplat::SleepMs(3000);
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(CountEvents(handle_, 6, 1), 1);

  std::string noise;
  const auto streams = test::Probe(file, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].at("codec_name"), "h264");
  EXPECT_EQ(streams[0].at("width"), "320");
  EXPECT_EQ(streams[0].at("height"), "240");
  EXPECT_EQ(streams[1].at("codec_name"), "pcm_s16le");
  EXPECT_EQ(streams[1].at("sample_rate"), "8000");
  const int frames = std::stoi(streams[0].at("nb_read_packets"));
  EXPECT_LE(frames, int(seconds * cfg.fps) + 3);
  EXPECT_GE(frames, int(seconds * cfg.fps) - cfg.gop - 3);
  EXPECT_EQ(test::DecodeErrors(file), "");

  const std::vector<uint32_t> numbers = test::FrameNumbers(file, 320, 240);
  ASSERT_EQ(int(numbers.size()), frames);
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(test::NumberGaps(numbers), 0) << ::testing::PrintToString(numbers);
  EXPECT_EQ(numbers[0] % uint32_t(cfg.gop), 0u) << "the file does not start at a key picture";
  fs::remove_all(dir);
}

TEST_F(PrivateUdpSourceTest, ReorderingDuplicationAndLossNeverHandTheDecoderAnIncompletePicture) {
  UseCheckingSinks();
  PrivateUdpConfig cfg = SenderConfig();
  // Pictures of several pieces each.
  cfg.width = 640;
  cfg.height = 360;
  cfg.bitrate_kbps = 2000;
  cfg.first_sequence = 0xFFFFFF00u;  // the sequence numbers wrap early on
  auto& f = sender_.faults();
  f.reorder = 0.1;
  f.duplicate = 0.1;
  f.loss = 0.01;
  f.seed = 7;
  ASSERT_TRUE(sender_.Start(cfg)) << sender_.Error();
  StartClient();
  // Losses make the stream wait for key frames again; each time the next key
  // picture brings it back.
  EXPECT_TRUE(WaitFor([&] { return Starts() >= 3 && decode_.Decoded() >= 150; }, 40000))
      << "starts " << Starts() << ", decoded " << decode_.Decoded();
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  ExpectCleanPictures();
  std::lock_guard<std::mutex> lock(decode_.mutex);
  // Pictures came after the last restart too.
  ASSERT_FALSE(decode_.frame_start.empty());
  EXPECT_GE(decode_.frame_start.back(), 3);
}

TEST_F(PrivateUdpSourceTest, DatagramsFromAForeignAddressNeverAppear) {
  UseCheckingSinks();
  ASSERT_TRUE(sender_.Start(SenderConfig())) << sender_.Error();
  testing::internal::CaptureStderr();
  StartClient();
  // Copies with another stream identifier and half the size come from
  // 127.0.0.2 beside every datagram.
  for (int i = 0; i < 30 && decode_.Decoded() < 60; ++i) {
    sender_.faults().foreign_address_datagrams = 1000;
    qrplat::SleepMs(200);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_GE(decode_.Decoded(), 60);
  EXPECT_NE(log.find("recvfrom other source\n"), std::string::npos);
  EXPECT_EQ(Starts(), 1) << "a foreign datagram restarted the stream";
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(handle_, &out), 1);
  EXPECT_EQ(out.width, 320);
  EXPECT_EQ(out.height, 240);
  ExpectCleanPictures();
}

// The sender check compares the address only: the client does not know the
// port the device sends from.
TEST_F(PrivateUdpSourceTest, DatagramsFromTheDeviceAddressOnAnotherPortAreTaken) {
  UseCheckingSinks();
  ASSERT_TRUE(sender_.Start(SenderConfig())) << sender_.Error();
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return decode_.Decoded() >= 5; }, 15000));
  sender_.faults().foreign_port_datagrams = 1000;
  // Copies of another stream identifier start a stream of their own.
  EXPECT_TRUE(WaitFor([&] { return Starts() >= 2; }, 5000));
}

TEST_F(PrivateUdpSourceTest, AStreamIdentifierChangeRestartsCleanly) {
  UseCheckingSinks();
  ASSERT_TRUE(sender_.Start(SenderConfig())) << sender_.Error();
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return decode_.Decoded() >= 20; }, 15000));

  // Same picture: a new identifier, sequence numbers from 0 again.
  sender_.faults().change_stream = true;
  ASSERT_TRUE(WaitFor([&] { return Starts() == 2; }, 5000));
  int decoded = decode_.Decoded();
  ASSERT_TRUE(WaitFor([&] { return decode_.Decoded() >= decoded + 20; }, 10000));
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    EXPECT_EQ(record_.format_changes, 0) << "the format did not change";
  }

  // Another picture size: the record closes, the new stream shows.
  ASSERT_TRUE(sender_.ChangePictureSize(480, 272));
  ASSERT_TRUE(WaitFor([&] { return Starts() == 3; }, 5000));
  decoded = decode_.Decoded();
  ASSERT_TRUE(WaitFor([&] { return decode_.Decoded() >= decoded + 20; }, 10000));
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(handle_, &out), 1);
  EXPECT_EQ(out.width, 480);
  EXPECT_EQ(out.height, 272);
  {
    std::lock_guard<std::mutex> lock(decode_.mutex);
    EXPECT_EQ(decode_.width, 480);
  }
  {
    std::lock_guard<std::mutex> lock(record_.mutex);
    EXPECT_EQ(record_.format_changes, 1);
    EXPECT_GE(record_.key_starts, 3);
    EXPECT_GT(record_.audio_frames, 0);
  }
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  ExpectCleanPictures();
}

TEST_F(PrivateUdpSourceTest, MalformedDatagramsAreDroppedWithTheirTexts) {
  UseCheckingSinks();
  ASSERT_TRUE(sender_.Start(SenderConfig())) << sender_.Error();
  testing::internal::CaptureStderr();
  StartClient();
  ASSERT_TRUE(WaitFor([&] { return decode_.Decoded() >= 10; }, 15000));
  // Empty, 40-byte and bare-header datagrams, and wrong length fields.
  sender_.faults().malformed_datagrams = 120;
  const int decoded = decode_.Decoded();
  EXPECT_TRUE(WaitFor(
      [&] {
        return sender_.faults().malformed_datagrams.load() == 0 &&
               decode_.Decoded() >= decoded + 30;
      },
      15000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("udp ret length too small\n"), std::string::npos);
  EXPECT_NE(log.find("udp data length err\n"), std::string::npos);
  EXPECT_EQ(log.find("recvfrom <=0"), std::string::npos) << "an empty datagram is no socket error";
  EXPECT_EQ(Starts(), 1);
  ExpectCleanPictures();
}

TEST_F(PrivateUdpSourceTest, StopReturnsPromptlyWhileNoDatagramArrives) {
  StartClient();
  qrplat::SleepMs(300);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 1500);
}

TEST_F(PrivateUdpSourceTest, APortInUseReportsTheLinkLost) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port_);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  testing::internal::CaptureStderr();
  StartClient();
  EXPECT_TRUE(WaitFor([&] { return CountEvents(handle_, 1, 5) == 1; }, 5000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("InitalUDPSocket error\n"), std::string::npos);
  close(fd);
}

}  // namespace
}  // namespace quornet
