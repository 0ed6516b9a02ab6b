// Searches for local record files in the record folder trees:
//
//   X:\Record\Normal\Y-M-D\(tag)_N_....avi / .h264   written by the control
//   X:\Record\Alarm\Y-M-D\...
//   X:\QR_Record\Normal|Alarm\Y-M-D\....h264          written by the recorder
//
// on the fixed and network drives of the drive map. A day folder is named
// year-month-day with '-' separators (numbers, so "2024-3-7" is 7 March); a
// file name carries the device tag in parentheses, then '_', the channel
// number and '_'. Folders and files whose names do not follow that scheme are
// skipped, never read as some other day or channel.
//
// The functions only read directories; they may run on any thread (the
// replay dialog runs its search on a worker so that a slow drive does not
// freeze it).
#pragma once

#include <QDateTime>
#include <QString>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorpane {

// The record search of the viewer control (SearchRecordFile). `request` is
// "%04d-%02d-%02d-%d": year, month, day and kind (1 normal recordings, 2
// alarm recordings, anything else both, normal first). Scans X:\Record\Normal
// and \Alarm of every fixed and network drive, drive by drive, for the day
// folders of the requested day and the day before (within the same month),
// and keeps the .h264 files whose last write fell on or after the requested
// day of the month. Returns the event text: ";" followed by each full path
// and ";" (";" alone when nothing was found); nothing (no event) when the
// request has not exactly four numbers or is longer than 29 characters. A
// date that does not exist finds nothing.
std::optional<std::string> SearchRecordFile(const QString& request);

// The replay dialog's search.
enum class RecordKind { kNormal, kAlarm };

struct RecordSearchQuery {
  std::vector<char> drives;  // drive letters to scan, in this order
  QDateTime start;           // local time; day folders and creation times
  QDateTime end;             // must lie within [start, end], both inclusive
  int channel = 0;           // 0: every channel
  QString address;           // device tag to match exactly; empty: every one
  bool normal = true;        // scan the Normal folders
  bool alarm = true;         // scan the Alarm folders
};

struct RecordFileEntry {
  QString path;  // Windows form: "D:\Record\Normal\2024-03-07\(...)_1_....avi"
  int channel = 0;
  RecordKind kind = RecordKind::kNormal;
  QDateTime created;  // local time
  QDateTime written;  // local time of the last write
};

// Order: recorder tree Normal, recorder tree Alarm, control tree Normal,
// control tree Alarm; within a tree drive by drive, day folders and files by
// name; in the control tree a day folder's .h264 files before its .avi
// files (the recorder tree holds .h264 files only). Stops early, returning
// what it found so far, once `cancel` becomes true.
std::vector<RecordFileEntry> ScanRecordFiles(const RecordSearchQuery& query,
                                             const std::atomic<bool>* cancel = nullptr);

// Name rules shared by both searches.
// "Y-M-D" with 1 to 4 digits of year, 1 or 2 of month and day, a real date.
bool ParseDayFolderName(std::string_view name, int* year, int* month, int* day);
// The number between the first and second '_' after the last ')'; nothing
// when those are missing or do not enclose a decimal number.
std::optional<int> RecordFileChannel(std::string_view name);
// The text from the last '(' to the first '_' at least four characters after
// it; nothing without them.
std::optional<std::string> RecordFileDeviceTag(std::string_view name);

}  // namespace quorpane
