// Command line of qr-page.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

namespace qrpage {

struct PageOptions {
  int columns = 1;  // --grid CxR
  int rows = 1;
  QSize window_size;     // invalid = 352 x 288 per control
  int quit_after_s = 0;  // 0 = no limit
  int sims = 0;          // built-in simulated cameras
  QSize sim_size{640, 360};
  QString page;      // the script file
  QStringList args;  // what follows the page, as host.args
};

enum class ParseResult { kRun, kExitOk, kError };

// Options come before the page; everything after the page belongs to it.
ParseResult ParsePageOptions(const QStringList& arguments, PageOptions* options, QString* message);

}  // namespace qrpage
