// The machine-wide settings shared by the viewer control and the components,
// and the names of the files they ask the network client library to write.
//
// Store. The settings key "SOFTWARE\OCX\Quorvex" is the group
// "SOFTWARE/OCX/Quorvex" of an INI file: $QUORVEX_SETTINGS when set, else
// $XDG_CONFIG_HOME/OCX/Quorvex.conf (~/.config when XDG_CONFIG_HOME is unset).
// Values: RecordDisk (text, a drive root such as "D:\"), CapturePath (text,
// the snapshot folder) and LiveViewPerformance (32-bit number, 0..2000).
//
// Read rules, kept from the registry the store replaces:
// - the key "opens" when the group holds at least one value and the file is
//   readable, well-formed and writable (readers open with all access);
// - a text of 255 UTF-16 units or more reads as missing (the readers' buffer
//   is 510 bytes), as does a number that is not a 32-bit integer;
// - each reader has its own defaults, see the Read* functions.
// Settings are read at the moment of use, never cached. The configuration
// dialog is the only writer.
//
// Names. Paths keep their Windows form ("D:\Record\Normal\...") and are handed
// to the library as UTF-8 texts, which resolves them through the platform
// drive map; NativePath() does the same for our own use (opening a folder in
// the desktop shell). Length limits count UTF-8 bytes. A composed path longer
// than kMaxPathBytes is refused (the naming functions return an empty text
// and callers report failure without calling the library): a cut name could
// land in another folder or overwrite another file.
//
// GUI thread or any single thread; QSettings serialises file access.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qrplat/thread.h"

namespace quorpane {

// Longest path the library accepts in its fixed path fields, in bytes.
inline constexpr size_t kMaxPathBytes = 259;

// The settings file in use (re-read from the environment at every call).
QString SettingsFilePath();

// One read of the key; a value is absent when missing or unreadable.
struct StoredSettings {
  bool key_open = false;
  std::optional<QString> record_disk;
  std::optional<QString> capture_path;
  std::optional<int32_t> live_view_performance;
};
StoredSettings ReadSettings();

// Creates the key when needed and writes the three values. False when the
// file could not be written (the dialog does not report it).
bool WriteSettings(const QString& record_disk, const QString& capture_path,
                   int32_t live_view_performance);

// Reader defaults.
// Recording: RecordDisk, "C:\" when the key or the value is missing.
QString ReadRecordDiskForRecording();
// Snapshots of the control: CapturePath, "C:" when missing.
QString ReadCapturePathForSnapshot();
// Starting a view: -1 when the key is missing, `current` when only the value
// is missing.
int32_t ReadLiveViewPerformance(int32_t current);
// Replay dialog snapshots: "C:\Capture" when the key is missing, else
// CapturePath followed by "Capture" (when it ends with '\') or "\Capture"; a
// missing value counts as empty and gives "\Capture".
QString ReadReplayCaptureFolder();
// The configuration dialog: both texts, "C:\" for a missing or empty one.
struct DialogSettings {
  QString record_disk;
  QString capture_path;
};
DialogSettings ReadDialogSettings();

// UTF-8 form of `text`, or an empty text when longer than max_bytes (texts
// are passed empty, never cut).
std::string ToAnsi(const QString& text, size_t max_bytes);

// Channel as shown in file names: channel + 1 below 100 (unsigned
// comparison), else unchanged.
int32_t ShownChannel(int32_t channel);

// "%sRecord\Normal\%d-%02d-%02d\(%s)_%d_%d_%02d_%02d_%02d_%02d_%02d.avi":
// drive root (empty when longer than 14 bytes), the day folder, the device tag
// (url with its first ':' turned into '_', or "_554" appended without one;
// empty for a url over 259 bytes), shown channel, date and time.
std::string AutomaticRecordPath(const QString& record_disk, const QString& url, int32_t channel,
                                const qrplat::LocalTime& now);

// "%s\Capture\%d-%02d-%02d\(%s)_%d_%d_%02d_%02d_%02d_%02d_%02d_%ld.jpg":
// capture folder (empty when over 510 bytes), day folder, device tag (first
// ':' turned into '_', nothing appended), shown channel, date, time and the
// tick count (as a signed 32-bit number), which keeps apart snapshots taken
// within one second.
std::string AutomaticSnapshotPath(const QString& capture_path, const QString& url, int32_t channel,
                                  const qrplat::LocalTime& now, uint32_t tick);

// Replay dialog: "%s\%s\%s_%d.jpg" of capture folder, "%Y-%m-%d",
// "%Y_%m_%d_%H_%M_%S" and the tick count.
std::string ReplaySnapshotPath(const QString& capture_folder, const qrplat::LocalTime& now,
                               uint32_t tick);
// The day folder a replay snapshot lands in: capture folder + "\%Y-%m-%d".
QString ReplaySnapshotDayFolder(const QString& capture_folder, const qrplat::LocalTime& now);

// Roots ("C:\") of the fixed and network drives, in drive-map order.
std::vector<QString> RecordDriveRoots();

// A Windows-form path resolved through the drive map; a native path as it is;
// empty for an unknown drive or a path leaving its drive.
QString NativePath(const QString& path);
// The Windows form of a native directory inside a drive's directory
// ("/srv/d/pics" -> "D:\pics", the drive's own directory -> "D:\"); empty when
// no drive holds it. The drive with the longest matching directory wins.
QString DrivePath(const QString& native_directory);

}  // namespace quorpane
