// The media sinks of the stream sources: the session's display object
// (decoder and display thread) and, once wired in, its sound thread.
// Installed as the process-wide media-sinks factory at static
// initialisation.
#include <memory>

#include "media/av_display.h"
#include "net/source_seams.h"
#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {
namespace {

class CMediaSinks final : public IMediaSinks {
 public:
  CMediaSinks(CClientSession& session, CIConduit* video)
      : display_(AcquireDisplay(session, video)) {}
  ~CMediaSinks() override { Stop(); }

  bool Start() override {
    Stop();
    if (!display_->OpenDecoder()) {
      qrplat::DebugOutput("display: no decoder for video payload %d\n",
                          display_->session().video_payload.load());
      display_->CloseDecoder();
      return false;
    }
    if (!display_->StartThread()) {
      display_->CloseDecoder();
      return false;
    }
    started_ = true;
    return true;
  }

  void Stop() override {
    if (!started_) return;
    started_ = false;
    display_->StopThread();
    display_->CloseDecoder();
  }

 private:
  std::shared_ptr<CAVDisplay> display_;
  bool started_ = false;  // owner thread only
};

const bool g_registered = [] {
  RegisterMediaSinksFactory([](CClientSession& session, CIConduit* video, CIConduit*) {
    return std::make_unique<CMediaSinks>(session, video);
  });
  return true;
}();

}  // namespace
}  // namespace quornet
