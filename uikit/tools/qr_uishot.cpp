// qr-uishot: renders the component dialogs into PNG files without a display.
//
//   qr-uishot OUTPUT_DIR
//
// Writes dialog_config_en.png, dialog_config_zh.png, dialog_replay_en.png
// and dialog_replay_zh.png. The dialogs read a throw-away settings file (a
// capture folder and drive D: preselected) and a drive map of C: and D:, so
// the pictures do not depend on the machine. For the replay dialog the
// built-in simulated camera (loopback) is recorded for a few seconds under
// the automatic record names; the dialog finds the recordings and plays one.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "devicesim/device.h"
#include "qrplat/drives.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "quorpane/dialog_config.h"
#include "quorpane/replay_dialog.h"
#include "quorpane/settings_store.h"
#include "quorpane/sort_list_ctrl.h"

namespace {

// Runs the event loop for `ms` milliseconds or until done() holds.
template <class Pred>
bool Pump(int ms, Pred done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QApplication::processEvents();
    QThread::msleep(5);
  }
  return true;
}

// Records channel `channel` of the simulator into `path` for `ms`.
bool Record(uint16_t port, int channel, const std::string& path, int ms) {
  auto host = std::make_shared<qrplat::MemoryWindowHost>(640, 360);
  const uint32_t window = qrplat::RegisterWindow(host);
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  p.view_flag = 1;
  p.channel = channel;
  p.video_window = window;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port));
  const uint32_t handle = QRNET_ClientStart(&p);
  bool ok = handle != 0 && host->WaitPresents(5, 15000) &&
            QRNET_ClientStartRecord(handle, path.c_str(), 0) == 1;
  if (ok) qrplat::SleepMs(uint32_t(ms));
  if (handle != 0) QRNET_ClientStop(handle);
  qrplat::UnregisterWindow(window);
  return ok;
}

// The replay dialogs with the recordings found and the first one playing.
int ReplayShots(const QString& out) {
  setenv("QRPLAT_AUDIO", "null", 0);
  QRNET_Startup(0, 0, nullptr, 0);
  devicesim::Device device;
  devicesim::Config cfg;
  cfg.width = 640;
  cfg.height = 360;
  cfg.session_timeout = std::chrono::milliseconds(0);
  if (!device.Start(cfg, 0)) {
    std::fprintf(stderr, "simulator: %s\n", device.Error().c_str());
    return 1;
  }
  const QString url = QStringLiteral("127.0.0.1:%1").arg(device.Port());
  const std::string first =
      quorpane::AutomaticRecordPath(QStringLiteral("D:\\"), url, 0, qrplat::GetLocalTime());
  const std::string second =
      quorpane::AutomaticRecordPath(QStringLiteral("C:\\"), url, 1, qrplat::GetLocalTime());
  if (!Record(device.Port(), 0, first, 6000) || !Record(device.Port(), 1, second, 3000)) {
    std::fprintf(stderr, "recording failed\n");
    return 1;
  }
  device.Stop();

  int failures = 0;
  for (const auto& [language, name] :
       {std::pair{1, "dialog_replay_en.png"}, std::pair{0, "dialog_replay_zh.png"}}) {
    quorpane::CReplayDlg dialog(language);
    dialog.setMessageSink([](QWidget*, const QString& text) {
      std::fprintf(stderr, "message: %s\n", qPrintable(text));
    });
    dialog.resize(1040, 760);
    dialog.show();
    bool found = false;
    QObject::connect(&dialog, &quorpane::CReplayDlg::searchFinished, [&](int) { found = true; });
    dialog.findChild<QPushButton*>(QStringLiteral("ctl1005"))->click();
    auto* list = dialog.findChild<quorpane::CSortListCtrl*>(QStringLiteral("ctl1002"));
    if (!Pump(20000, [&] { return found; }) || list->rowCount() == 0) {
      std::fprintf(stderr, "nothing found\n");
      ++failures;
      continue;
    }
    list->selectRow(list->rowCount() - 1);
    if (!dialog.OpenFile(list->rowTexts(list->rowCount() - 1).value(1))) {
      ++failures;
      continue;
    }
    Pump(2600, [] { return false; });
    const QString file = out + u'/' + QLatin1String(name);
    if (!dialog.grab().save(file)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
      ++failures;
    }
    dialog.CloseFile();
  }
  QRNET_Cleanup();
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qr-uishot OUTPUT_DIR\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QTemporaryDir scratch;
  if (!scratch.isValid()) return 1;
  QDir(scratch.path()).mkpath(QStringLiteral("c"));
  QDir(scratch.path()).mkpath(QStringLiteral("d"));
  const QString drives = QStringLiteral("C=%1/c:fixed;D=%1/d:network").arg(scratch.path());
  setenv("QRPLAT_DRIVES", drives.toUtf8().constData(), 1);
  qrplat::ReloadDriveMap();
  setenv("QUORVEX_SETTINGS",
         (scratch.path() + QStringLiteral("/Quorvex.conf")).toUtf8().constData(), 1);
  quorpane::WriteSettings(QStringLiteral("D:\\"), QStringLiteral("D:\\Snapshots"), 650);

  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  int failures = 0;
  for (const auto& [language, name] :
       {std::pair{1, "dialog_config_en.png"}, std::pair{2, "dialog_config_zh.png"}}) {
    quorpane::CDialogConfig dialog(language);
    dialog.SetParam(0, 650);
    dialog.show();
    QApplication::processEvents();
    const QString file = out + u'/' + QLatin1String(name);
    if (!dialog.grab().save(file)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
      ++failures;
    }
    dialog.hide();
  }
  failures += ReplayShots(out);
  return failures == 0 ? 0 : 1;
}
