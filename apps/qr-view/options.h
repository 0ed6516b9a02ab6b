// Command line of qr-view.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "devicesim/device.h"

namespace qrview {

struct ViewerOptions {
  // Device; an empty address means the built-in simulated camera.
  QString address;  // "host[:port][/path]", or a full "rtsp://..." address (--url)
  int32_t channel = 1;
  uint16_t transport = 1;  // QRNET_TRANSPORT_RTSP_TCP
  QString user;
  QString password;

  // Run-to-count mode: stop after `frames` presented pictures (0 = run until
  // the window is closed), or after timeout_s seconds with exit code 1.
  int frames = 0;
  int timeout_s = 20;
  QString save_png;    // the last presented picture, at its own size
  QString screenshot;  // the whole window as drawn on screen
  QSize window_size;   // invalid = default (picture size in run-to-count mode)

  // The built-in simulated camera.
  QSize sim_size{1280, 720};
  devicesim::VideoCodec sim_codec = devicesim::VideoCodec::kH264;

  bool counting() const { return frames > 0; }
};

// Field limits of the client parameter record in bytes of UTF-8, without the
// terminator. The record has room for more; these are the limits the viewer
// control has always applied.
inline constexpr int kMaxAddressBytes = 126;
// A full address (--url) may use the whole 160 bytes of the record's field.
inline constexpr int kMaxUrlBytes = 160;
inline constexpr int kMaxUserBytes = 31;
inline constexpr int kMaxPasswordBytes = 63;

enum class ParseResult { kRun, kExitOk, kError };

// Parses arguments (arguments[0] is the program). kExitOk after --help or
// --version (the text is in *message); kError with the reason in *message.
ParseResult ParseViewerOptions(const QStringList& arguments, ViewerOptions* options,
                               QString* message);

}  // namespace qrview
