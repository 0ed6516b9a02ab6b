#include "options.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace qrview {

namespace {

bool ParseSize(const QString& text, QSize* size) {
  static const QRegularExpression re(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
  const QRegularExpressionMatch m = re.match(text);
  if (!m.hasMatch()) return false;
  *size = QSize(m.captured(1).toInt(), m.captured(2).toInt());
  return size->width() > 0 && size->height() > 0;
}

bool ParseInt(const QString& text, int min, int max, int* value) {
  bool ok = false;
  const int v = text.toInt(&ok);
  if (!ok || v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

ParseResult ParseViewerOptions(const QStringList& arguments, ViewerOptions* options,
                               QString* message) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Live view of one camera channel. Without --address the built-in simulated "
                     "camera is started on a free loopback port and viewed.\n"
                     "Double click toggles full screen; Escape leaves it."));
  const QCommandLineOption help_option({QStringLiteral("h"), QStringLiteral("help")},
                                       QStringLiteral("Show this help and exit."));
  const QCommandLineOption address(QStringLiteral("address"),
                                   QStringLiteral("Device address (\"rtsp://\" may be left out)."),
                                   QStringLiteral("HOST[:PORT][/path]"));
  const QCommandLineOption url(
      QStringLiteral("url"),
      QStringLiteral("Any RTSP server or camera by its full address: the standard RTSP requests, "
                     "credentials in the address or from --user/--pass (instead of --address and "
                     "--channel)."),
      QStringLiteral("rtsp://[USER:PASS@]HOST[:PORT]/PATH"));
  const QCommandLineOption channel(QStringLiteral("channel"),
                                   QStringLiteral("Stream number on the device (default 1)."),
                                   QStringLiteral("N"), QStringLiteral("1"));
  const QCommandLineOption transport(QStringLiteral("transport"),
                                     QStringLiteral("RTP interleaved on the RTSP connection (tcp, "
                                                    "default) or RTP over UDP (udp)."),
                                     QStringLiteral("tcp|udp"), QStringLiteral("tcp"));
  const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("User name."),
                                QStringLiteral("U"));
  const QCommandLineOption pass(QStringLiteral("pass"), QStringLiteral("Password."),
                                QStringLiteral("P"));
  const QCommandLineOption frames(
      QStringLiteral("frames"),
      QStringLiteral("Run until N pictures were shown, print what happened and exit (0 when they "
                     "arrived, 1 after the time-out). Works without a display or sound card."),
      QStringLiteral("N"));
  const QCommandLineOption timeout(
      QStringLiteral("timeout"),
      QStringLiteral("Give up after S seconds in --frames mode (default 20)."), QStringLiteral("S"),
      QStringLiteral("20"));
  const QCommandLineOption save_png(
      QStringLiteral("save-png"),
      QStringLiteral("Save the last shown picture, at its own size, as PNG (implies --frames 50 "
                     "unless given)."),
      QStringLiteral("FILE"));
  const QCommandLineOption screenshot(
      QStringLiteral("screenshot"),
      QStringLiteral("Save the whole window as PNG at the end of a --frames run (implies --frames "
                     "50 unless given)."),
      QStringLiteral("FILE"));
  const QCommandLineOption size(
      QStringLiteral("size"),
      QStringLiteral("Window size (default 960x540; the picture size in --frames mode)."),
      QStringLiteral("WxH"));
  const QCommandLineOption sim_size(
      QStringLiteral("sim-size"),
      QStringLiteral("Picture size of the built-in simulated camera (default 1280x720)."),
      QStringLiteral("WxH"), QStringLiteral("1280x720"));
  const QCommandLineOption sim_codec(
      QStringLiteral("sim-codec"),
      QStringLiteral("Video of the built-in simulated camera: h264 (default), h265 or mjpeg."),
      QStringLiteral("h264|h265|mjpeg"), QStringLiteral("h264"));
  parser.addOptions({help_option, address, url, channel, transport, user, pass, frames, timeout,
                     save_png, screenshot, size, sim_size, sim_codec});

