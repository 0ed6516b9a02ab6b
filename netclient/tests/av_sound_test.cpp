// Audio decoding and the sound thread: frames encoded by libavcodec go
// through a real conduit, CAudioDec and the 16-buffer player into the "wav"
// audio back end, and the files are read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "api/process_state.h"
#include "media/audio_dec.h"
#include "media/av_sound.h"
#include "net/av_source.h"
#include "qrplat/drives.h"
#include "quornet.h"
#include "session/client_session.h"
#include "session/conduit.h"
#include "tests/idle_source.h"
#include "tests/test_signals.h"

namespace quornet {
namespace {

using test::IdleSource;
using test::Rms;
using test::Tone;
using test::ToneShare;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

// ---- Signals ----------------------------------------------------------------------

// ---- libavcodec encoders ----------------------------------------------------------

// Encodes mono PCM with a libavcodec encoder and returns its packets.
Frames Encode(const char* name, int rate, int64_t bit_rate, const std::vector<int16_t>& pcm) {
  Frames out;
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = rate;
  ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  av_channel_layout_default(&ctx->ch_layout, 1);
  ctx->bit_rate = bit_rate;
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  const bool planar_float = ctx->sample_fmt == AV_SAMPLE_FMT_FLTP;
  const size_t step = ctx->frame_size > 0 ? size_t(ctx->frame_size) : 160;
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      out.emplace_back(pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  };
  for (size_t at = 0; at < pcm.size(); at += step) {
    // The AAC encoder wants whole frames (zero padded); the others take a
    // short last frame.
    const size_t n = planar_float ? step : std::min(step, pcm.size() - at);
    frame->nb_samples = int(n);
    frame->format = ctx->sample_fmt;
    frame->sample_rate = rate;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(frame, 0);
    for (size_t i = 0; i < n; ++i) {
      const int16_t s = at + i < pcm.size() ? pcm[at + i] : 0;
      if (planar_float) {
        reinterpret_cast<float*>(frame->data[0])[i] = s / 32768.0f;
      } else {
        reinterpret_cast<int16_t*>(frame->data[0])[i] = s;
      }
    }
    avcodec_send_frame(ctx, frame);
    av_frame_unref(frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

// Cuts a byte stream into RTP-sized payloads.
Frames Slice(const Frames& packets, size_t bytes) {
  Bytes all;
  for (const Bytes& p : packets) all.insert(all.end(), p.begin(), p.end());
  Frames out;
  for (size_t at = 0; at < all.size(); at += bytes)
    out.emplace_back(all.begin() + at, all.begin() + std::min(all.size(), at + bytes));
  return out;
}

// Puts the RFC 3640 AU-header section (AU-headers-length 16 bits, then the
// 13-bit AU size and 3-bit index) in front of each AAC access unit, as the
// RTP receivers hand them on.
Frames WithAuHeaders(const Frames& aus) {
  Frames out;
  for (const Bytes& au : aus) {
    Bytes f = {0x00, 0x10, uint8_t(au.size() >> 5), uint8_t((au.size() & 0x1F) << 3)};
    f.insert(f.end(), au.begin(), au.end());
    out.push_back(std::move(f));
  }
  return out;
}

Frames PcmFrames(const std::vector<int16_t>& pcm, size_t samples_per_frame) {
  Frames out;
  for (size_t at = 0; at < pcm.size(); at += samples_per_frame) {
    const size_t n = std::min(samples_per_frame, pcm.size() - at);
    const auto* p = reinterpret_cast<const uint8_t*>(pcm.data() + at);
    out.emplace_back(p, p + 2 * n);
  }
  return out;
}

// ---- Environment, files ----------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "av_sound_XXXXXX").string();
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

struct Wav {
  bool ok = false;
  int channels = 0, rate = 0, bits = 0;
  std::vector<int16_t> samples;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

// Walks the RIFF chunks of a WAV file (every length checked).
Wav ReadWav(const std::string& path) {
  Wav w;
  std::ifstream in(path, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    return w;
  bool have_fmt = false;
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t len = Le32(&b[at + 4]);
    if (len > b.size() - at - 8) return w;
    const uint8_t* body = &b[at + 8];
    if (!std::memcmp(&b[at], "fmt ", 4) && len >= 16) {
      if (Le16(body) != 1) return w;
      w.channels = Le16(body + 2);
      w.rate = int(Le32(body + 4));
      w.bits = Le16(body + 14);
      have_fmt = true;
    } else if (!std::memcmp(&b[at], "data", 4)) {
      w.samples.resize(len / 2);
      if (!w.samples.empty()) std::memcpy(w.samples.data(), body, w.samples.size() * 2);
      w.ok = have_fmt;
      return w;
    }
    at += 8 + len + (len & 1);
  }
  return w;
}

// The one WAV file the back end wrote into dir.
Wav ReadOnlyWav(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".wav") files.push_back(e.path().string());
  EXPECT_EQ(files.size(), 1u) << "output files in " << dir;
  return files.size() == 1 ? ReadWav(files[0]) : Wav{};
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

uint32_t Handled(const CAVSound::Stats& s) {
  return s.played + s.dropped_full + s.not_played + s.decode_failures + s.oversized + s.muted;
}

// A session with audio on, its own audio conduit and a sound thread writing
// WAV files into a temporary directory.
class SoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(conduit_.Create(kLiveAudioConduitSize, 0, kConduitLowWater, 1));
    session_.audio_enabled.store(1);
  }

  // Feeds frames no faster than the 16 buffers can take them, so that
  // nothing is dropped, then waits until every block has been played out.
  void FeedWithoutDrops(CAVSound& sound, const Frames& frames) {
    const uint32_t before = Handled(sound.GetStats());
    for (size_t i = 0; i < frames.size();) {
      ASSERT_TRUE(
          WaitUntil([&] { return conduit_.FrameCount() == 0 && sound.QueuedBlocks() <= 8; }));
      for (int k = 0; k < 8 && i < frames.size(); ++k, ++i)
        ASSERT_TRUE(conduit_.Append(frames[i].data(), uint32_t(frames[i].size()), 1, 0, 0));
    }
    ASSERT_TRUE(WaitUntil([&] { return Handled(sound.GetStats()) - before == frames.size(); }));
    ASSERT_TRUE(WaitUntil([&] { return sound.QueuedBlocks() == 0; }));
  }

  Wav Run(int32_t code, const Frames& frames) {
    session_.audio_codec.store(code);
    CAVSound sound(session_, &conduit_);
    EXPECT_TRUE(sound.Start());
    FeedWithoutDrops(sound, frames);
    sound.Stop();
    stats_ = sound.GetStats();
    EXPECT_EQ(sound.ExitValue(), 9);
    EXPECT_EQ(stats_.dropped_full, 0u);
    return ReadOnlyWav(dir_.path());
  }

  TempDir dir_;
  ScopedEnv audio_env_{"QRPLAT_AUDIO", "wav:" + dir_.path()};
  CClientSession session_;
  CBufferConduit conduit_;
  CAVSound::Stats stats_;
};

// ---- Decoding through the sound thread ------------------------------------------

struct CodecCase {
  const char* label;
  int32_t code;
  const char* encoder;  // libavcodec encoder, or null for PCM
  int64_t bit_rate;
  int bits_per_sample;  // of the coded stream, for the expected sample count
  double min_tone_share;
};

class CodecThroughSound : public SoundTest, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(CodecThroughSound, ReachesTheOutputWithItsRateLengthAndTone) {
  const CodecCase& c = GetParam();
  const int rate = c.code == kAudioAac ? 16000 : 8000;
  const auto tone = Tone(1000, rate, size_t(rate) / 2, 8000);
  Frames frames;
  size_t expected = 0;
  if (c.code == kAudioPcm) {
    frames = PcmFrames(tone, 160);
    expected = tone.size();
  } else if (c.code == kAudioAac) {
    const Frames aus = Encode("aac", rate, 48000, tone);
    frames = WithAuHeaders(aus);
    expected = aus.size() * 1024;  // every access unit gives one frame
  } else {
    // 20 ms payloads, like the RTP receivers hand them on.
    frames = Slice(Encode(c.encoder, rate, c.bit_rate, tone), 160 * c.bits_per_sample / 8);
    for (const Bytes& f : frames) expected += f.size() * 8 / c.bits_per_sample;
  }
  ASSERT_FALSE(frames.empty()) << "encoder " << (c.encoder ? c.encoder : "pcm");

  const Wav wav = Run(c.code, frames);
  ASSERT_TRUE(wav.ok);
  EXPECT_EQ(wav.rate, rate);
  EXPECT_EQ(wav.channels, 1);
  EXPECT_EQ(wav.bits, 16);
  EXPECT_EQ(wav.samples.size(), expected);
  EXPECT_EQ(stats_.played, frames.size());
  EXPECT_EQ(stats_.decode_failures, 0u);

  // Past the codec's start-up (ADPCM adaptation, AAC priming).
  const size_t skip = c.code == kAudioAac ? 2048 : 400;
  const size_t n = std::min(wav.samples.size(), tone.size()) - skip;
  ASSERT_GT(n, 1000u);
  const double ratio = Rms(wav.samples.data() + skip, n) / Rms(tone.data() + skip, n);
  EXPECT_GT(ratio, 0.7);
  EXPECT_LT(ratio, 1.3);
  EXPECT_GT(ToneShare(wav.samples.data() + skip, n, 1000, rate), c.min_tone_share);
  if (c.code == kAudioPcm) {
    EXPECT_EQ(wav.samples, tone);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, CodecThroughSound,
    ::testing::Values(CodecCase{"Pcm", kAudioPcm, nullptr, 0, 16, 0.99},
                      CodecCase{"Alaw", kAudioAlaw, "pcm_alaw", 0, 8, 0.95},
                      CodecCase{"Ulaw", kAudioUlaw, "pcm_mulaw", 0, 8, 0.95},
                      CodecCase{"G726_16", kAudioG726_16, "g726le", 16000, 2, 0.6},
                      CodecCase{"G726_24", kAudioG726_24, "g726le", 24000, 3, 0.8},
                      CodecCase{"G726_32", kAudioG726_32, "g726le", 32000, 4, 0.9},
                      CodecCase{"G726_40", kAudioG726_40, "g726le", 40000, 5, 0.9},
                      CodecCase{"Aac", kAudioAac, nullptr, 0, 0, 0.9}),
    [](const ::testing::TestParamInfo<CodecCase>& info) { return info.param.label; });

TEST_F(SoundTest, SessionSampleRateReplacesTheDefault) {
  session_.audio_sample_rate.store(16000);
  const auto tone = Tone(1000, 16000, 1600, 8000);
  const Wav wav = Run(kAudioPcm, PcmFrames(tone, 400));
  ASSERT_TRUE(wav.ok);
  EXPECT_EQ(wav.rate, 16000);
  EXPECT_EQ(wav.samples, tone);
}

TEST_F(SoundTest, FastOrSlowReplayKeepsTheAudioFlowingAsSilence) {
  session_.speed_exponent.store(2);
  const auto tone = Tone(1000, 8000, 1600, 8000);
  const Frames frames = Encode("pcm_alaw", 8000, 0, tone);
  const Wav wav = Run(kAudioAlaw, frames);
  ASSERT_TRUE(wav.ok);
  EXPECT_EQ(wav.samples.size(), tone.size());
  EXPECT_TRUE(
      std::all_of(wav.samples.begin(), wav.samples.end(), [](int16_t s) { return s == 0; }));
}

// ---- Drop when full -------------------------------------------------------------

TEST_F(SoundTest, WithAllSixteenBuffersQueuedFurtherBlocksAreDropped) {
  // 40 blocks of 156 ms each arrive at once (they fit the conduit); the
  // device plays in real time.
  const auto tone = Tone(1000, 8000, 1250 * 40, 8000);
  const Frames frames = PcmFrames(tone, 1250);
  session_.audio_codec.store(kAudioPcm);
  CAVSound sound(session_, &conduit_);
  ASSERT_TRUE(sound.Start());
  int32_t most_queued = 0;
  for (const Bytes& f : frames) {
    ASSERT_TRUE(conduit_.Append(f.data(), uint32_t(f.size()), 1, 0, 0));
    most_queued = std::max(most_queued, sound.QueuedBlocks());
  }
  ASSERT_TRUE(WaitUntil([&] {
    most_queued = std::max(most_queued, sound.QueuedBlocks());
    return Handled(sound.GetStats()) == frames.size();
  }));
  const CAVSound::Stats s = sound.GetStats();
  sound.Stop();
  EXPECT_LE(most_queued, CWavePlayer::kBufferCount);
  EXPECT_GE(s.played, uint32_t(CWavePlayer::kBufferCount));
  EXPECT_GT(s.dropped_full, 0u);
  EXPECT_EQ(s.played + s.dropped_full, frames.size());
  // What reached the device file is whole blocks, never more than was queued.
  const Wav wav = ReadOnlyWav(dir_.path());
  ASSERT_TRUE(wav.ok);
  EXPECT_EQ(wav.samples.size() % 1250, 0u);
  EXPECT_LE(wav.samples.size(), size_t(s.played) * 1250);
}

// ---- Stop and leaving ----------------------------------------------------------

TEST_F(SoundTest, StopReturnsPromptlyWhileNoAudioArrives) {
  session_.audio_codec.store(kAudioAlaw);
  CAVSound sound(session_, &conduit_);
  ASSERT_TRUE(sound.Start());
  EXPECT_FALSE(sound.Start());  // already running
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = std::chrono::steady_clock::now();
  sound.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(sound.ExitValue(), 9);
  EXPECT_EQ(session_.audio_ended.load(), 1);
  sound.Stop();  // again: nothing to do

  // A new start opens a new output and clears the ended flag.
  ASSERT_TRUE(sound.Start());
  EXPECT_EQ(session_.audio_ended.load(), 0);
  sound.Stop();
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_.path())) files += e.path().extension() == ".wav";
  EXPECT_EQ(files, 2u);
}

TEST_F(SoundTest, LeavingDuringSessionStopKeepsTheConduitStopped) {
  session_.audio_codec.store(kAudioUlaw);
  CAVSound sound(session_, &conduit_);
  ASSERT_TRUE(sound.Start());
  const uint8_t frame[160] = {};
  ASSERT_TRUE(conduit_.Append(frame, sizeof frame, 1, 0, 0));
  // The session's stop order: conduits first, then the source and its
  // threads.
  conduit_.Stop();
  session_.StopAndDestroy();
  const auto t0 = std::chrono::steady_clock::now();
  sound.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_TRUE(conduit_.IsStopped());
  EXPECT_FALSE(conduit_.Append(frame, sizeof frame, 1, 0, 0));
}

TEST_F(SoundTest, UnknownCodeEndsTheThreadWithoutOutput) {
  session_.audio_codec.store(3);
  CAVSound sound(session_, &conduit_);
  ASSERT_TRUE(sound.Start());
  ASSERT_TRUE(WaitUntil([&] { return !sound.IsRunning(); }));
  sound.Stop();
  EXPECT_EQ(sound.ExitValue(), 9);
  EXPECT_EQ(session_.audio_ended.load(), 1);
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

// ---- Hostile input ------------------------------------------------------------------

TEST_F(SoundTest, OversizedAndGarbageFramesAreDroppedAndPlaybackGoesOn) {
  const auto tone = Tone(1000, 16000, 1024 * 12, 8000);
  const Frames good = WithAuHeaders(Encode("aac", 16000, 48000, tone));
  ASSERT_GT(good.size(), 8u);
  Frames frames;
  Bytes oversized(3000, 0x55);  // beyond the 2500-byte read size
  Bytes garbage(700);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 37 + 11);
  const Bytes tiny = {0x00, 0x10};                     // shorter than the AU-header section
  const Bytes header_only = {0x00, 0x10, 0x00, 0x00};  // an empty access unit
  frames.push_back(oversized);
  frames.push_back(garbage);
  frames.push_back(tiny);
  frames.push_back(header_only);
  frames.insert(frames.end(), good.begin(), good.end());
  frames.push_back(garbage);
  frames.push_back(oversized);
  frames.insert(frames.end(), good.begin(), good.begin() + 4);

  const Wav wav = Run(kAudioAac, frames);
  ASSERT_TRUE(wav.ok);
  EXPECT_EQ(stats_.oversized, 2u);
  EXPECT_EQ(stats_.decode_failures, 4u);
  EXPECT_EQ(stats_.played, good.size() + 4);
  EXPECT_EQ(wav.samples.size(), (good.size() + 4) * 1024);
}

// ---- Decoder contract ---------------------------------------------------------------

TEST(AudioDec, AdtsHeaderCarriesTheFrameLength) {
  uint8_t h[kAdtsHeaderBytes];
  ASSERT_TRUE(BuildAdtsHeader(0x123, h));  // F = 0x12A
  const uint8_t want[] = {0xFF, 0xF9, 0x60, 0x40, 0x25, 0x5F, 0xFC};
  EXPECT_EQ(0, std::memcmp(h, want, sizeof want));
  ASSERT_TRUE(BuildAdtsHeader(kAdtsMaxFrameBytes - 7, h));
  EXPECT_EQ(h[3] & 3, 3);
  EXPECT_EQ(h[4], 0xFF);
  EXPECT_EQ(h[5] >> 5, 7);
  EXPECT_FALSE(BuildAdtsHeader(kAdtsMaxFrameBytes - 6, h));
}

// A full read of any content decodes within the output capacity the sound
// thread sizes its buffers by.
TEST(AudioDec, NoFrameOfReadSizeDecodesBeyondThePcmCapacity) {
  for (int32_t code : {0, 1, 2, 4, 5, 6, 7, 8}) {
    SCOPED_TRACE(code);
    CAudioDec dec;
    ASSERT_EQ(dec.InitDecoder(code), 0);
    const uint32_t read = CAudioDec::ReadSize(code);
    const uint32_t cap = CAudioDec::PcmCapacity(code);
    Bytes in(read);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 131 + 7);
    std::vector<int16_t> out(cap / 2 + 64, 0x5A5A);
    int32_t bytes = -1;
    const int rc = dec.Decode(int32_t(read), &bytes, code, in.data(), out.data(), cap);
    if (code != kAudioAac) {
      EXPECT_EQ(rc, 0);  // PCM, G.711 and G.726 take any bytes
      EXPECT_GT(bytes, 0);
    }
    EXPECT_LE(bytes, int32_t(cap));
    for (size_t i = cap / 2; i < out.size(); ++i) ASSERT_EQ(out[i], 0x5A5A) << i;
  }
}

TEST(AudioDec, RejectsBadArgumentsAndTooSmallOutput) {
  CAudioDec dec;
  int16_t out[4096];
  int32_t bytes = 7;
  const uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(dec.Decode(-1, &bytes, 0, in, out, sizeof out), -1);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(dec.Decode(4, &bytes, 0, nullptr, out, sizeof out), -1);
  EXPECT_EQ(dec.Decode(4, &bytes, 0, in, nullptr, sizeof out), -1);
  // PCM: whole samples only, and never more than the output holds.
  EXPECT_EQ(dec.Decode(7, &bytes, 0, in, out, sizeof out), 0);
  EXPECT_EQ(bytes, 6);
  EXPECT_EQ(dec.Decode(8, &bytes, 0, in, out, 6), -1);
  // Not initialised: AAC has no decoder, the voice engine was not reset.
  EXPECT_EQ(dec.Decode(8, &bytes, kAudioAac, in, out, sizeof out), -1);
  EXPECT_EQ(dec.Decode(8, &bytes, kAudioG726_32, in, out, sizeof out), -1);
  // AAC beyond the 13-bit ADTS frame length.
  ASSERT_EQ(dec.InitDecoder(kAudioAac), 0);
  Bytes long_au(4 + kAdtsMaxFrameBytes, 0);
  EXPECT_EQ(dec.Decode(int32_t(long_au.size()), &bytes, kAudioAac, long_au.data(), out, sizeof out),
            -1);
  // G.711 output of 8 samples does not fit 7.
  ASSERT_EQ(dec.InitDecoder(kAudioAlaw), 0);
  EXPECT_EQ(dec.Decode(8, &bytes, kAudioAlaw, in, out, 14), -1);
  EXPECT_EQ(dec.Decode(8, &bytes, kAudioAlaw, in, out, 16), 0);
  EXPECT_EQ(bytes, 16);
  // Codes without a decoder.
  EXPECT_EQ(dec.InitDecoder(3), -1);
  EXPECT_EQ(dec.InitDecoder(kAudioNone), -1);
}

// ---- Output device failure ---------------------------------------------------------

TEST_F(SoundTest, OutputThatCannotOpenIsLoggedAndPlaybackIsDropped) {
  TempDir drive_c;
  ScopedEnv drives("QRPLAT_DRIVES", "C=" + drive_c.path() + ":fixed");
  ScopedEnv bad_audio("QRPLAT_AUDIO", "no-such-backend");
  qrplat::ReloadDriveMap();
  session_.audio_codec.store(kAudioAlaw);
  {
    CAVSound sound(session_, &conduit_);
    ASSERT_TRUE(sound.Start());
    const uint8_t frame[160] = {};
    ASSERT_TRUE(conduit_.Append(frame, sizeof frame, 1, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return sound.GetStats().not_played == 1; }));
    EXPECT_TRUE(sound.IsRunning());
    sound.Stop();
  }
  std::ifstream log(drive_c.path() + "/qr_log.txt");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("waveOutOpen failed! error code: "), std::string::npos) << text;
  qrplat::ReloadDriveMap();
}

