// Recording through the C API against the simulated camera: AVI record files
// read back with ffprobe/ffmpeg, alarm record files read back with a reader
// written here from the format table, snapshots decoded with djpeg, segment
// and duration limits, a full disk, and stops racing with the stream.
// Loopback only.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "media/alarm_record_file.h"
#include "media/recorder.h"
#include "media/snapshot_writer.h"
#include "net/media_frames.h"
#include "qrplat/drives.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "record_check.h"
#include "session/client_session.h"

namespace {

namespace fs = std::filesystem;
using devicesim::AudioCodec;
using devicesim::Mode;
using devicesim::VideoCodec;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFps = 25;
constexpr int kGop = 10;

// ---- Notifications (one status callback for the whole binary) --------------

std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<std::pair<uint32_t, int>> g_record_notes;  // (handle, value) of kind 6

// When set, a (6, 4) report starts the next file from inside the callback,
// as a viewer does when a segment ends.
std::atomic<const char*> g_next_segment{nullptr};

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  if (kind != 6) return;
  if (value == 4) {
    if (const char* next = g_next_segment.exchange(nullptr)) {
      QRNET_ClientStartRecord(handle, next, 0);
    }
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_record_notes.push_back({handle, value});
  g_cv.notify_all();
}

std::vector<int> Notes(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<int> v;
  for (auto& n : g_record_notes)
    if (n.first == handle) v.push_back(n.second);
  return v;
}

// Waits until the handle has reported `value` at least `count` times.
bool WaitNote(uint32_t handle, int value, int timeout_ms, int count = 1) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    int seen = 0;
    for (auto& n : g_record_notes) seen += n.first == handle && n.second == value;
    return seen >= count;
  });
}

// ---- Tools ------------------------------------------------------------------------

using quornet::test::DecodeErrors;
using quornet::test::FrameNumbers;
using quornet::test::Probe;
using quornet::test::Shell;

Bytes ReadFile(const fs::path& path) {
  return quornet::test::ReadFileBytes(path);
}

uint32_t U32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t U16(const Bytes& b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}

// ---- Alarm record file reader (from the format table) ---------------------------

struct AlarmRecord {
  uint64_t offset;
  int kind, type;
  uint32_t length;
  uint16_t width, height;
  uint32_t tick;
  const uint8_t* payload;
};
struct AlarmFile {
  std::string error;  // empty when the file parsed
  uint8_t video_payload = 0, audio_code = 0, server_kind = 0, frame_rate = 0;
  uint16_t width = 0, height = 0;
  std::vector<AlarmRecord> records;
  std::vector<std::pair<uint64_t, uint32_t>> index;  // offset, tick
};

AlarmFile ParseAlarmFile(const Bytes& f) {
  AlarmFile a;
  if (f.size() < 39 + 22) return a.error = "too short", a;
  if (std::memcmp(f.data(), "Halvenmoore", 11) != 0) return a.error = "signature", a;
  a.video_payload = f[11];
  a.audio_code = f[12];
  a.width = U16(f, 13);
  a.height = U16(f, 15);
  a.server_kind = f[17];
  for (int i = 7; i <= 26; ++i)
    if (f[11 + i] != 0) return a.error = "stream header byte " + std::to_string(i), a;
  a.frame_rate = f[11 + 27];
  if (std::memcmp(&f[f.size() - 8], "ENDINDEX", 8) != 0) return a.error = "ENDINDEX", a;
  const uint32_t n = U32(f, f.size() - 12);
  if (f.size() < 39 + 22 + 16ull * n) return a.error = "index count", a;
  const size_t begin = f.size() - 22 - 16 * size_t(n);
  if (std::memcmp(&f[begin], "BEGININDEX", 10) != 0) return a.error = "BEGININDEX", a;
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = begin + 10 + 16 * size_t(i);
    const uint64_t off = U32(f, e) | uint64_t(U32(f, e + 4)) << 32;
    if (U32(f, e + 12) != 0) return a.error = "index entry padding", a;
    a.index.push_back({off, U32(f, e + 8)});
  }
  size_t at = 39;
  while (at < begin) {
    if (at + 12 > begin) return a.error = "record header cut", a;
    const uint32_t word = U32(f, at);
    AlarmRecord r{at,
                  int(word & 3),
                  int(word >> 2 & 15),
                  word >> 12,
                  U16(f, at + 4),
                  U16(f, at + 6),
                  U32(f, at + 8),
                  &f[at + 12]};
    if ((word >> 6 & 63) != 0) return a.error = "record bits 6-11", a;
    if (at + 12 + r.length > begin) return a.error = "record payload cut", a;
    a.records.push_back(r);
    at += 12 + r.length;
  }
  return a;
}

// ---- Picture scans and the alarm file writer (bytes only) ----------------------------

