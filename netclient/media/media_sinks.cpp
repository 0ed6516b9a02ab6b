// The media sinks of the stream sources: the session's display object
// (decoder and display thread) and the sound thread.
// Installed as the process-wide media-sinks factory at static
// initialisation.
#include <memory>

#include "media/av_display.h"
#include "media/av_sound.h"
#include "net/source_seams.h"
#include "net/video_picture.h"
#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {
namespace {

class CMediaSinks final : public IMediaSinks {
 public:
  CMediaSinks(CClientSession& session, CIConduit* video, CIConduit* audio)
      : display_(AcquireDisplay(session, video)),
        sound_(audio != nullptr ? std::make_unique<CAVSound>(session, audio) : nullptr) {}
  ~CMediaSinks() override { Stop(); }

  bool Start() override {
    Stop();
    if ((display_->session().video_payload.load() & 0xFF) == kVideoCodeUnsupported) {
      // Reported when the stream was described; the sound still plays.
      started_ = true;
      if (sound_ && !sound_->Start()) qrplat::DebugOutput("display: sound thread did not start\n");
      return true;
    }
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
    // Without sound the picture still runs (no audio device, no audio track).
    if (sound_ && !sound_->Start()) qrplat::DebugOutput("display: sound thread did not start\n");
    return true;
  }

  void Stop() override {
    if (!started_) return;
    started_ = false;
    if (sound_) sound_->Stop();
    display_->StopThread();
    display_->CloseDecoder();
  }

 private:
  std::shared_ptr<CAVDisplay> display_;  // shared with the exports
  std::unique_ptr<CAVSound> sound_;
  bool started_ = false;  // owner thread only
};

const bool g_registered = [] {
  RegisterMediaSinksFactory([](CClientSession& session, CIConduit* video, CIConduit* audio) {
    return std::make_unique<CMediaSinks>(session, video, audio);
  });
  return true;
}();

}  // namespace
}  // namespace quornet
