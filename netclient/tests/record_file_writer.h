// Test-side writers of the alarm record format and of the older record
// format, written from their format tables (independent of the recorder), and
// of AVI record files through the library's AVI writer. Files are built in
// memory so that tests can damage them before they are written out.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "media/avi_writer.h"
#include "video_test_frames.h"

namespace quornet::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline void Put64(Bytes& b, uint64_t v) {
  Put32(b, uint32_t(v));
  Put32(b, uint32_t(v >> 32));
}
inline void PutText(Bytes& b, const char* text) {
  // (Byte by byte: g++ 12 warns about a range insert into an empty vector.)
  for (const char* p = text; *p != 0; ++p) b.push_back(uint8_t(*p));
}

struct TestRecord {
  int kind = 0;  // 0 video, 1 audio
  int type = 0;  // video: last NAL type (5 written as 7), 0 for JPEG; audio: codec code
  Bytes payload;
  uint32_t tick = 0;  // ms
};

// Word 0 of a record header: bits 0-1 kind, 2-5 frame type, 12-31 length.
inline uint32_t RecordWord(int kind, int type, uint32_t length) {
  return uint32_t(kind & 3) | uint32_t(type & 15) << 2 | length << 12;
}

// Type of the last NAL unit of an Annex B picture, 5 written as 7.
inline int LastNalType(const Bytes& p) {
  int type = 0;
  for (size_t i = 0; i + 3 < p.size(); ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) type = p[i + 3] & 0x1F;
  }
  return type == 5 ? 7 : type;
}

// One video record per encoded picture, frame n at start + n * 1000 / fps,
// and (when audio) a G.711 voice frame of 20 ms before every picture.
inline std::vector<TestRecord> MakeRecords(const std::vector<EncodedFrame>& frames, bool h264,
                                           int fps, uint32_t start_tick, bool audio) {
  std::vector<TestRecord> out;
  for (const EncodedFrame& f : frames) {
    const uint32_t tick = start_tick + f.number * 1000 / uint32_t(fps);
    if (audio) {
      TestRecord a;
      a.kind = 1;
      a.type = 1;
      a.tick = tick;
      Put16(a.payload, 0x0100);
      Put16(a.payload, 80);  // 160 code bytes as 16-bit words
      for (int i = 0; i < 160; ++i) a.payload.push_back(uint8_t(0xD5 ^ (i & 8 ? 0x10 : 0)));
      out.push_back(std::move(a));
    }
    TestRecord v;
    v.kind = 0;
    v.type = h264 ? LastNalType(f.bytes) : 0;
    v.payload = f.bytes;
    v.tick = tick;
    out.push_back(std::move(v));
  }
  return out;
}

enum class IndexMode { kWritten, kNone };

// Alarm record file: "Halvenmoore", the 28-byte stream header, records with
// 12-byte headers, then the index of the key frames (types 7 and 0).
inline Bytes AlarmFile(bool h264, int width, int height, int fps, int audio_code,
                       const std::vector<TestRecord>& records, IndexMode mode) {
  Bytes b;
  PutText(b, "Halvenmoore");
  b.push_back(h264 ? 96 : 26);
  b.push_back(uint8_t(audio_code));
  Put16(b, uint32_t(width));
  Put16(b, uint32_t(height));
  b.push_back(1);  // server kind
  b.insert(b.end(), 20, 0);
  b.push_back(uint8_t(fps));
  std::vector<std::pair<uint64_t, uint32_t>> index;
  for (const TestRecord& r : records) {
    if (r.kind == 0 && (r.type == 7 || r.type == 0)) index.push_back({b.size(), r.tick});
    Put32(b, RecordWord(r.kind, r.type, uint32_t(r.payload.size())));
    Put16(b, r.kind == 0 ? uint32_t(width) : 0);
    Put16(b, r.kind == 0 ? uint32_t(height) : 0);
    Put32(b, r.tick);
    b.insert(b.end(), r.payload.begin(), r.payload.end());
  }
  if (mode == IndexMode::kWritten) {
    PutText(b, "BEGININDEX");
    for (auto [offset, tick] : index) {
      Put64(b, offset);
      Put32(b, tick);
      Put32(b, 0);
    }
    Put32(b, uint32_t(index.size()));
    PutText(b, "ENDINDEX");
  }
  return b;
}

// Older record file: the 38-byte signature, the frame rate byte, records
// with 8-byte headers (word, tick), then an index of 8-byte entries.
inline Bytes OlderFile(int fps, const std::vector<TestRecord>& records, IndexMode mode) {
  Bytes b;
  PutText(b, "Halvenmoore video server record format");
  b.push_back(uint8_t(fps));
  std::vector<std::pair<uint32_t, uint32_t>> index;
  for (const TestRecord& r : records) {
    if (r.kind == 0 && (r.type == 7 || r.type == 0)) index.push_back({uint32_t(b.size()), r.tick});
    Put32(b, RecordWord(r.kind, r.type, uint32_t(r.payload.size())));
    Put32(b, r.tick);
    b.insert(b.end(), r.payload.begin(), r.payload.end());
  }
  if (mode == IndexMode::kWritten) {
    PutText(b, "BEGININDEX");
    for (auto [offset, tick] : index) {
      Put32(b, offset);
      Put32(b, tick);
    }
    Put32(b, uint32_t(index.size()));
    PutText(b, "ENDINDEX");
  }
  return b;
}

// An AVI record file through the library's writer: the pictures at fps and,
// when audio, 1/fps s of a 1 kHz tone (8000 Hz, 16-bit PCM) after each.
inline bool WriteAvi(const std::string& path, const std::vector<EncodedFrame>& frames, bool h264,
                     int width, int height, int fps, bool audio) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  avi_tag avi{};
  avi.fp = fp;
  bool ok = AVI_set_video(&avi, width, height, fps, h264 ? "H264" : "MJPG") == kAviOk &&
            AVI_set_audio(&avi, audio ? 1 : 0, 8000, 16, 1) == kAviOk && AVI_Init(&avi) == kAviOk;
  const int samples = 8000 / fps;
  std::vector<int16_t> pcm(size_t(samples), 0);
  int phase = 0;
  for (size_t i = 0; ok && i < frames.size(); ++i) {
    ok = AVI_write_frame(&avi, frames[i].bytes.data(), long(frames[i].bytes.size()), 0) == kAviOk;
    if (ok && audio) {
      for (int16_t& s : pcm) s = int16_t(8000 * std::sin(2 * M_PI * (phase++ % 8) / 8.0));
      ok = AVI_write_audio(&avi, reinterpret_cast<const uint8_t*>(pcm.data()), long(pcm.size() * 2),
                           0) == kAviOk;
    }
  }
  ok = AVI_close(&avi) == kAviOk && ok;
  return std::fclose(fp) == 0 && ok;
}

inline bool WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(f);
}

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace quornet::test
