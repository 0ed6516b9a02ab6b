// The display exports of quornet.h: live-view buffering, window hand-over and
// refresh, and the settings the renderer reads on its next picture.
//
// Every export turns its handle into a session through the handle table (the
// lookup keeps the session alive until the export returns) and never lets an
// exception out.
#include <algorithm>
#include <memory>

#include "api/export_guard.h"
#include "media/av_display.h"
#include "media/renderer.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;
using quornet::WithSession;

namespace {

// Stores one setting and returns the handle (0 for an invalid handle).
template <class F>
uint32_t StoreSetting(uint32_t handle, F&& store) {
  return WithSession(handle, uint32_t{0}, [&](CClientSession& s) {
    store(s);
    return handle;
  });
}

}  // namespace

extern "C" {

QRNET_API void QRNET_SetLiveViewPerformance(uint32_t handle, int32_t value) {
  WithSession(handle, 0, [value](CClientSession& s) {
    quornet::ApplyLiveViewPerformance(s, value);
    return 0;
  });
}

QRNET_API uint32_t QRNET_SetRestoreFrame(uint32_t handle, int32_t count) {
  return StoreSetting(handle, [count](CClientSession& s) { s.restore_frame_count.store(count); });
}

QRNET_API int32_t QRNET_GetBitStreamInfo(uint32_t handle, int32_t* bit_rate_kbps, int32_t* second) {
  return WithSession(handle, int32_t{0}, [&](CClientSession& s) {
    if (bit_rate_kbps != nullptr) *bit_rate_kbps = s.measured_bit_rate.load();
    if (second != nullptr) *second = 0;
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_ClientSetWnd(uint32_t handle, uint32_t window) {
  WithSession(handle, 0, [window](CClientSession& s) {
    if (s.video_window.load() == window) return 0;
    s.video_window.store(window);
    if (window != 0) {
      std::shared_ptr<quornet::CAVDisplay> display = quornet::FindDisplay(s);
      if (display) display->SetWindow(window);
    }
    return 0;
  });
  return 1;
}

QRNET_API int32_t QRNET_ClientRefreshWnd(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    if (s.view_flag.load() == 0) return int32_t{0};
    std::shared_ptr<quornet::CAVDisplay> display = quornet::FindDisplay(s);
    return display ? display->renderer().Refresh() : int32_t{0};
  });
}

QRNET_API int32_t QRNET_ClientShowMDRegion(uint32_t handle, int32_t flags) {
  return WithSession(handle, int32_t{0}, [flags](CClientSession& s) {
    s.md_region_mode.store(flags);
    return int32_t{1};
  });
}

QRNET_API uint32_t QRNET_ClientVerticalFlip(uint32_t handle, int32_t flag) {
  return StoreSetting(handle, [flag](CClientSession& s) { s.vertical_flip.store(flag); });
}

QRNET_API uint32_t QRNET_ClientRotate180(uint32_t handle, int32_t flag) {
  return StoreSetting(handle, [flag](CClientSession& s) { s.rotate180.store(flag); });
}

QRNET_API uint32_t QRNET_SetVertBlank(uint32_t handle, int32_t value) {
  return StoreSetting(handle, [value](CClientSession& s) { s.vertical_blank.store(value); });
}

QRNET_API uint32_t QRNET_SetLocalRect(uint32_t handle, int32_t x, int32_t y, int32_t width,
                                      int32_t height) {
  // The session keeps x, y, width, height in its four local-rectangle fields.
  return StoreSetting(handle, [&](CClientSession& s) {
    s.local_rect[0].store(x);
    s.local_rect[1].store(y);
    s.local_rect[2].store(width);
    s.local_rect[3].store(height);
  });
}

QRNET_API uint32_t QRNET_ShowLocalRect(uint32_t handle, int32_t flag) {
  return StoreSetting(handle, [flag](CClientSession& s) { s.show_local_rect.store(flag); });
}

QRNET_API int32_t QRNET_EptzZoom(uint32_t handle, int32_t step) {
  return WithSession(handle, int32_t{0}, [step](CClientSession& s) {
    int32_t level = s.ezoom_level.load();
    int32_t next;
    do {
      next = static_cast<int32_t>(
          std::clamp<int64_t>(int64_t(level) + step, -1, quornet::kMaxZoomLevel + 1));
      if (next < 0) {
        next = 0;
      } else if (next > quornet::kMaxZoomLevel) {
        next = quornet::kMaxZoomLevel;
      }
    } while (!s.ezoom_level.compare_exchange_weak(level, next));
    const int64_t sum = int64_t(level) + step;
    if (sum < 0) {
      s.ezoom_active.store(0);
    } else if (sum <= quornet::kMaxZoomLevel) {
      s.ezoom_active.store(1);
    }
    return next;
  });
}

}  // extern "C"
