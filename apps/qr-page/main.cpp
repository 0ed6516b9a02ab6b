// qr-page: runs a page script with embedded viewer controls (see --help).
#include <QApplication>
#include <QTextStream>

#include "page_host.h"
#include "page_options.h"

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QTextStream out(stdout);
  QTextStream err(stderr);

  // Parsed before the application object, so --help works without a display.
  qrpage::PageOptions options;
  QString message;
  switch (qrpage::ParsePageOptions(arguments, &options, &message)) {
    case qrpage::ParseResult::kExitOk:
      out << message;
      return 0;
    case qrpage::ParseResult::kError:
      err << "qr-page: " << message << "\n(see qr-page --help)\n";
      return 2;
    case qrpage::ParseResult::kRun:
      break;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("qr-page"));
  return qrpage::RunPage(options, out, err);
}
