// Frame conduit: ring and index semantics, stop/reset, the single-step cache,
// and one writer against one reader with a stop in the middle.
#include "session/conduit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "qrplat/drives.h"

namespace quornet {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + i);
  return v;
}

class ConduitTest : public ::testing::Test {
 protected:
  CBufferConduit conduit;
  uint8_t out[64] = {};
  uint32_t left = 99;
  FrameHeader header{};
};

TEST_F(ConduitTest, RefusesWholeBlockThatDoesNotFitAndWakesReader) {
  ASSERT_TRUE(conduit.Create(16, 0, 8, 1));
  auto a = Bytes(6, 0), b = Bytes(6, 10), c = Bytes(6, 20);
  EXPECT_TRUE(conduit.Append(a.data(), 6, 1, 100, 0));
  EXPECT_TRUE(conduit.Append(b.data(), 6, 1, 200, 0));
  EXPECT_FALSE(conduit.Append(c.data(), 6, 1, 300, 0));  // 18 > 16
  EXPECT_EQ(conduit.Buffered(), 12u);
  EXPECT_EQ(conduit.FrameCount(), 2u);

  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 6u);
  EXPECT_EQ(left, 1u);
  EXPECT_EQ(header.length, 6u);
  EXPECT_EQ(header.word0, 100u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 6));
}

TEST_F(ConduitTest, FrameWrittenInPiecesReadsBackWhole) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  auto a = Bytes(5, 1), b = Bytes(7, 50);
  EXPECT_TRUE(conduit.Append(a.data(), 5, 0, 0, 0));
  EXPECT_EQ(conduit.FrameCount(), 0u);
  // Only the open frame: no frame to read yet.
  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 0u);
  EXPECT_TRUE(conduit.Append(b.data(), 7, 1, 42, 7));
  ASSERT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 12u);
  EXPECT_EQ(header.word0, 42u);
  EXPECT_EQ(header.word1, 7u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 5));
  EXPECT_EQ(0, std::memcmp(out + 5, b.data(), 7));
  EXPECT_EQ(left, 0u);
}

TEST_F(ConduitTest, EndFrameClosesPendingBytesAndWakesWaitingReader) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  auto a = Bytes(9, 3);
  ASSERT_TRUE(conduit.Append(a.data(), 9, 0, 0, 0));
  // The reader finds only the open frame and clears the data event ...
  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 0u);
  std::atomic<uint32_t> got{0};
  std::thread reader([&] {
    uint8_t buf[64];
    got = conduit.ReadFrame(buf, sizeof(buf), nullptr, nullptr, 10000);
  });
  // ... and is woken when the frame is closed, long before its time-out.
  conduit.EndFrame(5, 0);
  reader.join();
  EXPECT_EQ(got.load(), 9u);
  conduit.EndFrame(6, 0);  // nothing pending: no empty frame
  EXPECT_EQ(conduit.FrameCount(), 0u);
}

TEST_F(ConduitTest, FrameWrappingPastRingEndReadsBackIntact) {
  ASSERT_TRUE(conduit.Create(16, 0, 8, 1));
  auto a = Bytes(10, 0), b = Bytes(2, 50), c = Bytes(12, 100);
  ASSERT_TRUE(conduit.Append(a.data(), 10, 1, 0, 0));
  ASSERT_TRUE(conduit.Append(b.data(), 2, 1, 0, 0));  // keeps the ring from emptying
  ASSERT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 10u);
  ASSERT_TRUE(conduit.Append(c.data(), 12, 1, 0, 0));  // 4 bytes at the end, 8 at the start
  ASSERT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 2u);
  EXPECT_EQ(0, std::memcmp(out, b.data(), 2));
  ASSERT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 12u);
  EXPECT_EQ(header.start, 12u);
  EXPECT_EQ(0, std::memcmp(out, c.data(), 12));
  EXPECT_EQ(conduit.Buffered(), 0u);
}

TEST_F(ConduitTest, FrameLongerThanCapacityStaysQueued) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  auto a = Bytes(20, 9);
  ASSERT_TRUE(conduit.Append(a.data(), 20, 1, 0, 0));
  EXPECT_EQ(conduit.ReadFrame(out, 19, &left, &header, 0), 0u);
  EXPECT_EQ(header.length, 20u);  // tells the caller what it needs
  EXPECT_EQ(conduit.ReadFrameIfPresent(out, 19, &left, &header, 0), 0u);
  EXPECT_EQ(conduit.FrameCount(), 1u);
  EXPECT_EQ(conduit.ReadFrame(out, 20, &left, &header, 0), 20u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 20));
}

