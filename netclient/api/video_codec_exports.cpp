// Export of the video codec a client's stream announced.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "api/export_guard.h"
#include "net/video_picture.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;

extern "C" {

QRNET_API int32_t QRNET_ClientGetVideoCodec(uint32_t handle, char* name, int32_t size) {
  return quornet::WithSession(handle, int32_t{0}, [name, size](CClientSession& s) {
    const int32_t code = s.video_payload.load() & 0xFF;
    if (name == nullptr || size <= 0) return code;
    std::lock_guard<std::mutex> lock(s.text_mutex);
    const char* text = "";
    switch (code) {
      case quornet::kVideoCodeH264:
        text = "H264";
        break;
      case quornet::kVideoCodeH265:
        text = "H265";
        break;
      case quornet::kVideoCodeJpeg:
        text = "JPEG";
        break;
      case quornet::kVideoCodeUnsupported:
        text = s.video_unsupported;
        break;
      default:
        break;
    }
    std::snprintf(name, size_t(size), "%s", text);
    return code;
  });
}

}  // extern "C"
