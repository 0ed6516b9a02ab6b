// AVI writer: files with H.264 (libx264) or MJPEG video and PCM audio, read
// back by ffprobe/ffmpeg and byte by byte at the offsets our player reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "media/avi_writer.h"
#include "net/video_picture.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32(const Bytes& b, size_t at) {
  return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
         uint32_t(b.at(at + 3)) << 24;
}
std::string Tag(const Bytes& b, size_t at) {
  return std::string(reinterpret_cast<const char*>(&b.at(at)), 4);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

// Runs a shell command; returns its standard output and error together.
std::string Run(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return "popen failed";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

struct ProbedStream {
  std::map<std::string, std::string> kv;
  std::string operator[](const std::string& k) const {
    auto it = kv.find(k);
    return it == kv.end() ? "" : it->second;
  }
};

// ffprobe's view of the file. Any line that is not a stream record (a
// warning or error) is returned in `noise`.
std::vector<ProbedStream> Probe(const std::string& path, std::string* noise) {
  const std::string out = Run(
      "ffprobe -v warning -count_packets -show_entries "
      "stream=codec_name,codec_type,width,height,sample_rate,channels,nb_frames,nb_read_packets "
      "-of compact=p=0 '" +
      path + "'");
  std::vector<ProbedStream> streams;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("codec_name=", 0) != 0) {
      *noise += line + "\n";
      continue;
    }
    ProbedStream s;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      const auto eq = field.find('=');
      if (eq != std::string::npos) s.kv[field.substr(0, eq)] = field.substr(eq + 1);
    }
    streams.push_back(s);
  }
  return streams;
}

// Messages of a full decode. The ffmpeg tool notes for every PCM stream
// without a channel mask (any plain mono WAV file too) that it assumed mono;
// that note is about the tool, not the file, and is left out.
std::string DecodeWarnings(const std::string& path) {
  std::string out = Run("ffmpeg -nostdin -v warning -i '" + path + "' -f null -");
  const std::string note = "Guessed Channel Layout for Input Stream #0.1 : mono\n";
  if (const auto at = out.find(note); at != std::string::npos) out.erase(at, note.size());
  return out;
}

// Encodes `count` pictures of a moving gradient; H.264 as Annex B access
// units with in-band parameter sets, or one JPEG per picture.
std::vector<Bytes> EncodeVideo(const char* encoder, int w, int h, int count, int gop) {
  std::vector<Bytes> out;
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (codec == nullptr) return out;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = w;
  ctx->height = h;
  ctx->time_base = {1, 10};
  ctx->framerate = {10, 1};
  ctx->gop_size = gop;
  ctx->max_b_frames = 0;
  ctx->thread_count = 1;
  const bool jpeg = std::strcmp(encoder, "mjpeg") == 0;
  ctx->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
  if (!jpeg) {
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  }
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame* f = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      out.emplace_back(pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  };
  for (int i = 0; i < count; ++i) {
    f->format = ctx->pix_fmt;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = uint8_t(x + y + 4 * i);
    for (int y = 0; y < h / 2; ++y) {
      std::memset(f->data[1] + y * f->linesize[1], 128 + i, size_t(w / 2));
      std::memset(f->data[2] + y * f->linesize[2], 128 - i, size_t(w / 2));
    }
    f->pts = i;
    avcodec_send_frame(ctx, f);
    av_frame_unref(f);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

// 8 kHz 16-bit mono PCM of a 440 Hz square wave, `samples` long.
Bytes Pcm(size_t samples, size_t phase) {
  Bytes b(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    const int16_t v = ((i + phase) / 9) % 2 ? 3000 : -3000;
    b[2 * i] = uint8_t(v & 0xFF);
    b[2 * i + 1] = uint8_t(uint16_t(v) >> 8);
  }
  return b;
}

struct Chunk {
  std::string id;
  uint32_t flags, offset, length;
};

// The top-level chunks after the form type and the idx1 entries.
struct Layout {
  std::vector<std::string> top;  // ids (list type for LIST)
  std::vector<Chunk> index;
  bool ends_exactly = false;
};

Layout Walk(const Bytes& f) {
  Layout l;
  size_t at = 12;
  while (at + 8 <= f.size()) {
    const std::string id = Tag(f, at);
    const uint32_t size = U32(f, at + 4);
    l.top.push_back(id == "LIST" ? Tag(f, at + 8) : id);
    if (id == "idx1") {
      for (size_t e = at + 8; e + 16 <= at + 8 + size && e + 16 <= f.size(); e += 16)
        l.index.push_back({Tag(f, e), U32(f, e + 4), U32(f, e + 8), U32(f, e + 12)});
    }
    at += 8 + size + (size & 1);
  }
  l.ends_exactly = at == f.size();
  return l;
}

class AviWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "avi_writer_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

// Writes frames[i] followed by `audio_per_frame` bytes of PCM for each frame.
std::string WriteAvi(const std::string& path, const char* fourcc, int w, int h, double fps,
                     const std::vector<Bytes>& frames, size_t audio_per_frame) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  EXPECT_NE(fp, nullptr);
  avi_tag avi{};
  avi.fp = fp;
  EXPECT_EQ(AVI_set_video(&avi, w, h, fps, fourcc), kAviOk);
  EXPECT_EQ(AVI_set_audio(&avi, audio_per_frame ? 1 : 0, 8000, 16, 1), kAviOk);
  EXPECT_EQ(AVI_Init(&avi), kAviOk);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(AVI_write_frame(&avi, frames[i].data(), long(frames[i].size()), 0), kAviOk);
    if (audio_per_frame) {
      const Bytes pcm = Pcm(audio_per_frame / 2, i * audio_per_frame / 2);
      EXPECT_EQ(AVI_write_audio(&avi, pcm.data(), long(pcm.size()), 0), kAviOk);
    }
  }
  EXPECT_EQ(AVI_close(&avi), kAviOk);
  std::fclose(fp);
  return path;
}

