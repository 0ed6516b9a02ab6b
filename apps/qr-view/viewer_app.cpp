#include "viewer_app.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "quorpane/video_widget.h"
#include "viewer_window.h"

namespace qrview {

namespace {

const QSize kDefaultWindowSize(960, 540);

// Run-to-count mode: watches the window until options.frames pictures were
// shown or the time-out passed, then reports, saves and ends the event loop.
class CountingRun : public QObject {
 public:
  CountingRun(ViewerWindow* window, const ViewerOptions& options, QTextStream& out,
              QTextStream& err)
      : window_(window), options_(options), out_(out), err_(err) {
    connect(window_->video(), &quorpane::QrVideoWidget::framesPresented, this,
            &CountingRun::OnFrames);
    connect(&window_->live(), &LiveView::linkStateReported, this, &CountingRun::OnLinkState);
    connect(&window_->live(), &LiveView::videoUnsupported, this, &CountingRun::OnUnsupported);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { Finish(false); });
  }

  // Call right before the client starts.
  void Begin() {
    clock_.start();
    timer_.start(options_.timeout_s * 1000);
  }

 private:
  void OnFrames(quint64 count) {
    if (finished_) return;
    if (first_picture_ms_ < 0) first_picture_ms_ = clock_.elapsed();
    FitWindowToPicture();
    if (count >= quint64(options_.frames)) Finish(true);
  }

  void OnLinkState(int state) {
    if (finished_) return;
    if (states_.empty() || states_.back().second != state) {
      states_.emplace_back(clock_.elapsed(), state);
    }
  }

  // No picture will come: say why and end at once (exit code 1). The window
  // shows the same text until then.
  void OnUnsupported(const QString& codec) {
    if (finished_) return;
    err_ << "Unsupported video: " << codec << "\n";
    unsupported_ = true;
    Finish(false);
  }

  // The saved picture is the presented one, which the library draws at the
  // window size: unless --size was given the window takes the picture size
  // (known once the first picture is decoded), so that later pictures are
  // presented unscaled.
  void FitWindowToPicture() {
    if (options_.window_size.isValid()) return;
    QRNET_ClientOutput info{};
    if (QRNET_GetClientParam(window_->live().handle(), &info) != 1) return;
    const QSize picture(info.width, info.height);
    if (picture.width() < 16 || picture.height() < 16 || picture.width() > 4096 ||
        picture.height() > 4096 || window_->video()->size() == picture) {
      return;
    }
    window_->resize(picture);
  }

  void Finish(bool arrived) {
    if (finished_) return;
    finished_ = true;
    timer_.stop();
    const quint64 shown = window_->video()->presentCount();
    // Take what is on screen before the client goes.
    const QImage picture = window_->video()->lastFrame();
    const QPixmap shot = options_.screenshot.isEmpty() ? QPixmap() : window_->grab();
    QRNET_StreamCounters counters{};
    QRNET_ClientGetStreamCounters(window_->live().handle(), &counters);
    window_->live().Stop();

    int code = arrived ? 0 : 1;
    if (!arrived && !unsupported_) {
      err_ << "timed out after " << options_.timeout_s << " s: " << shown << " of "
           << options_.frames << " pictures shown\n";
    }
    out_ << "frames shown: " << shown << "\n";
    out_ << "decode_errors=" << counters.decode_errors
         << " oversized_pictures=" << counters.oversized_pictures << "\n";
    if (first_picture_ms_ >= 0) {
      out_ << "time to first picture: " << first_picture_ms_ << " ms\n";
    } else {
      out_ << "time to first picture: none\n";
    }
    for (const auto& [ms, state] : states_) {
      out_ << "link state " << state;
      const QString text = LinkStateText(state);
      if (!text.isEmpty()) out_ << " (" << text << ")";
      out_ << " at " << ms << " ms\n";
    }
    if (!options_.save_png.isEmpty()) {
      if (picture.isNull()) {
        err_ << "no picture to save\n";
        code = 1;
      } else if (!picture.save(options_.save_png, "PNG")) {
        err_ << "cannot write " << options_.save_png << "\n";
        code = 1;
      } else {
        out_ << "saved picture: " << options_.save_png << " (" << picture.width() << "x"
             << picture.height() << ")\n";
      }
    }
    if (!options_.screenshot.isEmpty()) {
      if (!shot.save(options_.screenshot, "PNG")) {
        err_ << "cannot write " << options_.screenshot << "\n";
        code = 1;
      } else {
        out_ << "saved window: " << options_.screenshot << " (" << shot.width() << "x"
             << shot.height() << ")\n";
      }
    }
    out_.flush();
    err_.flush();
    QCoreApplication::exit(code);
  }

