#include "media/libav_log.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "qrplat/thread.h"

namespace quornet {

void NoteLibavError();

namespace {

thread_local LibavErrorScope* t_scope = nullptr;

void LogToDebugSink(void* avcl, int level, const char* format, va_list args) {
  if (level <= AV_LOG_ERROR) NoteLibavError();
  if (level > av_log_get_level()) return;
  char line[1024];
  int print_prefix = 1;
  av_log_format_line2(avcl, level, format, args, line, sizeof line, &print_prefix);
  qrplat::DebugOutput("libav: %s", line);
}

}  // namespace

void NoteLibavError() {
  if (t_scope != nullptr) ++t_scope->errors_;
}

void RouteLibavLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogToDebugSink); });
}

namespace {

// Installed when the library loads, before any thread of the host can be
// inside av_log (which reads the callback without a lock).
const bool g_routed = (RouteLibavLog(), true);

}  // namespace

LibavErrorScope::LibavErrorScope() {
  t_scope = this;
}

LibavErrorScope::~LibavErrorScope() {
  t_scope = nullptr;
}

}  // namespace quornet
