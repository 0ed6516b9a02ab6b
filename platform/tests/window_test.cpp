// The window registry and the memory window host: ids, message order across
// threads, presents from worker threads, pixel conversion and PNG files.
#include "qrplat/window.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace qrplat {
namespace {

using testutil::ReadText;
using testutil::TempDir;

// Registers a memory host for one test and unregisters it at the end.
struct Registered {
  explicit Registered(int32_t w = 320, int32_t h = 240)
      : host(std::make_shared<MemoryWindowHost>(w, h)), id(RegisterWindow(host)) {}
  ~Registered() { UnregisterWindow(id); }
  std::shared_ptr<MemoryWindowHost> host;
  uint32_t id;
};

TEST(WindowRegistry, IdsAreNonZeroUniqueAndFindTheirHost) {
  Registered a, b;
  EXPECT_NE(a.id, 0u);
  EXPECT_NE(b.id, 0u);
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(FindWindow(a.id), a.host);
  EXPECT_EQ(FindWindow(b.id), b.host);
  EXPECT_LE(a.id, 0x7FFFFFFFu);  // survives a signed 32-bit field
}

TEST(WindowRegistry, ZeroUnknownAndUnregisteredIdsFail) {
  EXPECT_EQ(FindWindow(0), nullptr);
  EXPECT_FALSE(PostMessageTo(0, 1, 2, 3));
  EXPECT_EQ(FindWindow(0xDEADBEEF), nullptr);
  EXPECT_FALSE(PostMessageTo(0xDEADBEEF, 1, 2, 3));
  EXPECT_EQ(RegisterWindow(nullptr), 0u);

  auto host = std::make_shared<MemoryWindowHost>(16, 16);
  uint32_t id = RegisterWindow(host);
  EXPECT_TRUE(PostMessageTo(id, 1124, 7, -1));
  UnregisterWindow(id);
  EXPECT_EQ(FindWindow(id), nullptr);
  EXPECT_FALSE(PostMessageTo(id, 1124, 8, -1));
  UnregisterWindow(id);  // twice: harmless
  auto got = host->TakeMessages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].msg, 1124u);
  EXPECT_EQ(got[0].wparam, 7u);
  EXPECT_EQ(got[0].lparam, -1);
}

TEST(WindowRegistry, UnregisterDropsTheRegistryReference) {
  auto host = std::make_shared<MemoryWindowHost>(16, 16);
  std::weak_ptr<MemoryWindowHost> weak = host;
  uint32_t id = RegisterWindow(std::move(host));
  EXPECT_FALSE(weak.expired());
  UnregisterWindow(id);
  EXPECT_TRUE(weak.expired());
}

TEST(WindowRegistry, RegistersFromManyThreadsWithoutDuplicates) {
  constexpr int kThreads = 8, kEach = 200;
  std::vector<std::vector<uint32_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        ids[t].push_back(RegisterWindow(std::make_shared<MemoryWindowHost>(1, 1)));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<uint32_t> all;
  for (auto& v : ids) {
    for (uint32_t id : v) {
      EXPECT_NE(id, 0u);
      all.insert(id);
      UnregisterWindow(id);
    }
  }
  EXPECT_EQ(all.size(), size_t(kThreads * kEach));
}

TEST(MemoryWindowHost, MessagesFromManyThreadsArriveInOrderPerSender) {
  Registered w;
  constexpr int kSenders = 8, kEach = 2000;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < kEach; ++i) {
        ASSERT_TRUE(PostMessageTo(w.id, 2025, uint32_t(i), s));
      }
    });
  }
  // Pump while they post.
  std::map<int32_t, uint32_t> next;
  size_t total = 0;
  uint32_t t0 = TickCount();
  while (total < size_t(kSenders * kEach) && TickCount() - t0 < 20000) {
    for (const WindowMessage& m : w.host->WaitMessages(100)) {
      ASSERT_EQ(m.msg, 2025u);
      ASSERT_EQ(m.wparam, next[m.lparam]) << "sender " << m.lparam;
      ++next[m.lparam];
      ++total;
    }
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(total, size_t(kSenders * kEach));
  EXPECT_TRUE(w.host->TakeMessages().empty());
}