TEST_F(AviWriterTest, H264WithPcmReadsCleanlyAndHasTheDocumentedLayout) {
  const auto frames = EncodeVideo("libx264", 320, 240, 12, 5);
  ASSERT_EQ(frames.size(), 12u);
  const std::string path = WriteAvi(dir_ + "h264.avi", "H264", 320, 240, 10, frames, 1600);

  std::string noise;
  const auto streams = Probe(path, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["codec_name"], "h264");
  EXPECT_EQ(streams[0]["width"], "320");
  EXPECT_EQ(streams[0]["height"], "240");
  EXPECT_EQ(streams[0]["nb_frames"], "12");
  EXPECT_EQ(streams[0]["nb_read_packets"], "12");
  EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
  EXPECT_EQ(streams[1]["sample_rate"], "8000");
  EXPECT_EQ(streams[1]["channels"], "1");
  EXPECT_EQ(DecodeWarnings(path), "");

  const Bytes f = ReadFile(path);
  ASSERT_GT(f.size(), 600u);
  EXPECT_EQ(Tag(f, 0), "RIFF");
  EXPECT_EQ(U32(f, 4), f.size() - 8);
  EXPECT_EQ(Tag(f, 8), "AVI ");
  EXPECT_EQ(U32(f, 48), 12u);   // total frames
  EXPECT_EQ(U32(f, 64), 320u);  // width
  EXPECT_EQ(U32(f, 68), 240u);  // height
  EXPECT_EQ(U32(f, 132), 10u);  // first stream rate (scale 1)
  EXPECT_EQ(U32(f, 128), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[328]), 11), "HalvenMoore");
  // Each stream header is followed by its format chunk.
  EXPECT_EQ(Tag(f, 100), "strh");
  EXPECT_EQ(Tag(f, 108), "vids");
  EXPECT_EQ(Tag(f, 112), "H264");
  EXPECT_EQ(Tag(f, 164), "strf");
  EXPECT_EQ(Tag(f, 224), "strh");
  EXPECT_EQ(Tag(f, 232), "auds");
  EXPECT_EQ(Tag(f, 288), "strf");
  EXPECT_EQ(U32(f, 300), 8000u);  // audio sample rate in the format record

  const Layout l = Walk(f);
  EXPECT_TRUE(l.ends_exactly);
  ASSERT_EQ(l.top.size(), 4u);
  EXPECT_EQ(l.top[0], "hdrl");
  EXPECT_EQ(l.top[2], "movi");  // frames in the second chunk after the header list
  EXPECT_EQ(l.top[3], "idx1");

  // Index: a video entry, then that frame's audio; absolute offsets of chunk
  // headers; key frames where the access unit has an IDR slice.
  ASSERT_EQ(l.index.size(), 24u);
  for (size_t i = 0; i < l.index.size(); ++i) {
    const Chunk& c = l.index[i];
    EXPECT_EQ(c.id, i % 2 ? "01wb" : "00dc") << i;
    ASSERT_LE(size_t(c.offset) + 8 + c.length, f.size());
    EXPECT_EQ(Tag(f, c.offset), c.id) << i;
    EXPECT_EQ(U32(f, c.offset + 4), c.length) << i;
    if (i % 2 == 0) {
      const Bytes& frame = frames[i / 2];
      ASSERT_EQ(c.length, frame.size());
      EXPECT_EQ(std::memcmp(&f[c.offset + 8], frame.data(), frame.size()), 0);
      const bool idr = (i / 2) % 5 == 0;  // gop 5
      EXPECT_EQ(c.flags, idr ? kAviIndexKeyFrame : 0u) << "frame " << i / 2;
    } else {
      EXPECT_EQ(c.length, 1600u);
    }
  }
}