TEST_F(ConduitTest, LargeFrameGrowsRingWithWrappedContentsIntactUpToTheLimit) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  conduit.SetGrowLimit(512);
  // Frames that fit in a ring holding two of them leave it as it is.
  auto a = Bytes(30, 0), b = Bytes(20, 40), c = Bytes(20, 80);
  ASSERT_TRUE(conduit.Append(a.data(), 30, 1, 1, 0));
  ASSERT_TRUE(conduit.Append(b.data(), 20, 1, 2, 0));
  ASSERT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 30u);
  ASSERT_TRUE(conduit.Append(c.data(), 20, 1, 3, 0));  // wraps: 14 at the end, 6 at the start
  EXPECT_EQ(conduit.Capacity(), 64u);
  // A frame written in pieces that outgrows half the ring: the ring grows
  // (doubling, or to twice the frame), keeping the queued frames in order.
  auto big = Bytes(90, 7);
  ASSERT_TRUE(conduit.Append(big.data(), 40, 0, 0, 0));
  EXPECT_EQ(conduit.Capacity(), 128u);
  ASSERT_TRUE(conduit.Append(big.data() + 40, 50, 1, 4, 0));
  EXPECT_EQ(conduit.Capacity(), 256u);
  std::vector<uint8_t> dst(512);
  ASSERT_EQ(conduit.ReadFrame(dst.data(), 512, &left, &header, 0), 20u);
  EXPECT_EQ(0, std::memcmp(dst.data(), b.data(), 20));
  ASSERT_EQ(conduit.ReadFrame(dst.data(), 512, &left, &header, 0), 20u);
  EXPECT_EQ(0, std::memcmp(dst.data(), c.data(), 20));
  ASSERT_EQ(conduit.ReadFrame(dst.data(), 512, &left, &header, 0), 90u);
  EXPECT_EQ(0, std::memcmp(dst.data(), big.data(), 90));
  EXPECT_EQ(header.word0, 4u);
  // Never past the limit: a frame that does not fit then is refused whole.
  auto huge = Bytes(200, 1);
  ASSERT_TRUE(conduit.Append(huge.data(), 200, 1, 5, 0));
  EXPECT_EQ(conduit.Capacity(), 512u);
  auto more = Bytes(400, 2);
  EXPECT_FALSE(conduit.Append(more.data(), 400, 1, 6, 0));
  EXPECT_EQ(conduit.Capacity(), 512u);
  ASSERT_EQ(conduit.ReadFrame(dst.data(), 512, &left, &header, 0), 200u);
  EXPECT_EQ(0, std::memcmp(dst.data(), huge.data(), 200));
  EXPECT_EQ(left, 0u);
}

TEST_F(ConduitTest, QueuedLargeFramesGrowTheRingSmallOnesAreRefused) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  conduit.SetGrowLimit(1024);
  auto small = Bytes(16, 3), large = Bytes(20, 9);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(conduit.Append(small.data(), 16, 1, 0, 0));
  EXPECT_FALSE(conduit.Append(small.data(), 16, 1, 0, 0));  // full: refused as ever
  EXPECT_EQ(conduit.Capacity(), 64u);
  // A frame above a quarter of the ring that does not fit: room is made.
  ASSERT_TRUE(conduit.Append(large.data(), 20, 1, 0, 0));
  EXPECT_EQ(conduit.Capacity(), 128u);
  EXPECT_EQ(conduit.FrameCount(), 5u);
}

TEST_F(ConduitTest, WithoutGrowLimitTheRingKeepsItsSize) {
  ASSERT_TRUE(conduit.Create(64, 0, 8, 1));
  auto a = Bytes(60, 0);
  ASSERT_TRUE(conduit.Append(a.data(), 60, 1, 0, 0));
  EXPECT_FALSE(conduit.Append(a.data(), 60, 1, 0, 0));
  EXPECT_EQ(conduit.Capacity(), 64u);
}

