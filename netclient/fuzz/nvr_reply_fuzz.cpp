// libFuzzer target: the recorder management reply parsers over arbitrary
// bytes. Invariants: counts stay within the records' maxima, every stored
// text is terminated within its field, nothing is written past a record
// (guard bytes), and a refused login leaves the cookie untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "control/nvr_http.h"

using namespace quornet;
using namespace quornet::nvrhttp;

namespace {

constexpr size_t kGuard = 64;

template <class T>
struct Record {
  std::unique_ptr<uint8_t[]> bytes{new uint8_t[sizeof(T) + kGuard]};
  Record() { std::memset(bytes.get(), 0xA5, sizeof(T) + kGuard); }
  T* get() { return reinterpret_cast<T*>(bytes.get()); }
  void CheckGuard() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (bytes[sizeof(T) + i] != 0xA5) abort();
    }
  }
};

void CheckText(const char* field, size_t size) {
  if (std::memchr(field, 0, size) == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The largest reply buffer is 100 KiB.
  if (size > 102399) size = 102399;
  std::string_view reply(reinterpret_cast<const char*>(data), size);

  char cookie[kCookieSize];
  std::memset(cookie, '#', sizeof cookie);
  int32_t login = ParseLogin(reply, cookie);
  if (login != 0) {
    if (login != kRefused && login != kUserNotExist && login != kAlreadyLoggedIn) abort();
    for (char c : cookie) {
      if (c != '#') abort();
    }
  } else if (!SafeParam(CookieText(cookie))) {
    abort();
  }

  Record<QRNET_NVRChannelList> cams;
  int32_t n = ParseCameraList(reply, cams.get());
  if (n != kNoList && (n < 0 || n > QRNET_NVR_MAX_CAMERAS)) abort();
  for (int32_t i = 0; i < n; ++i) CheckText(cams.get()->entry[i].address, 16);
  cams.CheckGuard();

  Record<QRNET_NVRRecordList> recs;
  n = ParseRecordList(reply, recs.get());
  if (n != kNoList && (n < 0 || n > QRNET_NVR_MAX_RECORDS)) abort();
  for (int32_t i = 0; i < n; ++i) {
    CheckText(recs.get()->entry[i].begin, 15);
    CheckText(recs.get()->entry[i].end, 15);
  }
  recs.CheckGuard();

  Record<QRNET_NVRPresetList> presets;
  n = ParsePresetList(reply, presets.get());
  if (n != kNoList && (n < 0 || n > QRNET_NVR_MAX_PRESETS)) abort();
  for (int32_t i = 0; i < n; ++i) CheckText(presets.get()->entry[i].name, 128);
  presets.CheckGuard();

  Record<QRNET_FileServerChannelList> fs;
  n = ParseFileServerCameras(reply, fs.get());
  if (n != kNoList && (n < 0 || n > QRNET_FILESERVER_MAX_CAMERAS)) abort();
  for (int32_t i = 0; i < n; ++i) CheckText(fs.get()->entry[i].name, 131);
  fs.CheckGuard();

  (void)IsError(reply);
  (void)ErrorMessageHas(reply, "No IPC Found");
  if (auto v = LineValue(reply, "rtsp=")) {
    if (v->data() < reply.data() || v->data() + v->size() > reply.data() + reply.size()) abort();
    (void)ToInt(*v);
  }
  return 0;
}
