#include "api/process_state.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"

namespace quornet {
namespace {

std::atomic<int32_t> g_connect_timeout_s{5};
std::atomic<int32_t> g_reconnect_attempts{1};
std::atomic<int32_t> g_reconnect_pause_s{10};

std::atomic<uint32_t> g_slot1{0};
std::atomic<uint32_t> g_slot2{0};
std::atomic<QRNET_StatusCallback> g_status_callback{nullptr};
std::atomic<uint32_t> g_slot4{0};
std::atomic<void*> g_clip_callback{nullptr};

template <class T>
void StoreIfEmpty(std::atomic<T>& slot, T value) {
  T expected{};
  if (value != T{}) slot.compare_exchange_strong(expected, value);
}

struct ProcessFacts {
  char host_name[128];
  char program_directory[260];
};

ProcessFacts ReadProcessFacts() {
  ProcessFacts facts{};
  if (gethostname(facts.host_name, sizeof(facts.host_name) - 1) != 0 || facts.host_name[0] == 0) {
    std::snprintf(facts.host_name, sizeof(facts.host_name), "PC");
  }
  facts.host_name[sizeof(facts.host_name) - 1] = 0;

  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n > 0) {
    path[n] = 0;
    char* slash = std::strrchr(path, '/');
    if (slash != nullptr) slash[1] = 0;
    // A directory that does not fit stays empty rather than cut.
    if (std::strlen(path) < sizeof(facts.program_directory)) {
      std::memcpy(facts.program_directory, path, std::strlen(path) + 1);
    }
  }
  return facts;
}

const ProcessFacts& Facts() {
  static const ProcessFacts facts = ReadProcessFacts();
  return facts;
}

std::mutex g_log_mutex;
FILE* g_log_stream = nullptr;  // guarded by g_log_mutex; the library opens none

}  // namespace

void SetWaitTimes(int32_t connect_timeout_s, int32_t reconnect_attempts,
                  int32_t reconnect_pause_s) {
  if (connect_timeout_s <= 0) connect_timeout_s = 5;
  if (reconnect_attempts < 0 && reconnect_attempts != -1) reconnect_attempts = 1;
  if (reconnect_pause_s < 0) reconnect_pause_s = 10;
  g_connect_timeout_s.store(connect_timeout_s);
  g_reconnect_attempts.store(reconnect_attempts);
  g_reconnect_pause_s.store(reconnect_pause_s);
}

WaitTimes GetWaitTimes() {
  return WaitTimes{g_connect_timeout_s.load(), g_reconnect_attempts.load(),
                   g_reconnect_pause_s.load()};
}

void StoreStartupSlots(uint32_t slot1, uint32_t slot2, QRNET_StatusCallback callback,
                       uint32_t slot4) {
  StoreIfEmpty(g_slot1, slot1);
  StoreIfEmpty(g_slot2, slot2);
  StoreIfEmpty(g_status_callback, callback);
  StoreIfEmpty(g_slot4, slot4);
}

QRNET_StatusCallback StatusCallback() {
  return g_status_callback.load();
}

uint32_t StartupSlot(int slot) {
  switch (slot) {
    case 1:
      return g_slot1.load();
    case 2:
      return g_slot2.load();
    case 4:
      return g_slot4.load();
    default:
      return 0;
  }
}

void ResetStartupSlotsForTest() {
  g_slot1.store(0);
  g_slot2.store(0);
  g_status_callback.store(nullptr);
  g_slot4.store(0);
}

void* SetClipCallbackSlot(void* callback) {
  g_clip_callback.store(callback);
  return callback;
}

const char* LocalHostName() {
  return Facts().host_name;
}
const char* ProgramDirectory() {
  return Facts().program_directory;
}
void InitProcessFacts() {
  (void)Facts();
}

namespace {
std::mutex g_cleanup_mutex;
std::vector<void (*)()> g_cleanup_hooks;  // guarded by g_cleanup_mutex
}  // namespace

void AddCleanupHook(void (*hook)()) {
  if (hook == nullptr) return;
  std::lock_guard<std::mutex> lock(g_cleanup_mutex);
  for (auto h : g_cleanup_hooks) {
    if (h == hook) return;
  }
  g_cleanup_hooks.push_back(hook);
}

void RunCleanupHooks() {
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> lock(g_cleanup_mutex);
    hooks = g_cleanup_hooks;
  }
  for (auto hook : hooks) hook();
}

std::mutex& CodecLock() {
  // Never destroyed: decoders may be closed by threads still running at exit.
  static std::mutex* lock = new std::mutex();
  return *lock;
}

void Notify(const NotifyTarget& target, int32_t kind, int32_t value) {
  QRNET_StatusCallback callback = g_status_callback.load();
  if (callback != nullptr) {
    try {
      callback(target.handle, kind, value, target.user_value);
    } catch (...) {
      // The host's callback must not take a library thread down with it.
    }
    return;
  }
  if (target.window != 0) {
    qrplat::PostMessageTo(target.window, target.message, static_cast<uint32_t>(kind), value);
  }
}

void LogWrite(const char* format, ...) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  FILE* file = qrplat::OpenFile("c:\\qr_log.txt", "a");
  if (file == nullptr) return;
  std::fseek(file, 0, SEEK_END);
  qrplat::LocalTime now = qrplat::GetLocalTime();
  std::fprintf(file, "%02d-%02d-%02d  ", now.hour, now.minute, now.second);
  va_list args;
  va_start(args, format);
  std::vfprintf(file, format, args);
  va_end(args);
  std::fflush(file);
  std::fclose(file);
}

int32_t LogStreamWrite(const char* format, va_list args) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (g_log_stream == nullptr || format == nullptr) return 0;
  int n = std::vfprintf(g_log_stream, format, args);
  return n > 0 ? n : 0;
}

void CloseLogStream() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  if (g_log_stream != nullptr) {
    std::fclose(g_log_stream);
    g_log_stream = nullptr;
  }
}

}  // namespace quornet