TEST_F(AviWriterTest, MjpegFramesAreAllKeyFramesAndVideoOnlyKeepsTheTag) {
  const auto frames = EncodeVideo("mjpeg", 176, 144, 7, 1);
  ASSERT_EQ(frames.size(), 7u);
  const std::string av = WriteAvi(dir_ + "mjpg.avi", "MJPG", 176, 144, 25, frames, 640);
  std::string noise;
  auto streams = Probe(av, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["codec_name"], "mjpeg");
  EXPECT_EQ(streams[0]["width"], "176");
  EXPECT_EQ(streams[0]["nb_read_packets"], "7");
  EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
  EXPECT_EQ(DecodeWarnings(av), "");
  Bytes f = ReadFile(av);
  EXPECT_EQ(U32(f, 132), 25u);
  for (const Chunk& c : Walk(f).index) EXPECT_EQ(c.flags, kAviIndexKeyFrame) << c.id;

  const std::string vo = WriteAvi(dir_ + "video_only.avi", "MJPG", 176, 144, 25, frames, 0);
  noise.clear();
  streams = Probe(vo, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0]["nb_read_packets"], "7");
  f = ReadFile(vo);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[328]), 11), "HalvenMoore");
  EXPECT_EQ(Walk(f).index.size(), 7u);
}

TEST_F(AviWriterTest, EmptyRecordingIsStillAValidFile) {
  const std::string path = WriteAvi(dir_ + "empty.avi", "MJPG", 720, 576, 30, {}, 2560);
  std::string noise;
  const auto streams = Probe(path, &noise);
  // Without a single picture the prober cannot know the pixel format; it
  // says so, and nothing else.
  EXPECT_NE(noise.find("Could not find codec parameters for stream 0"), std::string::npos);
  EXPECT_EQ(noise.find("rror"), std::string::npos) << noise;
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["codec_name"], "mjpeg");
  EXPECT_EQ(streams[0]["width"], "720");
  EXPECT_EQ(streams[1]["codec_name"], "pcm_s16le");
  const Bytes f = ReadFile(path);
  EXPECT_EQ(U32(f, 48), 0u);
  const Layout l = Walk(f);
  EXPECT_TRUE(l.ends_exactly);
  ASSERT_EQ(l.top.size(), 4u);
  EXPECT_EQ(l.top[3], "idx1");
  EXPECT_TRUE(l.index.empty());

  // A record that was never set up, or set up but never initialised, writes
  // nothing and releases its state.
  avi_tag zeroed{};
  EXPECT_EQ(AVI_close(&zeroed), kAviOk);
  avi_tag unused{};
  EXPECT_EQ(AVI_set_video(&unused, 320, 240, 10, "H264"), kAviOk);
  EXPECT_EQ(AVI_close(&unused), kAviOk);
  EXPECT_EQ(unused.writer, nullptr);
}

// Fails every write that would extend the file past `limit` bytes after
// writing what fits, the way a full disk behaves; rewriting existing bytes
// still works.
struct DiskFull {
  uint64_t limit;
  static long Write(void* ctx, int fd, const void* data, size_t len, uint64_t offset) {
    auto* self = static_cast<DiskFull*>(ctx);
    if (offset + len <= self->limit) return long(pwrite(fd, data, len, off_t(offset)));
    if (offset >= self->limit) {
      errno = ENOSPC;
      return -1;
    }
    return long(pwrite(fd, data, size_t(self->limit - offset), off_t(offset)));
  }
};

