// One live view: a client of the network library drawing into a video
// widget, with the link state it reports.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

#include "options.h"
#include "quornet.h"

namespace quorpane {
class QrVideoWidget;
}

namespace qrview {

// Message number of the library's notifications to the video widget.
inline constexpr uint32_t kNotifyMessage = 1124;
// Notification kind of link-state reports.
inline constexpr uint32_t kKindLinkState = 1;
// Notification kind of "the stream's video cannot be decoded".
inline constexpr uint32_t kKindUnsupportedVideo = 9;

// The text shown over the video for a link state; empty while the stream runs
// (0) and for states without a text.
QString LinkStateText(int32_t state);
// The text shown over the video while the stream runs in a video codec the
// library cannot decode.
QString UnsupportedVideoText(const QString& codec);

// Fills a client parameter record for `options` that draws into and notifies
// `window`. Texts must already fit their fields (ParseViewerOptions checks).
void FillClientParam(const ViewerOptions& options, uint32_t window, int32_t live_view_performance,
                     QRNET_ClientParam* param);

class LiveView : public QObject {
  Q_OBJECT

 public:
  // `video` must outlive the view or the view must be stopped first.
  explicit LiveView(quorpane::QrVideoWidget* video, QObject* parent = nullptr);
  ~LiveView() override;  // stops the client

  // Sets up the library, starts the client with audio on. Live-view
  // performance: buffering in ms, -1 automatic, 0 real time. False when the
  // library refused the start.
  bool Start(const ViewerOptions& options, int32_t live_view_performance);
  // Stops the client; it no longer draws or posts once this returns.
  void Stop();

  uint32_t handle() const { return handle_; }
  // The last link state reported (1 right after start).
  int32_t linkState() const { return link_state_; }

 signals:
  // Every link-state report, repeated values included.
  void linkStateReported(int state);
  // The stream's video cannot be decoded; codec: the name it announced.
  void unsupportedVideoReported(const QString& codec);

 private:
  void OnWindowMessage(uint msg, uint wparam, int lparam);

  quorpane::QrVideoWidget* video_;
  uint32_t handle_ = 0;
  int32_t link_state_ = 1;
};

}  // namespace qrview