TEST(MemoryWindowHost, WaitMessagesTimesOutEmpty) {
  MemoryWindowHost host(8, 8);
  uint32_t t0 = TickCount();
  EXPECT_TRUE(host.WaitMessages(50).empty());
  EXPECT_GE(TickCount() - t0, 45u);
}

TEST(MemoryWindowHost, ClosedHostRefusesMessages) {
  Registered w;
  w.host->SetAcceptMessages(false);
  EXPECT_FALSE(PostMessageTo(w.id, 1, 2, 3));
  EXPECT_TRUE(w.host->TakeMessages().empty());
  w.host->SetAcceptMessages(true);
  EXPECT_TRUE(PostMessageTo(w.id, 1, 2, 3));
}

TEST(MemoryWindowHost, ReportsSettingsChangedByTheTest) {
  MemoryWindowHost host(640, 480, PixelFormat::Rgb565);
  EXPECT_EQ(host.ClientSize(), (Size{640, 480}));
  EXPECT_EQ(host.PrimaryFormat(), PixelFormat::Rgb565);
  EXPECT_TRUE(host.IsVisible());
  host.SetScreenOrigin(100, 50);
  EXPECT_EQ(host.ScreenRect(), (Rect{100, 50, 740, 530}));
  host.SetClientSize(320, 200);
  EXPECT_EQ(host.ScreenRect(), (Rect{100, 50, 420, 250}));
  host.SetVisible(false);
  EXPECT_FALSE(host.IsVisible());
  host.SetCaps({false, true, false});
  SurfaceCaps caps = host.Caps();
  EXPECT_FALSE(caps.video_memory);
  EXPECT_TRUE(caps.stretch);
  EXPECT_FALSE(caps.fourcc);
  host.SetPrimaryFormat(PixelFormat::Rgb24);
  EXPECT_EQ(host.PrimaryFormat(), PixelFormat::Rgb24);
  EXPECT_EQ(BytesPerPixel(PixelFormat::Rgb32), 4);
  EXPECT_EQ(BytesPerPixel(PixelFormat::Rgb24), 3);
  EXPECT_EQ(BytesPerPixel(PixelFormat::Rgb565), 2);
  EXPECT_EQ(BytesPerPixel(PixelFormat::Rgb555), 2);
}

// A width x height image of `format` whose pixel (x, y) has the 16-bit value
// or the B,G,R bytes given by `value(x, y)`, rows padded to `stride`.
template <typename F>
std::vector<uint8_t> MakeImage(PixelFormat format, int w, int h, int stride, F value) {
  std::vector<uint8_t> buf(size_t(stride) * h, 0xCC);
  int bpp = BytesPerPixel(format);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint32_t v = value(x, y);
      uint8_t* p = &buf[size_t(y) * stride + size_t(x) * bpp];
      for (int i = 0; i < bpp; ++i) p[i] = uint8_t(v >> (8 * i));
    }
  }
  return buf;
}

TEST(MemoryWindowHost, PresentKeepsTheSourceRectangleOfRgb32) {
  MemoryWindowHost host(100, 100);
  const int w = 10, h = 8, stride = w * 4 + 12;  // padded rows
  auto buf = MakeImage(PixelFormat::Rgb32, w, h, stride, [](int x, int y) {
    return 0xFF000000u | uint32_t(x << 16 | y << 8 | (x ^ y));
  });
  Rect src{2, 3, 7, 8};
  host.Present(buf.data(), w, h, stride, PixelFormat::Rgb32, src);
  EXPECT_EQ(host.PresentCount(), 1u);
  EXPECT_EQ(host.LastSource(), src);
  EXPECT_EQ(host.LastFormat(), PixelFormat::Rgb32);
  Image img = host.LastImage();
  ASSERT_EQ(img.width, 5);
  ASSERT_EQ(img.height, 5);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      int sx = x + 2, sy = y + 3;
      EXPECT_EQ(img.At(x, y), uint32_t(sx << 16 | sy << 8 | (sx ^ sy)));  // X byte dropped
    }
  }
}