TEST_F(ConduitTest, StopFailsEverythingAtOnceUntilReset) {
  ASSERT_TRUE(conduit.Create(64, 1, 8, 1));
  auto a = Bytes(4, 0);
  ASSERT_TRUE(conduit.Append(a.data(), 4, 1, 0, 0));

  std::atomic<uint32_t> blocked_read{99};
  std::thread reader([&] {
    uint8_t buf[64];
    uint32_t n;
    // Drain, then block without limit until Stop.
    while ((n = conduit.ReadFrame(buf, sizeof(buf), nullptr, nullptr, qrplat::kInfinite)) != 0) {
    }
    blocked_read = n;
  });
  while (conduit.FrameCount() != 0) std::this_thread::yield();
  conduit.Stop();
  reader.join();
  EXPECT_EQ(blocked_read.load(), 0u);

  EXPECT_FALSE(conduit.Append(a.data(), 4, 1, 0, 0));
  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, qrplat::kInfinite), 0u);
  EXPECT_EQ(conduit.ReadBytes(out, 1, nullptr, qrplat::kInfinite), 0u);

  conduit.Reset();
  EXPECT_TRUE(conduit.Append(a.data(), 4, 1, 0, 0));
  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 4u);
}

TEST_F(ConduitTest, CreateOnlyOnce) {
  EXPECT_TRUE(conduit.Create(64, 0, 8, 1));
  EXPECT_FALSE(conduit.Create(128, 0, 8, 1));
  auto a = Bytes(65, 0);
  EXPECT_FALSE(conduit.Append(a.data(), 65, 1, 0, 0));  // still 64 bytes
  CBufferConduit empty;
  EXPECT_FALSE(empty.Create(0, 0, 0, 1));
  EXPECT_FALSE(empty.Append(a.data(), 1, 1, 0, 0));
}

TEST_F(ConduitTest, ReadBytesTakesExactCountAcrossFrames) {
  ASSERT_TRUE(conduit.Create(32, 0, 8, 0));
  auto a = Bytes(10, 0);
  ASSERT_TRUE(conduit.Append(a.data(), 10, 1, 0, 0));
  uint32_t after = 0;
  EXPECT_EQ(conduit.ReadBytes(out, 11, &after, 0), 0u);  // too few
  EXPECT_EQ(conduit.ReadBytes(out, 4, &after, 0), 0u);   // the short read cleared the event
  ASSERT_TRUE(conduit.Append(a.data(), 10, 1, 0, 0));
  EXPECT_EQ(conduit.ReadBytes(out, 14, &after, 0), 14u);
  EXPECT_EQ(after, 6u);
  EXPECT_EQ(0, std::memcmp(out, a.data(), 10));
  EXPECT_EQ(0, std::memcmp(out + 10, a.data(), 4));
  // Not framed: frame reads fail.
  EXPECT_EQ(conduit.ReadFrame(out, sizeof(out), &left, &header, 0), 0u);
}

TEST_F(ConduitTest, WriterWaitsForSpaceAndIsReleasedByReader) {
  ASSERT_TRUE(conduit.Create(16, 1, 8, 1));
  auto a = Bytes(12, 0);
  ASSERT_TRUE(conduit.Append(a.data(), 12, 1, 0, 0));  // consumes the initial space event
  // No reader: the next writer times out after its 1 s wait.
  EXPECT_FALSE(conduit.Append(a.data(), 4, 1, 0, 0));
  std::thread reader([&] {
    uint8_t buf[16];
    conduit.ReadFrame(buf, sizeof(buf), nullptr, nullptr, 1000);
  });
  reader.join();
  EXPECT_TRUE(conduit.Append(a.data(), 12, 1, 0, 0));
}

TEST(ConduitStepCache, RecordsRoundTripAndEachConduitHasItsOwnFile) {
  CBufferConduit a, b;
  ASSERT_TRUE(a.Create(64, 0, 8, 1));
  ASSERT_TRUE(b.Create(64, 0, 8, 1));
  EXPECT_NE(a.CachePath(), b.CachePath());
  EXPECT_NE(a.CachePath().find("step_by_step"), std::string::npos);
  EXPECT_EQ(a.CachePath().rfind(qrplat::CacheDirectory(), 0), 0u);

  auto f1 = Bytes(10, 1), f2 = Bytes(30, 2), g1 = Bytes(5, 77);
  ASSERT_TRUE(a.AppendStep(f1.data(), 10, 1000));
  ASSERT_TRUE(b.AppendStep(g1.data(), 5, 7));
  ASSERT_TRUE(a.AppendStep(f2.data(), 30, 1040));

  uint8_t out[64];
  FrameHeader h{};
  ASSERT_EQ(a.ReadStep(out, sizeof(out), 0, &h, 0), 10u);
  EXPECT_EQ(h.length, 10u);
  EXPECT_EQ(h.word0, 1000u);
  EXPECT_EQ(0, std::memcmp(out, f1.data(), 10));
  // Too small: the record stays for a later call.
  EXPECT_EQ(a.ReadStep(out, 29, 0, &h, 0), 0u);
  ASSERT_EQ(a.ReadStep(out, sizeof(out), 0, &h, 0), 30u);
  EXPECT_EQ(0, std::memcmp(out, f2.data(), 30));
  EXPECT_EQ(a.ReadStep(out, sizeof(out), 0, &h, 0), 0u);  // end of file

  ASSERT_EQ(b.ReadStep(out, sizeof(out), 0, &h, 0), 5u);
  EXPECT_EQ(0, std::memcmp(out, g1.data(), 5));

  std::string path = a.CachePath();
  EXPECT_TRUE(qrplat::FileExists(path));
  a.Release();
  EXPECT_FALSE(qrplat::FileExists(path));
}

