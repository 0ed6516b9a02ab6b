// The C quick start of docs/c-api.md, compiled from the page, shows pictures
// of a simulated camera through a window host made of C callbacks; and the
// C window interface keeps its promises on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "devicesim/device.h"
#include "qrplat/window.h"
#include "qrplat/window_c.h"

namespace {

std::string RunCommand(const std::string& cmd, int* status) {
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

TEST(CQuickStart, ShowsPicturesOfASimulatedCamera) {
  devicesim::Config cfg;
  cfg.width = 320;
  cfg.height = 240;
  cfg.audio = devicesim::AudioCodec::kNone;
  devicesim::Device device;
  ASSERT_TRUE(device.Start(cfg)) << device.Error();
  int status = -1;
  const std::string out = RunCommand(
      "timeout 60 " QR_C_QUICKSTART " 127.0.0.1:" + std::to_string(device.Port()), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("link state 0"), std::string::npos) << out;
  const size_t at = out.find("pictures: ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_GE(std::atoi(out.c_str() + at + 10), 50) << out;
}

TEST(CQuickStart, UnreachableCameraEndsWithoutPictures) {
  int status = -1;
  // A loopback port where nothing listens.
  const std::string out = RunCommand("timeout 60 " QR_C_QUICKSTART " 127.0.0.1:1", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("link state 5"), std::string::npos) << out;
}

struct Calls {
  std::atomic<int> presents{0}, messages{0}, inside{0};
  std::atomic<bool> after_unregister{false};
};

TEST(CWindow, RegistrationForwardsAndUnregisterWaitsForCallbacks) {
  QRPLAT_WindowCallbacks cb{};
  EXPECT_EQ(QRPLAT_RegisterWindow(nullptr), 0u);
  EXPECT_EQ(QRPLAT_RegisterWindow(&cb), 0u);  // no size or present callback

  static Calls calls;
  cb.user = &calls;
  cb.client_size = [](void*, int32_t* w, int32_t* h) {
    *w = 64;
    *h = 48;
  };
  cb.present = [](void* user, const uint8_t*, int32_t, int32_t, int32_t, int32_t,
                  const QRPLAT_Rect*) {
    auto* c = static_cast<Calls*>(user);
    c->inside++;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    c->presents++;
    c->inside--;
  };
  cb.post_message = [](void* user, uint32_t msg, uint32_t wparam, int32_t lparam) -> int32_t {
    static_cast<Calls*>(user)->messages++;
    return msg == 1124 && wparam == 1 && lparam == 0;
  };
  cb.pixel_format = 7;
  EXPECT_EQ(QRPLAT_RegisterWindow(&cb), 0u);  // unknown layout
  cb.pixel_format = QRPLAT_PIXEL_RGB565;
  const uint32_t id = QRPLAT_RegisterWindow(&cb);
  ASSERT_NE(id, 0u);

  auto host = qrplat::FindWindow(id);
  ASSERT_TRUE(host);
  EXPECT_EQ(host->ClientSize(), (qrplat::Size{64, 48}));
  EXPECT_TRUE(host->IsVisible());
  EXPECT_EQ(host->PrimaryFormat(), qrplat::PixelFormat::Rgb565);
  EXPECT_TRUE(qrplat::PostMessageTo(id, 1124, 1, 0));
  EXPECT_FALSE(qrplat::PostMessageTo(id, 1124, 2, 0));
  EXPECT_EQ(calls.messages.load(), 2);

  // A worker presenting while the window is unregistered: once unregister
  // returns, no present is running and none starts.
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    const uint8_t pixel[4] = {};
    while (!stop) host->Present(pixel, 1, 1, 4, qrplat::PixelFormat::Rgb32, {0, 0, 1, 1});
  });
  while (calls.presents.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QRPLAT_UnregisterWindow(id);
  EXPECT_EQ(calls.inside.load(), 0);
  const int after = calls.presents.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(calls.presents.load(), after);
  stop = true;
  worker.join();
  EXPECT_FALSE(qrplat::FindWindow(id));
  EXPECT_FALSE(host->IsVisible());
  EXPECT_EQ(host->ClientSize(), (qrplat::Size{0, 0}));
  QRPLAT_UnregisterWindow(id);  // again: ignored
}

}  // namespace