TEST(MemoryWindowHost, PresentConvertsRgb24Rgb565AndRgb555) {
  MemoryWindowHost host(100, 100);
  {
    auto buf = MakeImage(PixelFormat::Rgb24, 3, 1, 12, [](int x, int) {
      return x == 0 ? 0x0000FFu : x == 1 ? 0x00FF00u : 0x123456u;  // bytes B,G,R
    });
    host.Present(buf.data(), 3, 1, 12, PixelFormat::Rgb24, {0, 0, 3, 1});
    Image img = host.LastImage();
    ASSERT_EQ(img.width, 3);
    EXPECT_EQ(img.At(0, 0), 0x0000FFu);
    EXPECT_EQ(img.At(1, 0), 0x00FF00u);
    EXPECT_EQ(img.At(2, 0), 0x123456u);
  }
  {
    const uint32_t words[] = {0xF800, 0x07E0, 0x001F, 0xFFFF, 0x0000, 0x8410};
    auto buf = MakeImage(PixelFormat::Rgb565, 6, 1, 12, [&](int x, int) { return words[x]; });
    host.Present(buf.data(), 6, 1, 12, PixelFormat::Rgb565, {0, 0, 6, 1});
    Image img = host.LastImage();
    ASSERT_EQ(img.width, 6);
    EXPECT_EQ(img.At(0, 0), 0xFF0000u);
    EXPECT_EQ(img.At(1, 0), 0x00FF00u);
    EXPECT_EQ(img.At(2, 0), 0x0000FFu);
    EXPECT_EQ(img.At(3, 0), 0xFFFFFFu);
    EXPECT_EQ(img.At(4, 0), 0x000000u);
    EXPECT_EQ(img.At(5, 0), 0x848284u);  // 10000 100000 10000 widened
  }
  {
    const uint32_t words[] = {0x7C00, 0x03E0, 0x001F, 0x7FFF, 0x8000};
    auto buf = MakeImage(PixelFormat::Rgb555, 5, 1, 10, [&](int x, int) { return words[x]; });
    host.Present(buf.data(), 5, 1, 10, PixelFormat::Rgb555, {0, 0, 5, 1});
    Image img = host.LastImage();
    ASSERT_EQ(img.width, 5);
    EXPECT_EQ(img.At(0, 0), 0xFF0000u);
    EXPECT_EQ(img.At(1, 0), 0x00FF00u);
    EXPECT_EQ(img.At(2, 0), 0x0000FFu);
    EXPECT_EQ(img.At(3, 0), 0xFFFFFFu);
    EXPECT_EQ(img.At(4, 0), 0x000000u);  // the top bit is not colour
  }
}

TEST(MemoryWindowHost, SourceRectangleIsClippedToTheImage) {
  MemoryWindowHost host(100, 100);
  std::vector<uint8_t> buf(4 * 4 * 4, 0x40);
  host.Present(buf.data(), 4, 4, 16, PixelFormat::Rgb32, {-2, 2, 10, 3});
  Image img = host.LastImage();
  EXPECT_EQ(img.width, 4);
  EXPECT_EQ(img.height, 1);
  host.Present(buf.data(), 4, 4, 16, PixelFormat::Rgb32, {5, 5, 9, 9});
  EXPECT_EQ(host.LastImage().width, 0);
  EXPECT_EQ(host.PresentCount(), 2u);
}