TEST(ConduitStepCache, HostileLengthInCacheFileIsNotReadPastCapacity) {
  CBufferConduit c;
  ASSERT_TRUE(c.Create(64, 0, 8, 1));
  ASSERT_TRUE(c.AppendStep("x", 1, 0));  // creates the file
  FILE* f = std::fopen(c.CachePath().c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const uint8_t head[16] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0};
  std::fwrite(head, 1, sizeof(head), f);
  std::fclose(f);
  uint8_t out[32];
  FrameHeader h{};
  EXPECT_EQ(c.ReadStep(out, sizeof(out), 0, &h, 0), 0u);
}

// One writer, one reader, stop in the middle: nothing hangs, and every frame
// the reader gets is whole, in order and unaltered.
TEST(ConduitStress, WriterAndReaderWithStopInTheMiddle) {
  CBufferConduit conduit;
  constexpr uint32_t kCapacity = 64 * 1024;
  ASSERT_TRUE(conduit.Create(kCapacity, 0, 0x2000, 1));

  std::atomic<uint32_t> appended{0};
  std::atomic<bool> writer_done{false};
  std::atomic<bool> split_refused{false};
  std::thread writer([&] {
    std::vector<uint8_t> frame(9000);
    uint32_t seq = 0;
    uint32_t rng = 12345;
    while (!conduit.IsStopped()) {
      rng = rng * 1103515245u + 12345u;
      uint32_t len = 8 + (rng >> 8) % 8000;
      // Contents derive from the sequence number: [seq][len][bytes...].
      std::memcpy(frame.data(), &seq, 4);
      std::memcpy(frame.data() + 4, &len, 4);
      for (uint32_t i = 8; i < len; ++i) frame[i] = uint8_t(seq * 31 + i);
      bool ok;
      if (seq % 3 == 0 && conduit.Buffered() + len <= kCapacity) {
        // Two pieces; with a single writer the second fits once the first
        // did, unless the conduit was stopped in between.
        uint32_t half = len / 2;
        bool first = conduit.Append(frame.data(), half, 0, seq, 0);
        ok = first && conduit.Append2(frame.data() + half, len - half, 1, seq, 0);
        if (first && !ok && !conduit.IsStopped()) split_refused = true;
      } else {
        ok = conduit.Append(frame.data(), len, 1, seq, 0);
      }
      if (ok) {
        appended.store(++seq);
      } else {
        std::this_thread::yield();
      }
    }
    writer_done = true;
  });

  std::atomic<uint32_t> read{0};
  std::atomic<bool> bad{false};
  std::thread reader([&] {
    std::vector<uint8_t> buf(9000);
    FrameHeader h{};
    uint32_t expect = 0;
    for (;;) {
      uint32_t n = conduit.ReadFrame(buf.data(), uint32_t(buf.size()), nullptr, &h, 5000);
      if (n == 0) {
        if (conduit.IsStopped()) break;
        continue;
      }
      uint32_t seq, len;
      std::memcpy(&seq, buf.data(), 4);
      std::memcpy(&len, buf.data() + 4, 4);
      bool ok = seq == expect && len == n && h.word0 == seq;
      for (uint32_t i = 8; ok && i < n; ++i) ok = buf[i] == uint8_t(seq * 31 + i);
      if (!ok) {
        bad = true;
        break;
      }
      read.store(++expect);
    }
  });

  while (read.load() < 3000) std::this_thread::yield();
  conduit.Stop();
  writer.join();
  reader.join();
  EXPECT_FALSE(bad.load());
  EXPECT_FALSE(split_refused.load());
  EXPECT_TRUE(writer_done.load());
  // Nothing lost: every frame taken by the conduit was read or is still queued.
  EXPECT_EQ(read.load() + conduit.FrameCount(), appended.load());
}

}  // namespace
}  // namespace quornet
