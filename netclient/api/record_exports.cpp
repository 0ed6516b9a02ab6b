// The recording and snapshot exports of quornet.h: record file, alarm record
// file and JPEG snapshot of a live client.
//
// Paths keep their Windows form ("D:\Record\...") and go through the drive
// map; native paths are accepted too.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/export_guard.h"
#include "media/recorder.h"
#include "media/snapshot_writer.h"
#include "qrplat/thread.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;
using quornet::CRecorder;
using quornet::WithSession;

namespace {

// A path that fits its session field, or "" (too long, null, empty).
std::string PathArgument(const char* path, size_t field_size) {
  if (path == nullptr) return {};
  const size_t n = strnlen(path, field_size);
  if (n == 0 || n >= field_size) return {};
  return std::string(path, n);
}

int32_t SecondsToMs(int32_t seconds, int32_t cap) {
  if (seconds <= 0) return 0;
  if (seconds >= cap / 1000) return cap;
  return seconds * 1000;
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_ClientStartRecord(uint32_t handle, const char* path, int32_t seconds) {
  return WithSession(handle, 0, [&](CClientSession& s) -> int32_t {
    std::shared_ptr<CRecorder> recorder = quornet::FindRecorder(s);
    if (recorder && recorder->IsRecording()) return 1;
    const std::string p = PathArgument(path, quornet::kNormalRecordPathSize);
    if (p.empty() || !recorder) return 0;
    {
      std::lock_guard<std::mutex> lock(s.text_mutex);
      quornet::CopyTextField(s.normal_record_path, sizeof s.normal_record_path, p.c_str());
    }
    s.normal_record_start_tick.store(static_cast<int32_t>(qrplat::TickCount()));
    s.normal_record_duration.store(SecondsToMs(seconds, INT32_MAX));
    return recorder->StartRecord(p) ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientStopRecord(uint32_t handle) {
  return WithSession(handle, 0, [&](CClientSession& s) -> int32_t {
    std::shared_ptr<CRecorder> recorder = quornet::FindRecorder(s);
    if (!recorder || !recorder->IsRecording()) return 1;
    return recorder->StopRecord() ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientStartAlarmRecord(uint32_t handle, const char* path, int32_t seconds) {
  return WithSession(handle, 0, [&](CClientSession& s) -> int32_t {
    std::shared_ptr<CRecorder> recorder = quornet::FindRecorder(s);
    const int32_t ms = SecondsToMs(seconds, quornet::kMaxAlarmDurationMs);
    if (recorder && recorder->IsAlarmRecording()) {
      // Extension: the new duration counts from now.
      const uint32_t now = qrplat::TickCount();
      const uint32_t ran = now - static_cast<uint32_t>(s.alarm_record_start_tick.load());
      const int64_t total = int64_t{ms} + ran;
      s.alarm_record_duration.store(
          static_cast<int32_t>(std::min<int64_t>(total, quornet::kMaxAlarmDurationMs)));
      return 1;
    }
    const std::string p = PathArgument(path, quornet::kAlarmRecordPathSize);
    if (p.empty() || !recorder) return 0;
    {
      std::lock_guard<std::mutex> lock(s.text_mutex);
      quornet::CopyTextField(s.alarm_record_path, sizeof s.alarm_record_path, p.c_str());
    }
    s.alarm_record_start_tick.store(static_cast<int32_t>(qrplat::TickCount()));
    s.alarm_record_duration.store(ms);
    return recorder->StartAlarmRecord(p) ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientStopAlarmRecord(uint32_t handle) {
  return WithSession(handle, 0, [&](CClientSession& s) -> int32_t {
    std::shared_ptr<CRecorder> recorder = quornet::FindRecorder(s);
    if (!recorder || !recorder->IsAlarmRecording()) return 1;
    return recorder->StopAlarmRecord() ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientCapturePicture(uint32_t handle, const char* path) {
  return WithSession(handle, 0, [&](CClientSession& s) -> int32_t {
    const std::string p = PathArgument(path, 4096);
    if (p.empty()) return 0;
    return quornet::RequestSnapshot(s, p) ? 1 : 0;
  });
}

}  // extern "C"