TEST(MemoryWindowHost, PresentFromAWorkerThreadIsVisibleInLastImage) {
  Registered w;
  std::thread worker([id = w.id] {
    std::vector<uint32_t> frame(64 * 48);
    for (int i = 1; i <= 5; ++i) {
      std::fill(frame.begin(), frame.end(), 0x000100u * uint32_t(i));
      std::shared_ptr<WindowHost> host = FindWindow(id);
      ASSERT_NE(host, nullptr);
      host->Present(reinterpret_cast<const uint8_t*>(frame.data()), 64, 48, 64 * 4,
                    PixelFormat::Rgb32, {0, 0, 64, 48});
    }
  });
  EXPECT_TRUE(w.host->WaitPresents(5, 5000));
  worker.join();
  Image img = w.host->LastImage();
  ASSERT_EQ(img.width, 64);
  ASSERT_EQ(img.height, 48);
  EXPECT_EQ(img.At(63, 47), 0x000500u);
  EXPECT_FALSE(w.host->WaitPresents(6, 20));
}

// A worker keeps finding the window and presenting into it while the owner
// unregisters it and drops its own reference: the worker's reference keeps
// the host alive, and the id is unknown from then on.
TEST(MemoryWindowHost, UnregisterWhileAnotherThreadPresentsIsSafe) {
  for (int round = 0; round < 20; ++round) {
    auto host = std::make_shared<MemoryWindowHost>(32, 32);
    std::weak_ptr<MemoryWindowHost> weak = host;
    uint32_t id = RegisterWindow(host);
    std::atomic<int> presents{0};
    std::thread worker([&] {
      std::vector<uint32_t> frame(32 * 32, 0x123456);
      for (;;) {
        std::shared_ptr<WindowHost> h = FindWindow(id);
        if (!h) return;  // unregistered
        h->Present(reinterpret_cast<const uint8_t*>(frame.data()), 32, 32, 128, PixelFormat::Rgb32,
                   {0, 0, 32, 32});
        h->PostMessage(1234, 0, 0);
        ++presents;
      }
    });
    while (presents.load() < 3) std::this_thread::yield();
    host.reset();
    UnregisterWindow(id);
    worker.join();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(FindWindow(id), nullptr);
  }
}

TEST(Png, WriteThenReadGivesTheSameImage) {
  TempDir dir;
  Image img;
  img.width = 37;
  img.height = 11;
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x)
      img.pixels.push_back(uint32_t(x * 7) << 16 | uint32_t(y * 23) << 8 | uint32_t(x + y));
  }
  std::string path = dir / "frame.png";
  ASSERT_TRUE(WritePng(img, path));
  EXPECT_EQ(ReadText(path).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  Image back;
  ASSERT_TRUE(ReadPng(path, &back));
  EXPECT_EQ(back.width, img.width);
  EXPECT_EQ(back.height, img.height);
  EXPECT_EQ(back.pixels, img.pixels);
}

TEST(Png, FailuresAreReported) {
  TempDir dir;
  Image empty;
  EXPECT_FALSE(WritePng(empty, dir / "empty.png"));
  Image img;
  img.width = img.height = 2;
  img.pixels.assign(4, 0);
  EXPECT_FALSE(WritePng(img, dir / "no/such/dir/x.png"));
  Image out;
  EXPECT_FALSE(ReadPng(dir / "missing.png", &out));
  testutil::WriteText(dir / "bad.png", "not a png at all");
  EXPECT_FALSE(ReadPng(dir / "bad.png", &out));
}

TEST(Png, LastImageOfAPresentRoundTrips) {
  TempDir dir;
  MemoryWindowHost host(8, 8);
  auto buf = MakeImage(PixelFormat::Rgb565, 8, 8, 16,
                       [](int x, int y) { return uint32_t(x * 4000 + y * 300); });
  host.Present(buf.data(), 8, 8, 16, PixelFormat::Rgb565, {0, 0, 8, 8});
  Image img = host.LastImage();
  ASSERT_TRUE(WritePng(img, dir / "last.png"));
  Image back;
  ASSERT_TRUE(ReadPng(dir / "last.png", &back));
  EXPECT_EQ(back.pixels, img.pixels);
}

}  // namespace
}  // namespace qrplat