  ViewerWindow* window_;
  const ViewerOptions& options_;
  QTextStream& out_;
  QTextStream& err_;
  QElapsedTimer clock_;
  QTimer timer_;
  qint64 first_picture_ms_ = -1;
  std::vector<std::pair<qint64, int>> states_;  // changes, in order
  bool finished_ = false;
  bool unsupported_ = false;
};

}  // namespace

int RunViewer(const ViewerOptions& options, QTextStream& out, QTextStream& err) {
  ViewerOptions o = options;
  // The simulated camera outlives the window, so the client stops first.
  // Like a real camera it answers the control protocol on its RTSP port: the
  // client subscribes to its event channel when the stream starts, and a
  // device that never answers holds the first picture back until the
  // subscription times out.
  std::unique_ptr<devicesim::Device> sim;
  devicesim::ControlService control;
  if (o.address.isEmpty()) {
    devicesim::Config config;
    config.codec = o.sim_codec;
    config.width = o.sim_size.width();
    config.height = o.sim_size.height();
    // The built-in camera's encoder would print its statistics into the
    // viewer's output; this process owns FFmpeg's log level.
    av_log_set_level(AV_LOG_ERROR);
    sim = std::make_unique<devicesim::Device>();
    control.Attach(*sim);
    if (!sim->Start(config, 0)) {
      err << "simulated camera did not start: " << QString::fromStdString(sim->Error()) << "\n";
      return 2;
    }
    o.address = QStringLiteral("127.0.0.1:%1").arg(sim->Port());
    out << "simulated camera: " << QString::fromStdString(sim->Url(o.channel)) << "\n";
    out.flush();
  }

  // Shown without the credentials a full address may carry.
  QString shown = o.address;
  if (shown.startsWith(QStringLiteral("rtsp://"), Qt::CaseInsensitive)) {
    const qsizetype slash = shown.indexOf(QLatin1Char('/'), 7);
    const qsizetype at = shown.lastIndexOf(QLatin1Char('@'), slash < 0 ? -1 : slash);
    if (at > 7) shown = shown.left(7) + shown.mid(at + 1);
  }

  int code = 0;
  {
    ViewerWindow window;
    // The counting run's screenshots are the picture alone.
    window.setToolBarVisible(!o.counting());
    window.setWindowTitle(o.address.startsWith(QStringLiteral("rtsp://"), Qt::CaseInsensitive)
                              ? QStringLiteral("qr-view %1").arg(shown)
                              : QStringLiteral("qr-view %1 channel %2").arg(shown).arg(o.channel));
    // Counting against the built-in camera, the window starts at the picture
    // size (see CountingRun::FitWindowToPicture).
    if (o.window_size.isValid()) {
      window.resize(o.window_size);
    } else if (o.counting() && sim) {
      window.resize(o.sim_size);
    } else {
      window.resize(kDefaultWindowSize);
    }
    window.show();

    std::unique_ptr<CountingRun> run;
    if (o.counting()) {
      run = std::make_unique<CountingRun>(&window, o, out, err);
      run->Begin();
    }
    // The control buffers as the settings say (automatic without them).
    if (!window.live().Start(o)) {
      err << "the client did not start (address " << shown << ")\n";
      return 2;
    }
    code = QApplication::exec();
    window.live().Stop();
  }
  if (sim) sim->Stop();
  return code;
}

}  // namespace qrview