TEST(PictureScanTest, SpsIsFoundInFrontOfTheSlicesOnly) {
  // AUD, SEI, SPS, PPS, two IDR slices (a multi-slice access unit).
  const Bytes au = {0, 0, 0, 1,    0x09, 0xF0, 0,    0,    0, 1,    0x06, 5,    1,    0x80,
                    0, 0, 0, 1,    0x67, 0x42, 0xC0, 0x1E, 0, 0,    1,    0x68, 0xCE, 0x3C,
                    0, 0, 1, 0x65, 0x88, 0x84, 0,    0,    1, 0x65, 0x88, 0x94};
  const uint8_t* sps = nullptr;
  size_t sps_size = 0;
  ASSERT_TRUE(quornet::H264PictureHasSps(au.data(), au.size(), &sps, &sps_size));
  EXPECT_EQ(sps, &au[18]);
  EXPECT_EQ(sps_size, 4u);
  // A parameter set behind a slice does not make a key frame.
  const Bytes late = {0, 0, 1, 0x41, 0x9A, 0x02, 0, 0, 1, 0x67, 0x42};
  EXPECT_FALSE(quornet::H264PictureHasSps(late.data(), late.size()));
  // A picture ending in the SPS header byte, and nothing at all.
  const Bytes cut = {0, 0, 0, 1, 0x67};
  EXPECT_TRUE(quornet::H264PictureHasSps(cut.data(), cut.size(), &sps, &sps_size));
  EXPECT_EQ(sps_size, 1u);
  EXPECT_FALSE(quornet::H264PictureHasSps(cut.data(), 3));
  EXPECT_FALSE(quornet::H264PictureHasSps(nullptr, 0));
}

TEST(PictureScanTest, JpegSizeComesFromTheFrameHeaderAndBadMarkersFail) {
  // SOI, APP0 (length 4), SOF0 with height 0x0120 and width 0x0160.
  Bytes j = {0xFF, 0xD8, 0xFF, 0xE0, 0,    4,    0, 0, 0xFF, 0xC0, 0,
             11,   8,    0x01, 0x20, 0x01, 0x60, 1, 1, 0x11, 0};
  int w = 0, h = 0;
  ASSERT_TRUE(quornet::JpegPictureSize(j.data(), j.size(), &w, &h));
  EXPECT_EQ(w, 352);
  EXPECT_EQ(h, 288);
  EXPECT_FALSE(quornet::JpegPictureSize(j.data(), 12, &w, &h));  // SOF0 cut off
  j[5] = 200;                                                    // APP0 runs past the end
  EXPECT_FALSE(quornet::JpegPictureSize(j.data(), j.size(), &w, &h));
  j[5] = 1;  // length below 2
  EXPECT_FALSE(quornet::JpegPictureSize(j.data(), j.size(), &w, &h));
}

// Refuses every byte past `limit` with ENOSPC, the way a full disk does.
struct FullDisk {
  uint64_t limit;
  static long Write(void* ctx, int fd, const void* data, size_t len, uint64_t offset) {
    auto* self = static_cast<FullDisk*>(ctx);
    if (offset >= self->limit) {
      errno = ENOSPC;
      return -1;
    }
    const size_t n = size_t(std::min<uint64_t>(len, self->limit - offset));
    return long(pwrite(fd, data, n, off_t(offset)));
  }
};

TEST(AlarmRecordFileTest, FullDiskKeepsWholeRecordsAndRoomForTheIndex) {
  const fs::path path = fs::temp_directory_path() / ("qr-alarm-" + std::to_string(getpid()));
  // Room for the header and a few records, reached in the middle of a buffer
  // flush: the last records on disk are cut, and the index needs room too.
  // 39 header bytes + 4 records of 712 bytes fit, with 50 bytes to spare:
  // too few for an index of 4 entries (86 bytes), enough for one of 3.
  FullDisk disk{39 + 4 * 712 + 50};
  quornet::CAlarmRecordFile file;
  ASSERT_TRUE(file.Open(std::fopen(path.c_str(), "wb"), &FullDisk::Write, &disk));
  quornet::AlarmStreamHeader h;
  h.video_payload = 26;
  h.width = 64;
  h.height = 48;
  ASSERT_TRUE(file.WriteHeader(h));
  Bytes payload(700, 0xAB);
  uint8_t head[12] = {};
  bool ok = true;
  int written = 0;
  // 600 records of 712 bytes fill the 512 KiB buffer at least once.
  for (int i = 0; i < 1000 && ok; ++i, ++written) {
    quornet::PackRecordFrameHeader(head, 0, 0, uint32_t(payload.size()), 64, 48, uint32_t(i));
    ok = file.WriteRecord(head, payload.data(), payload.size(), uint32_t(i), true);
  }
  EXPECT_FALSE(ok);
  EXPECT_TRUE(file.failed());
  const auto result = file.Close();
  EXPECT_TRUE(result.write_failed);

  const Bytes f = ReadFile(path);
  fs::remove(path);
  EXPECT_LE(f.size(), disk.limit);
  const AlarmFile a = ParseAlarmFile(f);
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(a.records.size(), 3u);
  EXPECT_EQ(a.index.size(), a.records.size());
  EXPECT_EQ(a.index.size(), result.index_entries);
  for (size_t i = 0; i < a.records.size(); ++i) {
    EXPECT_EQ(a.index[i].first, a.records[i].offset);
    EXPECT_EQ(a.records[i].length, payload.size());
  }
}

// ---- Fixture ----------------------------------------------------------------------

struct Stream {
  const char* name;
  VideoCodec video;
  AudioCodec audio;
  uint16_t transport;
  Mode mode;
};

class RecorderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { QRNET_Startup(0, 0, &OnStatus, 0); }

  void SetUp() override {
    // A death test's child process (the test binary run again) works in its
    // parent's directory.
    const char* shared = getenv("QR_RECORDER_TEST_DIR");
    dir_ = shared != nullptr
               ? fs::path(shared)
               : fs::temp_directory_path() / ("qr-recorder-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("QRPLAT_AUDIO", "null", 1);
    setenv("QRPLAT_DRIVES", ("D=" + dir_.string()).c_str(), 1);
    qrplat::ReloadDriveMap();
    QRNET_SetWaitTime(5, 1, 1);
    host_ = std::make_shared<qrplat::MemoryWindowHost>(kWidth, kHeight);
    window_ = qrplat::RegisterWindow(host_);
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    handle_ = 0;
    qrplat::UnregisterWindow(window_);
    device_.Stop();
    unsetenv("QRPLAT_DRIVES");
    qrplat::ReloadDriveMap();
    fs::remove_all(dir_);
  }

  bool StartDevice(const Stream& s, int gop = kGop) {
    devicesim::Config cfg;
    cfg.codec = s.video;
    cfg.audio = s.audio;
    cfg.mode = s.mode;
    cfg.width = kWidth;
    cfg.height = kHeight;
    cfg.fps = kFps;
    cfg.gop = gop;
    cfg.session_timeout = std::chrono::milliseconds(0);
    return device_.Start(cfg, 0);
  }

  uint32_t StartClient(uint16_t transport) {
    QRNET_ClientParam p{};
    p.transport = transport;
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = window_;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device_.Port()));
    handle_ = QRNET_ClientStart(&p);
    return handle_;
  }

  // Waits until pictures are shown (the stream runs).
  bool WaitPictures(int n = 5) { return host_->WaitPresents(uint64_t(n), 15000); }

  fs::path dir_;
  devicesim::Device device_;
  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  uint32_t handle_ = 0;
};

// ---- Record files of every stream kind ------------------------------------------

class RecordFileTest : public RecorderTest, public ::testing::WithParamInterface<Stream> {};