// ---- QRNET_ClientStopAudio / QRNET_ClientPlayAudio ----------------------------------

TEST(ClientAudio, StopThenPlayResumesWithTheNextFrameAndDropsWhatWasQueued) {
  TempDir dir;
  ScopedEnv audio_env("QRPLAT_AUDIO", "wav:" + dir.path());
  ASSERT_EQ(QRNET_Startup(0, 0, nullptr, 0), 1);
  SourceFactory saved = RegisterSourceFactory(
      kSourceRtspTcp, [](CClientSession&) { return std::make_unique<IdleSource>(); });
  QRNET_ClientParam p{};
  p.transport = 1;
  p.view_flag = 1;
  p.channel = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1");
  const uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  std::shared_ptr<CClientSession> session = CClientSession::Find(h);
  ASSERT_TRUE(session);
  CIConduit* conduit = session->audio_conduit();
  ASSERT_NE(conduit, nullptr);

  EXPECT_EQ(QRNET_ClientPlayAudio(0), 0);
  EXPECT_EQ(QRNET_ClientStopAudio(0), 0);
  EXPECT_EQ(QRNET_ClientPlayAudio(h), 1);
  EXPECT_EQ(session->audio_enabled.load(), 1);

  // 1250 samples (156 ms) per block, marked by a constant value.
  auto append = [&](int16_t value) {
    const std::vector<int16_t> pcm(1250, value);
    return conduit->Append(pcm.data(), 2500, 1, 0, 0);
  };
  // StopAudio empties the conduit and clears the flag.
  ASSERT_TRUE(append(1));
  EXPECT_EQ(QRNET_ClientStopAudio(h), 1);
  EXPECT_EQ(session->audio_enabled.load(), 0);
  EXPECT_EQ(conduit->FrameCount(), 0u);
  EXPECT_EQ(conduit->Buffered(), 0u);
  ASSERT_EQ(QRNET_ClientPlayAudio(h), 1);

  session->audio_codec.store(kAudioPcm);
  CAVSound sound(*session, conduit);
  ASSERT_TRUE(sound.Start());
  // Ten old blocks (1.5 s) queue up in the device.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(append(1111));
  ASSERT_TRUE(WaitUntil([&] { return sound.GetStats().played == 10; }));
  EXPECT_EQ(QRNET_ClientStopAudio(h), 1);
  ASSERT_TRUE(WaitUntil([&] { return sound.GetStats().output_resets == 1; }));
  EXPECT_EQ(sound.QueuedBlocks(), 0);
  EXPECT_EQ(QRNET_ClientPlayAudio(h), 1);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(append(2222));
  ASSERT_TRUE(WaitUntil([&] { return sound.GetStats().played == 13; }));
  ASSERT_TRUE(WaitUntil([&] { return sound.QueuedBlocks() == 0; }));
  sound.Stop();
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  RegisterSourceFactory(kSourceRtspTcp, saved);

  const Wav wav = ReadOnlyWav(dir.path());
  ASSERT_TRUE(wav.ok);
  size_t old_samples = 0, new_samples = 0;
  bool old_after_new = false;
  for (int16_t s : wav.samples) {
    if (s == 1111) {
      ++old_samples;
      old_after_new |= new_samples != 0;
    } else if (s == 2222) {
      ++new_samples;
    } else {
      ADD_FAILURE() << "unexpected sample " << s;
      break;
    }
  }
  EXPECT_EQ(new_samples, 3u * 1250);
  EXPECT_FALSE(old_after_new);
  EXPECT_LT(old_samples, 10u * 1250);  // the blocks still queued were dropped
}

}  // namespace
}  // namespace quornet
