// Settings store and file naming.
#include "quorpane/settings_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "qrplat/drives.h"

namespace quorpane {

namespace {

const char kGroup[] = "SOFTWARE/OCX/Quorvex";
const char kRecordDisk[] = "RecordDisk";
const char kCapturePath[] = "CapturePath";
const char kLiveViewPerformance[] = "LiveViewPerformance";

// The readers' buffer holds 510 bytes: 254 UTF-16 units plus the terminator.
constexpr qsizetype kMaxStoredText = 254;
// Limits of the conversions in the naming rules, in bytes.
constexpr size_t kMaxDriveBytes = 14;
constexpr size_t kMaxUrlBytes = 259;
constexpr size_t kMaxCaptureBytes = 510;
constexpr size_t kMaxReplayPathBytes = 1022;

QString EnvPath(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && v[0] != 0) ? QString::fromLocal8Bit(v) : QString();
}

std::optional<QString> ReadText(const QSettings& s, const char* name) {
  const QVariant v = s.value(QLatin1String(name));
  if (!v.isValid()) return std::nullopt;
  // A hand-edited value with a comma comes back as a list from the INI
  // reader; the registry knew only the text.
  const QString text =
      v.typeId() == QMetaType::QStringList ? v.toStringList().join(u',') : v.toString();
  if (text.size() > kMaxStoredText) return std::nullopt;
  return text;
}

std::optional<int32_t> ReadNumber(const QSettings& s, const char* name) {
  const QVariant v = s.value(QLatin1String(name));
  if (!v.isValid() || v.typeId() == QMetaType::QStringList) return std::nullopt;
  const QString text = v.toString().trimmed();
  bool ok = false;
  const int32_t value = text.toInt(&ok);
  if (ok) return value;
  const uint32_t unsigned_value = text.toUInt(&ok);  // a DWORD read as signed
  if (ok) return static_cast<int32_t>(unsigned_value);
  return std::nullopt;
}

// "%d-%02d-%02d" of a date.
std::string DayText(const qrplat::LocalTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%d-%02d-%02d", t.year, t.month, t.day);
  return buf;
}

// The url with its first ':' turned into '_'; `suffix_without_colon` is
// appended when there is none. A full "rtsp://[user:pass@]host[:port]/path"
// address gives its host and port only (no credentials in file names), and
// path separators never reach the name (they would make folders).
std::string DeviceTag(const QString& url, const char* suffix_without_colon) {
  std::string tag = ToAnsi(url, kMaxUrlBytes);
  if (tag.size() >= 7 && QString::fromStdString(tag.substr(0, 7)).toLower() == "rtsp://") {
    tag.erase(0, 7);
    tag.erase(std::min(tag.find('/'), tag.size()));
    const size_t at = tag.rfind('@');
    if (at != std::string::npos) tag.erase(0, at + 1);
  }
  for (char& c : tag) {
    if (c == '/' || c == '\\') c = '_';
  }
  const size_t colon = tag.find(':');
  if (colon != std::string::npos) {
    tag[colon] = '_';
  } else {
    tag += suffix_without_colon;
  }
  return tag;
}

std::string Refuse(std::string path) {
  if (path.size() > kMaxPathBytes) return std::string();
  return path;
}

std::string Format(const char* format, auto... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  if (n <= 0) return std::string();
  std::string out(size_t(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, args...);
  out.resize(size_t(n));
  return out;
}

}  // namespace

QString SettingsFilePath() {
  QString path = EnvPath("QUORVEX_SETTINGS");
  if (!path.isEmpty()) return path;
  QString config = EnvPath("XDG_CONFIG_HOME");
  if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/OCX/Quorvex.conf");
}

StoredSettings ReadSettings() {
  StoredSettings out;
  const QString path = SettingsFilePath();
  QSettings s(path, QSettings::IniFormat);
  if (s.status() != QSettings::NoError || !s.isWritable()) return out;
  s.beginGroup(QLatin1String(kGroup));
  if (s.childKeys().isEmpty() && s.childGroups().isEmpty()) return out;
  out.key_open = true;
  out.record_disk = ReadText(s, kRecordDisk);
  out.capture_path = ReadText(s, kCapturePath);
  out.live_view_performance = ReadNumber(s, kLiveViewPerformance);
  return out;
}

bool WriteSettings(const QString& record_disk, const QString& capture_path,
                   int32_t live_view_performance) {
  const QString path = SettingsFilePath();
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSettings s(path, QSettings::IniFormat);
  if (!s.isWritable()) return false;
  s.beginGroup(QLatin1String(kGroup));
  s.setValue(QLatin1String(kRecordDisk), record_disk);
  s.setValue(QLatin1String(kCapturePath), capture_path);
  s.setValue(QLatin1String(kLiveViewPerformance), live_view_performance);
  s.endGroup();
  s.sync();
  return s.status() == QSettings::NoError;
}

QString ReadRecordDiskForRecording() {
  return ReadSettings().record_disk.value_or(QStringLiteral("C:\\"));
}

QString ReadCapturePathForSnapshot() {
  return ReadSettings().capture_path.value_or(QStringLiteral("C:"));
}

int32_t ReadLiveViewPerformance(int32_t current) {
  const StoredSettings s = ReadSettings();
  if (!s.key_open) return -1;
  return s.live_view_performance.value_or(current);
}

QString ReadReplayCaptureFolder() {
  const StoredSettings s = ReadSettings();
  if (!s.key_open) return QStringLiteral("C:\\Capture");
  const QString folder = s.capture_path.value_or(QString());
  return folder +
         (folder.endsWith(u'\\') ? QStringLiteral("Capture") : QStringLiteral("\\Capture"));
}

DialogSettings ReadDialogSettings() {
  const StoredSettings s = ReadSettings();
  DialogSettings out;
  out.record_disk = s.record_disk.value_or(QString());
  out.capture_path = s.capture_path.value_or(QString());
  if (out.record_disk.isEmpty()) out.record_disk = QStringLiteral("C:\\");
  if (out.capture_path.isEmpty()) out.capture_path = QStringLiteral("C:\\");
  return out;
}

std::string ToAnsi(const QString& text, size_t max_bytes) {
  QByteArray bytes = text.toUtf8();
  if (size_t(bytes.size()) > max_bytes) return std::string();
  return bytes.toStdString();
}

int32_t ShownChannel(int32_t channel) {
  return static_cast<uint32_t>(channel) < 100u ? channel + 1 : channel;
}

std::string AutomaticRecordPath(const QString& record_disk, const QString& url, int32_t channel,
                                const qrplat::LocalTime& t) {
  const std::string drive = ToAnsi(record_disk, kMaxDriveBytes);
  const std::string tag = DeviceTag(url, "_554");
  return Refuse(Format("%sRecord\\Normal\\%d-%02d-%02d\\(%s)_%d_%d_%02d_%02d_%02d_%02d_%02d.avi",
                       drive.c_str(), t.year, t.month, t.day, tag.c_str(), ShownChannel(channel),
                       t.year, t.month, t.day, t.hour, t.minute, t.second));
}

std::string AutomaticSnapshotPath(const QString& capture_path, const QString& url, int32_t channel,
                                  const qrplat::LocalTime& t, uint32_t tick) {
  const std::string folder = ToAnsi(capture_path, kMaxCaptureBytes);
  const std::string tag = DeviceTag(url, "");
  return Refuse(Format("%s\\Capture\\%d-%02d-%02d\\(%s)_%d_%d_%02d_%02d_%02d_%02d_%02d_%ld.jpg",
                       folder.c_str(), t.year, t.month, t.day, tag.c_str(), ShownChannel(channel),
                       t.year, t.month, t.day, t.hour, t.minute, t.second,
                       long(static_cast<int32_t>(tick))));
}

std::string ReplaySnapshotPath(const QString& capture_folder, const qrplat::LocalTime& t,
                               uint32_t tick) {
  const QString path = QString::fromStdString(
      Format("%s\\%s\\%d_%02d_%02d_%02d_%02d_%02d_%d.jpg", capture_folder.toUtf8().constData(),
             DayText(t).c_str(), t.year, t.month, t.day, t.hour, t.minute, t.second,
             static_cast<int32_t>(tick)));
  return Refuse(ToAnsi(path, kMaxReplayPathBytes));
}

QString ReplaySnapshotDayFolder(const QString& capture_folder, const qrplat::LocalTime& t) {
  return capture_folder + u'\\' + QString::fromStdString(DayText(t));
}

std::vector<QString> RecordDriveRoots() {
  std::vector<QString> roots;
  for (const qrplat::Drive& d : qrplat::ListDrives()) {
    if (d.type == qrplat::DriveType::Fixed || d.type == qrplat::DriveType::Network) {
      roots.push_back(QString(QChar(d.letter)) + QStringLiteral(":\\"));
    }
  }
  return roots;
}

QString NativePath(const QString& path) {
  std::string native;
  if (!qrplat::TranslatePath(path.toUtf8().toStdString(), &native)) return QString();
  return QString::fromStdString(native);
}

QString DrivePath(const QString& native_directory) {
  const QString dir = QDir::cleanPath(QDir(native_directory).absolutePath());
  QString best;
  qsizetype best_len = -1;
  for (const qrplat::Drive& d : qrplat::ListDrives()) {
    const QString root = QDir::cleanPath(QString::fromStdString(d.directory));
    if (root.isEmpty()) continue;
    QString rest;
    if (dir == root) {
      rest = QString();
    } else if (dir.startsWith(root.endsWith(u'/') ? root : root + u'/')) {
      rest = dir.mid(root.endsWith(u'/') ? root.size() : root.size() + 1);
    } else {
      continue;
    }
    if (root.size() <= best_len) continue;
    best_len = root.size();
    best = QString(QChar(d.letter)) + QStringLiteral(":\\") + QString(rest).replace(u'/', u'\\');
  }
  return best;
}

}  // namespace quorpane