TEST_F(AviWriterTest, DiskFullLeavesTheFramesWrittenSoFarInAValidFile) {
  const auto frames = EncodeVideo("mjpeg", 176, 144, 10, 1);
  ASSERT_EQ(frames.size(), 10u);
  ASSERT_GT(frames[4].size(), 600u);
  const std::string path = dir_ + "full.avi";
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  DiskFull disk{~uint64_t{0}};
  avi_tag avi{};
  avi.fp = fp;
  avi.write_fn = &DiskFull::Write;
  avi.write_ctx = &disk;
  ASSERT_EQ(AVI_set_video(&avi, 176, 144, 10, "MJPG"), kAviOk);
  ASSERT_EQ(AVI_set_audio(&avi, 1, 8000, 16, 1), kAviOk);
  ASSERT_EQ(AVI_Init(&avi), kAviOk);
  const Bytes pcm = Pcm(160, 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(AVI_write_frame(&avi, frames[i].data(), long(frames[i].size()), 0), kAviOk);
    ASSERT_EQ(AVI_write_audio(&avi, pcm.data(), long(pcm.size()), 0), kAviOk);
  }
  // The disk fills up in the middle of the next frame.
  disk.limit = uint64_t(std::filesystem::file_size(path)) + 600;
  EXPECT_EQ(AVI_write_frame(&avi, frames[4].data(), long(frames[4].size()), 0), kAviErrWrite);
  EXPECT_EQ(AVI_write_frame(&avi, frames[5].data(), long(frames[5].size()), 0), kAviErrWrite);
  EXPECT_EQ(AVI_write_audio(&avi, pcm.data(), long(pcm.size()), 0), kAviOk);  // still fits
  // Still full at close: no room for the index, but the file is complete.
  disk.limit = uint64_t(std::filesystem::file_size(path)) + 100;
  EXPECT_EQ(AVI_close(&avi), kAviErrWrite);
  std::fclose(fp);

  std::string noise;
  auto streams = Probe(path, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["nb_read_packets"], "4");
  EXPECT_EQ(streams[1]["nb_read_packets"], "5");
  EXPECT_EQ(DecodeWarnings(path), "");
  const Bytes f = ReadFile(path);
  EXPECT_EQ(U32(f, 4), f.size() - 8);
  EXPECT_EQ(U32(f, 48), 4u);
  const Layout l = Walk(f);
  EXPECT_TRUE(l.ends_exactly);
  ASSERT_EQ(l.top.size(), 3u);  // header list, padding, frames: no index
  EXPECT_EQ(l.top[2], "movi");
}

TEST_F(AviWriterTest, SpaceFreedBeforeCloseGivesAnIndexedFile) {
  const auto frames = EncodeVideo("mjpeg", 176, 144, 3, 1);
  const std::string path = dir_ + "recovered.avi";
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  DiskFull disk{~uint64_t{0}};
  avi_tag avi{};
  avi.fp = fp;
  avi.write_fn = &DiskFull::Write;
  avi.write_ctx = &disk;
  ASSERT_EQ(AVI_set_video(&avi, 176, 144, 10, "MJPG"), kAviOk);
  ASSERT_EQ(AVI_set_audio(&avi, 1, 8000, 16, 1), kAviOk);
  ASSERT_EQ(AVI_Init(&avi), kAviOk);
  ASSERT_EQ(AVI_write_frame(&avi, frames[0].data(), long(frames[0].size()), 0), kAviOk);
  disk.limit = uint64_t(std::filesystem::file_size(path)) + 3;  // not even a chunk header
  EXPECT_EQ(AVI_write_frame(&avi, frames[1].data(), long(frames[1].size()), 0), kAviErrWrite);
  disk.limit = ~uint64_t{0};
  EXPECT_EQ(AVI_write_frame(&avi, frames[2].data(), long(frames[2].size()), 0), kAviOk);
  EXPECT_EQ(AVI_close(&avi), kAviOk);
  std::fclose(fp);

  std::string noise;
  const auto streams = Probe(path, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0]["nb_read_packets"], "2");
  const Layout l = Walk(ReadFile(path));
  EXPECT_TRUE(l.ends_exactly);
  ASSERT_EQ(l.index.size(), 2u);
  EXPECT_EQ(l.index[1].length, frames[2].size());
}

