// qr-uishot: renders the component dialogs into PNG files without a display.
//
//   qr-uishot OUTPUT_DIR
//
// Writes dialog_config_en.png and dialog_config_zh.png. The dialogs read a
// throw-away settings file (a capture folder and drive D: preselected) and a
// drive map of C: and D:, so the pictures do not depend on the machine.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "qrplat/drives.h"
#include "quorpane/dialog_config.h"
#include "quorpane/settings_store.h"

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
  return failures == 0 ? 0 : 1;
}