TEST_P(RecordFileTest, RecordedFileHoldsEveryFrameFromAKeyFrameOn) {
  const Stream& s = GetParam();
  ASSERT_TRUE(StartDevice(s)) << device_.Error();
  ASSERT_NE(StartClient(s.transport), 0u);
  ASSERT_TRUE(WaitPictures());

  const std::string path = std::string("D:\\rec\\") + s.name + "\\file.avi";
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  // Running already: the path stays.
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, "D:\\rec\\other.avi", 5), 1);
  EXPECT_TRUE(WaitNote(handle_, 0, 5000)) << "no header written";
  qrplat::SleepMs(3000);
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(WaitNote(handle_, 1, 1000));
  EXPECT_EQ(QRNET_ClientStopRecord(handle_), 1);  // not recording
  EXPECT_FALSE(fs::exists(dir_ / "rec" / "other.avi"));

  const fs::path file = dir_ / "rec" / s.name / "file.avi";
  ASSERT_TRUE(fs::exists(file));
  std::string noise;
  const auto streams = Probe(file, &noise);
  EXPECT_EQ(noise, "");
  const bool audio = s.audio != AudioCodec::kNone;
  ASSERT_EQ(streams.size(), audio ? 2u : 1u);
  EXPECT_EQ(streams[0].at("codec_name"), s.video == VideoCodec::kH264 ? "h264" : "mjpeg");
  EXPECT_EQ(streams[0].at("width"), std::to_string(kWidth));
  EXPECT_EQ(streams[0].at("height"), std::to_string(kHeight));
  const int frames = std::stoi(streams[0].at("nb_read_packets"));
  EXPECT_LE(frames, int(seconds * kFps) + 3);
  EXPECT_GE(frames, int(seconds * kFps) - kGop - 8);
  if (audio) {
    EXPECT_EQ(streams[1].at("codec_name"), "pcm_s16le");
    EXPECT_EQ(streams[1].at("sample_rate"), s.audio == AudioCodec::kAac ? "16000" : "8000");
    EXPECT_EQ(streams[1].at("channels"), "1");
  }
  EXPECT_EQ(DecodeErrors(file), "");

  // Every picture decodes (the first one is a key frame) and none is missing.
  const std::vector<uint32_t> numbers = FrameNumbers(file, kWidth, kHeight);
  ASSERT_EQ(int(numbers.size()), frames);
  for (size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "picture " << i;
  }
  if (s.video == VideoCodec::kH264) {
    EXPECT_EQ(numbers[0] % kGop, 0u) << "the first picture is no IDR picture";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RecordFileTest,
    ::testing::Values(Stream{"tcp_h264_pcma_generic", VideoCodec::kH264, AudioCodec::kPcma,
                             QRNET_TRANSPORT_RTSP_TCP, Mode::kGeneric},
                      Stream{"tcp_h264_none_banner", VideoCodec::kH264, AudioCodec::kNone,
                             QRNET_TRANSPORT_RTSP_TCP, Mode::kBanner},
                      Stream{"tcp_mjpeg_aac_generic", VideoCodec::kMjpeg, AudioCodec::kAac,
                             QRNET_TRANSPORT_RTSP_TCP, Mode::kGeneric},
                      Stream{"udp_h264_aac_banner", VideoCodec::kH264, AudioCodec::kAac,
                             QRNET_TRANSPORT_RTSP_UDP, Mode::kBanner},
                      Stream{"udp_mjpeg_none_generic", VideoCodec::kMjpeg, AudioCodec::kNone,
                             QRNET_TRANSPORT_RTSP_UDP, Mode::kGeneric},
                      Stream{"udp_h264_g726_generic", VideoCodec::kH264, AudioCodec::kG726_32,
                             QRNET_TRANSPORT_RTSP_UDP, Mode::kGeneric}),
    [](const ::testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

// ---- A third-party server ------------------------------------------------------------

// GStreamer's gst-rtsp-server on loopback (scripts/gst-rtsp-server.py).
class GstServer {
 public:
  ~GstServer() { Stop(); }
  // Starts the server; the URL path and port once it printed its READY line.
  bool Start(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<std::string> argv = {"/usr/bin/python3",
                                       std::string(QR_SOURCE_DIR) + "/scripts/gst-rtsp-server.py"};
      argv.insert(argv.end(), args.begin(), args.end());
      std::vector<char*> c;
      for (auto& a : argv) c.push_back(a.data());
      c.push_back(nullptr);
      execv(c[0], c.data());
      _exit(127);
    }
    close(out[1]);
    if (pid_ < 0) {
      close(out[0]);
      return false;
    }
    FILE* f = fdopen(out[0], "r");
    char line[256];
    const bool ready = f != nullptr && std::fgets(line, sizeof line, f) != nullptr;
    if (f != nullptr) std::fclose(f);
    unsigned port = 0;
    if (!ready || std::sscanf(line, "READY rtsp://127.0.0.1:%u/", &port) != 1) return false;
    port_ = port;
    return true;
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  unsigned port() const { return port_; }

 private:
  pid_t pid_ = -1;
  unsigned port_ = 0;
};

bool HaveGstRtspServer() {
  return std::system(
             "/usr/bin/python3 -c \"import gi; gi.require_version('GstRtspServer','1.0')\""
             " >/dev/null 2>&1") == 0;
}

struct GstCase {
  const char* name;
  const char* video;
  const char* audio;
  uint16_t transport;
  const char* codec_name;
  const char* sample_rate;  // "" without audio
};

class GstRecordTest : public RecorderTest, public ::testing::WithParamInterface<GstCase> {};

TEST_P(GstRecordTest, RecordFromAThirdPartyServerIsClean) {
  if (!HaveGstRtspServer()) GTEST_SKIP() << "gst-rtsp-server not installed";
  const GstCase& c = GetParam();
  GstServer server;
  ASSERT_TRUE(
      server.Start({"--video", c.video, "--audio", c.audio, "--size", "352x288", "--fps", "25"}));
  QRNET_ClientParam p{};
  p.transport = c.transport;
  p.view_flag = 1;
  p.channel = 1;
  p.video_window = window_;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u/stream", server.port());
  handle_ = QRNET_ClientStart(&p);
  ASSERT_NE(handle_, 0u);
  for (int i = 0; i < 150 && host_->PresentCount() < 5; ++i) {
    // Recording is only asked of servers the transport views.
    if (QRNET_GetClientState(handle_) == 5) GTEST_SKIP() << "the transport does not view it";
    qrplat::SleepMs(100);
  }
  ASSERT_TRUE(WaitPictures());
  const std::string path = std::string("D:\\gst\\") + c.name + ".avi";
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
  ASSERT_TRUE(WaitNote(handle_, 0, 6000));
  qrplat::SleepMs(2000);
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  server.Stop();

  const fs::path file = dir_ / "gst" / (std::string(c.name) + ".avi");
  std::string noise;
  const auto streams = Probe(file, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), c.sample_rate[0] ? 2u : 1u);
  EXPECT_EQ(streams[0].at("codec_name"), c.codec_name);
  EXPECT_EQ(streams[0].at("width"), "352");
  EXPECT_EQ(streams[0].at("height"), "288");
  EXPECT_GE(std::stoi(streams[0].at("nb_read_packets")), 2 * kFps - 5);
  if (c.sample_rate[0]) {
    EXPECT_EQ(streams[1].at("sample_rate"), c.sample_rate);
  }
  EXPECT_EQ(DecodeErrors(file), "");
}

INSTANTIATE_TEST_SUITE_P(Gst, GstRecordTest,
                         ::testing::Values(GstCase{"tcp_h264_pcmu", "h264", "pcmu",
                                                   QRNET_TRANSPORT_RTSP_TCP, "h264", "8000"},
                                           GstCase{"udp_mjpeg_aac", "mjpeg", "aac",
                                                   QRNET_TRANSPORT_RTSP_UDP, "mjpeg", "16000"}),
                         [](const ::testing::TestParamInfo<GstCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Segment length, alarm files ---------------------------------------------------

TEST_F(RecorderTest, SegmentLengthEndsTheFileCompleteAndReportsIt) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcmu, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  // The next file is started from the status callback's report (on the
  // receiving thread, while the recorder is at work).
  g_next_segment.store("D:\\seg\\b.avi");
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, "D:\\seg\\a.avi", 2), 1);
  ASSERT_TRUE(WaitNote(handle_, 4, 6000));
  ASSERT_TRUE(WaitNote(handle_, 0, 3000, 2)) << "the next file did not start";
  EXPECT_EQ(Notes(handle_), (std::vector<int>{0, 1, 4, 0}));
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);

  const fs::path a = dir_ / "seg" / "a.avi";
  std::string noise;
  const auto streams = Probe(a, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  const int frames = std::stoi(streams[0].at("nb_read_packets"));
  EXPECT_GE(frames, 2 * kFps - kGop - 5);
  EXPECT_LE(frames, 2 * kFps + 5);
  EXPECT_EQ(DecodeErrors(a), "");
  EXPECT_TRUE(fs::exists(dir_ / "seg" / "b.avi"));
}

