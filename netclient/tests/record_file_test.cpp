// The record file readers on bytes: kind recognition, the key-frame index
// from the file's end or rebuilt by scanning, AVI chunk lists from idx1 or
// from the movi list, and hostile files (cut, damaged, random) that must
// leave every reader inside the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "media/record_file.h"
#include "record_file_writer.h"

namespace quornet {
namespace {

using namespace recfile;
using test::Bytes;
using test::IndexMode;

constexpr int kW = 320, kH = 240, kFps = 25;

const std::vector<test::EncodedFrame>& H264() {
  static const auto frames = [] {
    av_log_set_level(AV_LOG_ERROR);
    return test::EncodeFrames(true, kW, kH, 30, 10);
  }();
  return frames;
}
const std::vector<test::EncodedFrame>& Jpeg() {
  static const auto frames = test::EncodeFrames(false, kW, kH, 6);
  return frames;
}

Bytes Alarm(IndexMode mode, bool h264 = true) {
  return test::AlarmFile(h264, kW, kH, kFps, 1,
                         test::MakeRecords(h264 ? H264() : Jpeg(), h264, kFps, 5000, true), mode);
}

Bytes Avi(bool h264 = true, bool audio = true) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("record_file_test_" + std::to_string(getpid()) + ".avi"))
                               .string();
  EXPECT_TRUE(test::WriteAvi(path, h264 ? H264() : Jpeg(), h264, kW, kH, kFps, audio));
  Bytes b = test::ReadBytes(path);
  std::filesystem::remove(path);
  return b;
}

FileKind KindOf(const Bytes& b) {
  MemoryBytes m(b.data(), b.size());
  return Recognize(m);
}

TEST(RecordFileTest, RecognisesEachKindAndNothingElse) {
  EXPECT_EQ(KindOf(Avi()), FileKind::kAvi);
  EXPECT_EQ(KindOf(Alarm(IndexMode::kWritten)), FileKind::kAlarmH264);
  EXPECT_EQ(KindOf(Alarm(IndexMode::kWritten, false)), FileKind::kAlarmMjpeg);
  EXPECT_EQ(KindOf(test::OlderFile(kFps, {}, IndexMode::kNone)), FileKind::kOlder);

  // The tag may also stand 8 bytes later; a RIFF file without it is not ours.
  Bytes avi = Avi();
  std::memmove(avi.data() + 336, avi.data() + 328, 11);
  std::memset(avi.data() + 328, 0, 8);
  EXPECT_EQ(KindOf(avi), FileKind::kAvi);
  std::memset(avi.data() + 336, 'x', 11);
  EXPECT_EQ(KindOf(avi), FileKind::kUnknown);
  // An alarm header with another payload type, a short file, nothing.
  Bytes other = Alarm(IndexMode::kWritten);
  other[11] = 33;
  EXPECT_EQ(KindOf(other), FileKind::kUnknown);
  EXPECT_EQ(KindOf(Bytes{'H', 'a', 'l'}), FileKind::kUnknown);
  EXPECT_EQ(KindOf(Bytes{}), FileKind::kUnknown);
}