// Discards everything: lets a test push a gigabyte through the writer.
long Discard(void*, int, const void*, size_t len, uint64_t) {
  return long(len);
}

TEST_F(AviWriterTest, RefusesChunksBeyondOneGibibyteOfFrames) {
  FILE* fp = std::fopen((dir_ + "big.avi").c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  avi_tag avi{};
  avi.fp = fp;
  avi.write_fn = &Discard;
  ASSERT_EQ(AVI_set_video(&avi, 1920, 1080, 30, "MJPG"), kAviOk);
  ASSERT_EQ(AVI_Init(&avi), kAviOk);
  const Bytes mib(1 << 20, 0xAB);
  int accepted = 0;
  while (AVI_write_frame(&avi, mib.data(), long(mib.size()), 0) == kAviOk) ++accepted;
  EXPECT_EQ(accepted, 1023);  // 1023 x (8 + 1 MiB) fit in 1 GiB, one more does not
  EXPECT_EQ(AVI_write_frame(&avi, mib.data(), long(mib.size()), 0), kAviErrTooLarge);
  EXPECT_EQ(AVI_write_frame(&avi, mib.data(), 1000, 0), kAviOk);  // a small one still fits
  EXPECT_EQ(AVI_close(&avi), kAviOk);
  std::fclose(fp);
}

TEST(AviWriter, RejectsBadArgumentsAndCallsOutOfOrder) {
  avi_tag avi{};
  EXPECT_EQ(AVI_set_video(&avi, 0, 240, 10, "H264"), kAviErrArgument);
  EXPECT_EQ(AVI_set_video(&avi, 320, 240, 0, "H264"), kAviErrArgument);
  EXPECT_EQ(AVI_set_video(&avi, 320, 240, 10, "H2"), kAviErrArgument);
  EXPECT_EQ(AVI_set_audio(&avi, 1, 8000, 16, 2), kAviErrArgument);  // only PCM
  EXPECT_EQ(AVI_set_audio(&avi, 3, 8000, 16, 1), kAviErrArgument);
  EXPECT_EQ(AVI_Init(&avi), kAviErrArgument);  // no file
  const uint8_t b[4] = {};
  EXPECT_EQ(AVI_write_frame(&avi, b, 4, 0), kAviErrState);
  EXPECT_EQ(AVI_write_frame(nullptr, b, 4, 0), kAviErrArgument);

  FILE* fp = std::tmpfile();
  ASSERT_NE(fp, nullptr);
  avi.fp = fp;
  EXPECT_EQ(AVI_Init(&avi), kAviErrState);  // no video stream set
  ASSERT_EQ(AVI_set_video(&avi, 320, 240, 10, "H264"), kAviOk);
  ASSERT_EQ(AVI_set_audio(&avi, 1, 8000, 16, 1), kAviOk);
  ASSERT_EQ(AVI_Init(&avi), kAviOk);
  EXPECT_EQ(AVI_set_video(&avi, 640, 480, 10, "H264"), kAviErrState);
  EXPECT_EQ(AVI_write_audio(&avi, b, 3, 0), kAviErrArgument);  // half a sample
  EXPECT_EQ(AVI_write_frame(&avi, b, -1, 0), kAviErrArgument);
  EXPECT_EQ(AVI_write_frame(&avi, nullptr, 4, 0), kAviErrArgument);
  EXPECT_EQ(AVI_close(&avi), kAviOk);
  std::fclose(fp);
}

TEST(AviWriter, H264KeyFrameDetection) {
  const uint8_t sps_first[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
  const uint8_t idr_after_sei[] = {0, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x65, 0x88};
  const uint8_t p_slice[] = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x9A};
  const uint8_t p_then_sps[] = {0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x67};  // first slice decides
  const uint8_t truncated[] = {0, 0, 1};
  EXPECT_TRUE(quornet::H264PictureIsKey(sps_first, sizeof sps_first));
  EXPECT_TRUE(quornet::H264PictureIsKey(idr_after_sei, sizeof idr_after_sei));
  EXPECT_FALSE(quornet::H264PictureIsKey(p_slice, sizeof p_slice));
  EXPECT_FALSE(quornet::H264PictureIsKey(p_then_sps, sizeof p_then_sps));
  EXPECT_FALSE(quornet::H264PictureIsKey(truncated, sizeof truncated));
  EXPECT_FALSE(quornet::H264PictureIsKey(nullptr, 0));
}

}  // namespace