// A generic server announces no size, so only the pictures tell that the
// stream came back in another format.
TEST_F(RecorderTest, StreamBackWithAnotherPictureSizeEndsTheFiles) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcma, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, "D:\\resize\\a.avi", 0), 1);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\resize\\a.264", 0), 1);
  ASSERT_TRUE(WaitNote(handle_, 0, 5000));
  qrplat::SleepMs(1200);
  device_.faults().next_width.store(352);
  device_.faults().next_height.store(288);
  device_.faults().close_after_seconds.store(1);
  ASSERT_TRUE(WaitNote(handle_, 4, 15000));
  device_.faults().close_after_seconds.store(0);
  EXPECT_TRUE(WaitNote(handle_, 3, 1000));
  EXPECT_EQ(QRNET_ClientStopRecord(handle_), 1);

  const fs::path avi = dir_ / "resize" / "a.avi";
  std::string noise;
  const auto streams = Probe(avi, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].at("width"), std::to_string(kWidth));
  EXPECT_EQ(streams[0].at("height"), std::to_string(kHeight));
  EXPECT_EQ(DecodeErrors(avi), "");
  const AlarmFile a = ParseAlarmFile(ReadFile(dir_ / "resize" / "a.264"));
  ASSERT_EQ(a.error, "");
  for (const AlarmRecord& r : a.records) {
    if (r.kind == 0) {
      ASSERT_EQ(r.width, kWidth);
    }
  }
}

TEST_F(RecorderTest, AlarmFileHasItsHeaderRecordsAndAnIndexOfKeyFrames) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcma, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\alarm\\a.264", 2), 1);
  ASSERT_TRUE(WaitNote(handle_, 5, 6000)) << "duration not reached";
  EXPECT_EQ(Notes(handle_), (std::vector<int>{2, 3, 5}));

  const Bytes f = ReadFile(dir_ / "alarm" / "a.264");
  const AlarmFile a = ParseAlarmFile(f);
  ASSERT_EQ(a.error, "");
  EXPECT_EQ(a.video_payload, 96);
  EXPECT_EQ(a.audio_code, 1);
  EXPECT_EQ(a.width, kWidth);  // from the stream's SPS: a generic server announces none
  EXPECT_EQ(a.height, kHeight);
  EXPECT_EQ(a.server_kind, 0);
  EXPECT_GE(a.frame_rate, 1);
  EXPECT_LE(a.frame_rate, 30);

  ASSERT_FALSE(a.records.empty());
  EXPECT_EQ(a.records[0].kind, 0);
  EXPECT_EQ(a.records[0].type, 7) << "the file starts with a key frame";
  int video = 0, audio = 0;
  std::map<uint64_t, const AlarmRecord*> by_offset;
  for (const AlarmRecord& r : a.records) {
    by_offset[r.offset] = &r;
    if (r.kind == 0) {
      ++video;
      EXPECT_EQ(r.width, kWidth);
      EXPECT_EQ(std::memcmp(r.payload, "\0\0\0\1", 4), 0);
    } else {
      ASSERT_EQ(r.kind, 1);
      ++audio;
      EXPECT_EQ(r.type, 1);
      // Voice frame: 0x0100, word count, then the G.711 bytes.
      EXPECT_EQ(r.payload[0], 0x00);
      EXPECT_EQ(r.payload[1], 0x01);
      EXPECT_EQ(size_t(r.payload[2] | r.payload[3] << 8) * 2 + 4, r.length);
    }
  }
  EXPECT_GE(video, 2 * kFps - kGop - 5);
  EXPECT_GT(audio, 0);
  ASSERT_GE(a.index.size(), 2u);
  for (const auto& [offset, tick] : a.index) {
    ASSERT_TRUE(by_offset.count(offset)) << "index entry between records";
    EXPECT_EQ(by_offset[offset]->kind, 0);
    EXPECT_EQ(by_offset[offset]->type, 7);
    EXPECT_EQ(by_offset[offset]->tick, tick);
  }
  int keys = 0;
  for (const AlarmRecord& r : a.records) keys += r.kind == 0 && r.type == 7;
  EXPECT_EQ(size_t(keys), a.index.size());
}