TEST(RecordFileTest, AlarmIndexIsReadFromTheEndOrRebuiltByScanning) {
  const Bytes with = Alarm(IndexMode::kWritten);
  MemoryBytes m(with.data(), with.size());
  IndexedFile f;
  ASSERT_TRUE(ReadIndexedFile(m, FileKind::kAlarmH264, &f));
  EXPECT_FALSE(f.index_from_scan);
  ASSERT_EQ(f.index.size(), 3u);  // key frames 0, 10, 20
  EXPECT_EQ(f.index[0].tick, 5000u);
  EXPECT_EQ(f.index[1].tick, 5400u);
  EXPECT_EQ(f.index[2].tick, 5800u);
  EXPECT_EQ(f.info.video_payload, 96);
  EXPECT_EQ(f.info.audio_code, 1);
  EXPECT_EQ(f.info.width, kW);
  EXPECT_EQ(f.info.frame_rate, kFps);
  EXPECT_EQ(f.records_end, with.size() - 22 - 3 * 16);

  // Without "ENDINDEX" (a recording that never stopped) the same key frames
  // are found by walking the records.
  const Bytes without = Alarm(IndexMode::kNone);
  MemoryBytes n(without.data(), without.size());
  IndexedFile g;
  ASSERT_TRUE(ReadIndexedFile(n, FileKind::kAlarmH264, &g));
  EXPECT_TRUE(g.index_from_scan);
  ASSERT_EQ(g.index.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(g.index[i].offset, f.index[i].offset);
    EXPECT_EQ(g.index[i].tick, f.index[i].tick);
  }

  // Motion JPEG pictures are all key frames (type 0).
  const Bytes jpeg = Alarm(IndexMode::kNone, false);
  MemoryBytes j(jpeg.data(), jpeg.size());
  ASSERT_TRUE(ReadIndexedFile(j, FileKind::kAlarmMjpeg, &g));
  EXPECT_EQ(g.index.size(), Jpeg().size());
}

TEST(RecordFileTest, HostileIndexCountsAndOffsetsAreNeverFollowed) {
  const Bytes good = Alarm(IndexMode::kWritten);
  const size_t count_at = good.size() - 12;
  const size_t first_entry = good.size() - 22 - 3 * 16 + 10;
  struct Case {
    const char* what;
    size_t at;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"count 0", count_at, {0, 0, 0, 0}},
      {"count larger than the file", count_at, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"count that misses BEGININDEX", count_at, {2, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + long(c.at));
    MemoryBytes m(b.data(), b.size());
    IndexedFile f;
    ASSERT_TRUE(ReadIndexedFile(m, FileKind::kAlarmH264, &f)) << c.what;
    EXPECT_TRUE(f.index_from_scan) << c.what;
    EXPECT_EQ(f.index.size(), 3u) << c.what;
  }
  // Entries pointing outside the records are dropped; the others stay.
  Bytes b = good;
  for (int i = 0; i < 8; ++i) b[first_entry + size_t(i)] = 0xEE;
  MemoryBytes m(b.data(), b.size());
  IndexedFile f;
  ASSERT_TRUE(ReadIndexedFile(m, FileKind::kAlarmH264, &f));
  EXPECT_FALSE(f.index_from_scan);
  EXPECT_EQ(f.index.size(), 2u);
}

TEST(RecordFileTest, OlderFormatTakesItsCodecFromTheFirstPicture) {
  for (bool h264 : {true, false}) {
    const auto records = test::MakeRecords(h264 ? H264() : Jpeg(), h264, 12, 100, true);
    for (IndexMode mode : {IndexMode::kWritten, IndexMode::kNone}) {
      const Bytes b = test::OlderFile(12, records, mode);
      MemoryBytes m(b.data(), b.size());
      IndexedFile f;
      ASSERT_TRUE(ReadIndexedFile(m, FileKind::kOlder, &f));
      EXPECT_EQ(f.info.video_payload, h264 ? 96 : 26);
      EXPECT_EQ(f.info.frame_rate, 12);
      EXPECT_EQ(f.index.size(), h264 ? 3u : Jpeg().size());
      EXPECT_EQ(f.index_from_scan, mode == IndexMode::kNone);
      EXPECT_EQ(f.header_size, kOlderRecordHeaderSize);
    }
  }
}