  if (!parser.parse(arguments)) {
    *message = parser.errorText();
    return ParseResult::kError;
  }
  if (parser.isSet(help_option)) {
    // The parser runs before the application object exists, so it does not
    // know the program's name.
    *message =
        parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("qr-view"));
    return ParseResult::kExitOk;
  }
  if (!parser.positionalArguments().isEmpty()) {
    *message = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
    return ParseResult::kError;
  }

  ViewerOptions o;
  o.address = parser.value(address).trimmed();
  if (o.address.startsWith(QStringLiteral("rtsp://"), Qt::CaseInsensitive)) {
    o.address = o.address.mid(7);
  }
  if (parser.isSet(url)) {
    if (parser.isSet(address)) {
      *message = QStringLiteral("--url and --address exclude each other");
      return ParseResult::kError;
    }
    // The full address goes into the record as it is: its "rtsp://" selects
    // the standard requests.
    o.address = parser.value(url).trimmed();
    if (!o.address.startsWith(QStringLiteral("rtsp://"), Qt::CaseInsensitive) ||
        o.address.size() <= 7) {
      *message = QStringLiteral("--url is rtsp://[USER:PASS@]HOST[:PORT]/PATH");
      return ParseResult::kError;
    }
    if (o.address.toUtf8().size() > kMaxUrlBytes) {
      *message = QStringLiteral("--url is longer than %1 bytes").arg(kMaxUrlBytes);
      return ParseResult::kError;
    }
  }
  o.user = parser.value(user);
  o.password = parser.value(pass);
  // The record's text fields are fixed size: a text that does not fit is
  // refused here rather than cut or dropped silently.
  if (!parser.isSet(url) && o.address.toUtf8().size() > kMaxAddressBytes) {
    *message = QStringLiteral("--address is longer than %1 bytes").arg(kMaxAddressBytes);
    return ParseResult::kError;
  }
  if (o.user.toUtf8().size() > kMaxUserBytes) {
    *message = QStringLiteral("--user is longer than %1 bytes").arg(kMaxUserBytes);
    return ParseResult::kError;
  }
  if (o.password.toUtf8().size() > kMaxPasswordBytes) {
    *message = QStringLiteral("--pass is longer than %1 bytes").arg(kMaxPasswordBytes);
    return ParseResult::kError;
  }
  if (!ParseInt(parser.value(channel), 0, 0x7FFFFFFF, &o.channel)) {
    *message = QStringLiteral("--channel needs a number from 0");
    return ParseResult::kError;
  }
  const QString t = parser.value(transport).toLower();
  if (t == QStringLiteral("tcp")) {
    o.transport = 1;
  } else if (t == QStringLiteral("udp")) {
    o.transport = 0;
  } else {
    *message = QStringLiteral("--transport is tcp or udp");
    return ParseResult::kError;
  }
  o.save_png = parser.value(save_png);
  o.screenshot = parser.value(screenshot);
  if (parser.isSet(frames)) {
    if (!ParseInt(parser.value(frames), 1, 1000000000, &o.frames)) {
      *message = QStringLiteral("--frames needs a number from 1");
      return ParseResult::kError;
    }
  } else if (!o.save_png.isEmpty() || !o.screenshot.isEmpty()) {
    o.frames = 50;
  }
  if (!ParseInt(parser.value(timeout), 1, 86400, &o.timeout_s)) {
    *message = QStringLiteral("--timeout needs a number of seconds from 1");
    return ParseResult::kError;
  }
  if (parser.isSet(size) && !ParseSize(parser.value(size), &o.window_size)) {
    *message = QStringLiteral("--size is WxH, e.g. 960x540");
    return ParseResult::kError;
  }
  if (!ParseSize(parser.value(sim_size), &o.sim_size) || o.sim_size.width() < 128 ||
      o.sim_size.width() % 2 != 0 || o.sim_size.height() % 2 != 0) {
    *message = QStringLiteral("--sim-size is WxH with even sides and a width of 128 or more");
    return ParseResult::kError;
  }
  const auto codec = devicesim::ParseVideoCodec(parser.value(sim_codec).toStdString());
  if (!codec) {
    *message = QStringLiteral("--sim-codec is h264, h265 or mjpeg");
    return ParseResult::kError;
  }
  o.sim_codec = *codec;
  *options = o;
  return ParseResult::kRun;
}

}  // namespace qrview