TEST_F(RecorderTest, RecorderSchemeLiveAndReplayRecord) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcmu, 0, Mode::kRecorder}));
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_UDP;
  p.view_flag = 1;
  p.channel = 12;
  p.video_window = window_;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device_.Port()));
  handle_ = QRNET_ClientStart(&p);
  ASSERT_NE(handle_, 0u);
  ASSERT_TRUE(WaitPictures());
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\nvr\\live.264", 0), 1);
  ASSERT_TRUE(WaitNote(handle_, 2, 5000));
  qrplat::SleepMs(1000);
  ASSERT_EQ(QRNET_ClientStopAlarmRecord(handle_), 1);
  const AlarmFile live = ParseAlarmFile(ReadFile(dir_ / "nvr" / "live.264"));
  ASSERT_EQ(live.error, "");
  EXPECT_EQ(live.server_kind, 2);
  EXPECT_FALSE(live.index.empty());
  ASSERT_EQ(QRNET_ClientStop(handle_), 1);

  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  handle_ = QRNET_ClientNVRReplay(&p, "20240102030405", 0);
  ASSERT_NE(handle_, 0u);
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, "D:\\nvr\\replay.avi", 0), 1);
  ASSERT_TRUE(WaitNote(handle_, 0, 8000));
  qrplat::SleepMs(1500);
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  const fs::path avi = dir_ / "nvr" / "replay.avi";
  std::string noise;
  const auto streams = Probe(avi, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].at("width"), std::to_string(kWidth));
  EXPECT_GT(std::stoi(streams[0].at("nb_read_packets")), kFps / 2);
  EXPECT_EQ(DecodeErrors(avi), "");
}

TEST_F(RecorderTest, AlarmExtensionCountsFromNowAndIsCapped) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kMjpeg, AudioCodec::kNone, 0, Mode::kBanner}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  auto session = quornet::CClientSession::Find(handle_);
  ASSERT_TRUE(session);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\ext\\a.mjp", 3), 1);
  EXPECT_EQ(session->alarm_record_duration.load(), 3000);
  qrplat::SleepMs(1000);
  const uint32_t ran = qrplat::TickCount() - uint32_t(session->alarm_record_start_tick.load());
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\ext\\ignored.mjp", 6), 1);
  EXPECT_GE(session->alarm_record_duration.load(), int32_t(6000 + ran));
  EXPECT_LE(session->alarm_record_duration.load(), int32_t(6000 + ran + 500));
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "", 1799), 1);
  EXPECT_EQ(session->alarm_record_duration.load(), quornet::kMaxAlarmDurationMs);
  ASSERT_EQ(QRNET_ClientStopAlarmRecord(handle_), 1);
  EXPECT_FALSE(fs::exists(dir_ / "ext" / "ignored.mjp"));
  const AlarmFile a = ParseAlarmFile(ReadFile(dir_ / "ext" / "a.mjp"));
  ASSERT_EQ(a.error, "");
  EXPECT_EQ(a.video_payload, 26);
  EXPECT_EQ(a.audio_code, 255);
  EXPECT_EQ(a.server_kind, 1);
  EXPECT_EQ(a.index.size(), a.records.size()) << "every JPEG picture is a key frame";
}

TEST_F(RecorderTest, RecordingsStoppedBeforeTheFirstKeyFrameLeaveNoFile) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcma, 0, Mode::kGeneric}));
  // Every reply is held back: the client exists, but no frame arrives yet.
  device_.faults().reply_delay_ms.store(1500);
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  qrplat::SleepMs(200);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\early\\a.264", 30), 1);
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, "D:\\early\\a.avi", 0), 1);
  EXPECT_TRUE(fs::exists(dir_ / "early" / "a.264"));
  ASSERT_EQ(QRNET_ClientStopAlarmRecord(handle_), 1);
  ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  EXPECT_FALSE(fs::exists(dir_ / "early" / "a.264"));
  EXPECT_FALSE(fs::exists(dir_ / "early" / "a.avi"));
  EXPECT_EQ(Notes(handle_), (std::vector<int>{3, 1}));
}

TEST_F(RecorderTest, ExportsRefuseBadArguments) {
  EXPECT_EQ(QRNET_ClientStartRecord(0, "D:\\x.avi", 0), 0);
  EXPECT_EQ(QRNET_ClientStopRecord(0), 0);
  EXPECT_EQ(QRNET_ClientStartAlarmRecord(0, "D:\\x.264", 5), 0);
  EXPECT_EQ(QRNET_ClientStopAlarmRecord(0), 0);
  EXPECT_EQ(QRNET_ClientCapturePicture(0, "D:\\x.jpg"), 0);
  ASSERT_TRUE(StartDevice({"", VideoCodec::kMjpeg, AudioCodec::kNone, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, "", 0), 0);
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, nullptr, 0), 0);
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, "no-separator.avi", 0), 0);
  EXPECT_EQ(QRNET_ClientStartAlarmRecord(handle_, "", 5), 0);
  EXPECT_EQ(QRNET_ClientCapturePicture(handle_, ""), 0);
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, "Q:\\no-such-drive\\x.avi", 0), 0);
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, "D:\\..\\escape\\x.avi", 0), 0);
  std::string long_path = "D:\\" + std::string(600, 'a') + ".avi";
  EXPECT_EQ(QRNET_ClientStartRecord(handle_, long_path.c_str(), 0), 0);
  EXPECT_EQ(QRNET_ClientStopRecord(handle_), 1);
  EXPECT_EQ(QRNET_ClientStopAlarmRecord(handle_), 1);
}