TEST(RecordFileTest, AviChunksComeFromIdx1OrFromTheMoviList) {
  const Bytes good = Avi();
  MemoryBytes m(good.data(), good.size());
  AviFile a;
  ASSERT_TRUE(ReadAviFile(m, &a));
  EXPECT_FALSE(a.index_from_movi);
  EXPECT_EQ(a.video.size(), H264().size());
  EXPECT_EQ(a.audio.size(), H264().size());
  EXPECT_EQ(a.header_frames, H264().size());
  EXPECT_EQ(a.info.video_payload, 96);
  EXPECT_EQ(a.info.audio_sample_rate, 8000);
  EXPECT_EQ(a.info.width, kW);
  EXPECT_EQ(a.info.frame_rate, kFps);
  ASSERT_EQ(a.audio_from.size(), a.video.size() + 1);
  EXPECT_EQ(a.audio_from[0], 0u);  // each picture's audio follows it
  EXPECT_EQ(a.audio_from[1], 1u);
  EXPECT_EQ(a.video[3].length, H264()[3].bytes.size());

  // idx1 missing (the writer never closed the file) or pointing outside
  // the file: the chunks are walked instead, with the same result.
  const size_t idx = good.size() - 16 * (2 * H264().size()) - 8;
  ASSERT_EQ(std::memcmp(good.data() + idx, "idx1", 4), 0);
  Bytes cut(good.begin(), good.begin() + long(idx));
  Bytes bad = good;
  for (size_t e = idx + 8; e < good.size(); e += 16) bad[e + 11] = 0x7F;  // offsets far out
  for (Bytes* b : {&cut, &bad}) {
    MemoryBytes mb(b->data(), b->size());
    AviFile w;
    ASSERT_TRUE(ReadAviFile(mb, &w));
    EXPECT_TRUE(w.index_from_movi);
    ASSERT_EQ(w.video.size(), a.video.size());
    for (size_t i = 0; i < a.video.size(); ++i) EXPECT_EQ(w.video[i].offset, a.video[i].offset);
    EXPECT_EQ(w.audio.size(), a.audio.size());
  }
  // A recording cut inside a picture keeps the pictures before it.
  Bytes partial(good.begin(), good.begin() + long(a.video[5].offset + 20));
  MemoryBytes mp(partial.data(), partial.size());
  AviFile p;
  ASSERT_TRUE(ReadAviFile(mp, &p));
  EXPECT_EQ(p.video.size(), 5u);

  const Bytes mjpeg = Avi(false, false);
  MemoryBytes mj(mjpeg.data(), mjpeg.size());
  ASSERT_TRUE(ReadAviFile(mj, &a));
  EXPECT_EQ(a.info.video_payload, 26);
  EXPECT_TRUE(a.audio.empty());
}

// Every prefix and random damage: the readers stay within the bytes (the
// address sanitizer watches) and what they return lies inside the file.
TEST(RecordFileTest, CutAndDamagedFilesStayInsideTheFile) {
  std::mt19937 rng(7);
  for (const Bytes& whole : {Avi(), Alarm(IndexMode::kWritten), Alarm(IndexMode::kNone, false),
                             test::OlderFile(kFps, test::MakeRecords(H264(), true, kFps, 0, true),
                                             IndexMode::kWritten)}) {
    for (int round = 0; round < 60; ++round) {
      Bytes b = whole;
      if (round % 2 == 0) {
        b.resize(size_t(rng()) % b.size());
      } else {
        for (int k = 0; k < 20; ++k) b[size_t(rng()) % b.size()] = uint8_t(rng());
      }
      MemoryBytes m(b.data(), b.size());
      const FileKind kind = Recognize(m);
      if (kind == FileKind::kAvi) {
        AviFile a;
        if (ReadAviFile(m, &a)) {
          for (const AviChunk& c : a.video) EXPECT_LE(c.offset + 8 + c.length, b.size());
          for (const AviChunk& c : a.audio) EXPECT_LE(c.offset + 8 + c.length, b.size());
        }
      } else if (kind != FileKind::kUnknown) {
        IndexedFile f;
        if (ReadIndexedFile(m, kind, &f)) {
          EXPECT_LE(f.records_end, b.size());
          for (const IndexEntry& e : f.index) EXPECT_LE(e.offset + f.header_size, f.records_end);
        }
      }
    }
  }
  Bytes noise(100000);
  for (uint8_t& x : noise) x = uint8_t(rng());
  EXPECT_EQ(KindOf(noise), FileKind::kUnknown);
}

}  // namespace
}  // namespace quornet