// ---- Snapshots --------------------------------------------------------------------

// Quantisation tables of a JPEG file in natural order (DQT stores zigzag).
std::map<int, std::vector<int>> QuantTables(const Bytes& f) {
  static const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  std::map<int, std::vector<int>> tables;
  for (size_t i = 2; i + 4 < f.size();) {
    if (f[i] != 0xFF) break;
    const int marker = f[i + 1];
    const size_t len = size_t(f[i + 2]) << 8 | f[i + 3];
    if (marker == 0xDB) {
      for (size_t at = i + 4; at + 65 <= i + 2 + len; at += 65) {
        std::vector<int> t(64);
        for (int k = 0; k < 64; ++k) t[kZigzag[k]] = f[at + 1 + k];
        tables[f[at] & 15] = t;
      }
    }
    if (marker == 0xDA) break;
    i += 2 + len;
  }
  return tables;
}

TEST(SnapshotJpegTest, FileIsBaselineJfifWithScaledAnnexKTables) {
  constexpr int w = 64, h = 48;
  Bytes y(w * h), u(w * h / 4), v(w * h / 4);
  for (int i = 0; i < w * h; ++i) y[i] = uint8_t(i * 7);
  for (size_t i = 0; i < u.size(); ++i) u[i] = uint8_t(64 + i), v[i] = uint8_t(192 - i);
  quornet::YuvPlanes p;
  p.y = y.data();
  p.u = u.data();
  p.v = v.data();
  p.y_stride = w;
  p.uv_stride = w / 2;
  p.width = w;
  p.height = h;
  Bytes jpeg;
  ASSERT_TRUE(quornet::EncodeSnapshotJpeg(p, &jpeg));
  // SOI, APP0 "JFIF\0" 1.01, units 0, density 1 x 1, no thumbnail.
  const Bytes app0 = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F',
                      0,    1,    1,    0,    0, 1,  0,   1,   0,   0};
  ASSERT_GE(jpeg.size(), app0.size());
  EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 20), app0);
  auto tables = QuantTables(jpeg);
  ASSERT_EQ(tables.size(), 2u);
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(tables[0][k],
              std::clamp<int>((30 * quornet::kAnnexKLuminance[k] + 50) / 100, 1, 255));
    EXPECT_EQ(tables[1][k],
              std::clamp<int>((30 * quornet::kAnnexKChrominance[k] + 50) / 100, 1, 255));
  }
  // SOF0: 8 bits, 48 x 64, components 1 1x1 table 0, 2 and 3 1x1 table 1.
  const Bytes sof = {0xFF, 0xC0, 0, 17, 8, 0, h, 0, w, 3, 1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
  EXPECT_NE(std::search(jpeg.begin(), jpeg.end(), sof.begin(), sof.end()), jpeg.end());
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
}

TEST_F(RecorderTest, SnapshotShowsThePictureOnScreen) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kNone, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures(10));
  const auto before = devicesim::frame_code::DecodeBgrx(
      reinterpret_cast<const uint8_t*>(host_->LastImage().pixels.data()), kWidth * 4, kWidth,
      kHeight);
  ASSERT_TRUE(before.has_value());
  ASSERT_EQ(QRNET_ClientCapturePicture(handle_, "D:\\snap\\one.jpg"), 1);
  const fs::path file = dir_ / "snap" / "one.jpg";
  for (int i = 0; i < 100 && !fs::exists(file); ++i) qrplat::SleepMs(20);
  quornet::WaitForSnapshotsWritten();
  const auto after = devicesim::frame_code::DecodeBgrx(
      reinterpret_cast<const uint8_t*>(host_->LastImage().pixels.data()), kWidth * 4, kWidth,
      kHeight);
  ASSERT_TRUE(fs::exists(file));

  // djpeg decodes it; its luma carries a frame number shown around the request.
  const fs::path pgm = dir_ / "snap" / "one.pgm";
  EXPECT_EQ(Shell("djpeg -grayscale -pnm -outfile '" + pgm.string() + "' '" + file.string() + "'"),
            "");
  const Bytes img = ReadFile(pgm);
  const std::string head =
      "P5\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
  ASSERT_GT(img.size(), head.size());
  ASSERT_EQ(std::string(img.begin(), img.begin() + head.size()), head);
  const auto shot = devicesim::frame_code::DecodeLuma(&img[head.size()], kWidth, kWidth, kHeight);
  ASSERT_TRUE(shot.has_value());
  EXPECT_GE(*shot, *before);
  EXPECT_LE(*shot, *after);
  const auto tables = QuantTables(ReadFile(file));
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables.at(0)[0], (30 * 16 + 50) / 100);
}

// ---- Failures and races ------------------------------------------------------------

// Runs in a child process (re-executed test binary) with a file size limit:
// both recordings run into it and end on their own.
void RecordIntoFileSizeLimit(const fs::path& dir, uint16_t port) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{200 * 1024, 200 * 1024};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
  QRNET_Startup(0, 0, &OnStatus, 0);
  setenv("QRPLAT_DRIVES", ("D=" + dir.string()).c_str(), 1);
  qrplat::ReloadDriveMap();
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  p.view_flag = 0;
  p.channel = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port));
  const uint32_t h = QRNET_ClientStart(&p);
  if (h == 0) _exit(3);
  if (QRNET_ClientStartRecord(h, "D:\\full\\a.avi", 0) != 1) _exit(4);
  if (QRNET_ClientStartAlarmRecord(h, "D:\\full\\a.264", 0) != 1) _exit(5);
  const bool stopped = WaitNote(h, 1, 20000) && WaitNote(h, 3, 20000);
  const std::vector<int> notes = Notes(h);
  QRNET_ClientStop(h);
  if (!stopped) _exit(6);
  for (int v : notes)
    if (v == 4 || v == 5) _exit(7);  // a full disk is no segment end
  _exit(0);
}

TEST_F(RecorderTest, FileSizeLimitKeepsWhatWasRecordedReadable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Stream s{"", VideoCodec::kMjpeg, AudioCodec::kPcmu, 0, Mode::kGeneric};
  ASSERT_TRUE(StartDevice(s));
  setenv("QR_RECORDER_TEST_DIR", dir_.c_str(), 1);
  EXPECT_EXIT(RecordIntoFileSizeLimit(dir_, device_.Port()), ::testing::ExitedWithCode(0), "");
  unsetenv("QR_RECORDER_TEST_DIR");

  const fs::path avi = dir_ / "full" / "a.avi";
  ASSERT_TRUE(fs::exists(avi));
  EXPECT_LE(fs::file_size(avi), 200u * 1024);
  std::string noise;
  const auto streams = Probe(avi, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_GT(std::stoi(streams[0].at("nb_read_packets")), 3);
  EXPECT_EQ(DecodeErrors(avi), "");

  const AlarmFile a = ParseAlarmFile(ReadFile(dir_ / "full" / "a.264"));
  ASSERT_EQ(a.error, "");
  EXPECT_GT(a.index.size(), 3u);
  EXPECT_EQ(a.index.size(), size_t(std::count_if(a.records.begin(), a.records.end(),
                                                 [](auto& r) { return r.kind == 0; })));
}

TEST_F(RecorderTest, ClientStopFromAnotherThreadFinishesBothFiles) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kH264, AudioCodec::kPcma, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_UDP), 0u);
  ASSERT_TRUE(WaitPictures());
  ASSERT_EQ(QRNET_ClientStartRecord(handle_, "D:\\stop\\a.avi", 0), 1);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(handle_, "D:\\stop\\a.264", 0), 1);
  ASSERT_TRUE(WaitNote(handle_, 0, 5000));
  qrplat::SleepMs(1000);
  const uint32_t h = handle_;
  std::thread stopper([h] { EXPECT_EQ(QRNET_ClientStop(h), 1); });
  stopper.join();
  handle_ = 0;
  const std::vector<int> notes = Notes(h);
  EXPECT_NE(std::find(notes.begin(), notes.end(), 1), notes.end());
  EXPECT_NE(std::find(notes.begin(), notes.end(), 3), notes.end());

  std::string noise;
  const auto streams = Probe(dir_ / "stop" / "a.avi", &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_GE(std::stoi(streams[0].at("nb_read_packets")), kFps - kGop);
  EXPECT_EQ(DecodeErrors(dir_ / "stop" / "a.avi"), "");
  const AlarmFile a = ParseAlarmFile(ReadFile(dir_ / "stop" / "a.264"));
  EXPECT_EQ(a.error, "");
  EXPECT_FALSE(a.index.empty());
}

TEST_F(RecorderTest, ManyStartStopCyclesWhileFramesArrive) {
  ASSERT_TRUE(StartDevice({"", VideoCodec::kMjpeg, AudioCodec::kPcmu, 0, Mode::kGeneric}));
  ASSERT_NE(StartClient(QRNET_TRANSPORT_RTSP_TCP), 0u);
  ASSERT_TRUE(WaitPictures());
  std::atomic<bool> done{false};
  // Another thread takes snapshots and toggles the alarm file meanwhile.
  std::thread other([&] {
    for (int i = 0; !done.load(); ++i) {
      QRNET_ClientCapturePicture(handle_, "D:\\cycle\\shot.jpg");
      QRNET_ClientStartAlarmRecord(handle_, "D:\\cycle\\alarm.mjp", 1);
      qrplat::SleepMs(15);
      QRNET_ClientStopAlarmRecord(handle_);
    }
  });
  for (int i = 0; i < 30; ++i) {
    const std::string path = "D:\\cycle\\" + std::to_string(i % 3) + ".avi";
    ASSERT_EQ(QRNET_ClientStartRecord(handle_, path.c_str(), 1), 1);
    qrplat::SleepMs(i % 5 * 20);
    ASSERT_EQ(QRNET_ClientStopRecord(handle_), 1);
  }
  done.store(true);
  other.join();
  quornet::WaitForSnapshotsWritten();
  for (const auto& e : fs::directory_iterator(dir_ / "cycle")) {
    if (e.path().extension() != ".avi") continue;
    std::string noise;
    Probe(e.path(), &noise);
    EXPECT_EQ(noise, "") << e.path();
  }
}

}  // namespace
