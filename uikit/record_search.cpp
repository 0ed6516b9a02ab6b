// Record file searches over the drive map.
#include "quorpane/record_search.h"

#include <QDate>
#include <cstdio>

#include "qrplat/drives.h"
#include "quorpane/settings_store.h"

namespace quorpane {

namespace {

constexpr size_t kMaxRequestChars = 29;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// A run of 1..max_digits decimal digits making up all of `text`.
std::optional<int> Digits(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

int DayNumber(int year, int month, int day) {
  return year * 10000 + month * 100 + day;
}

// Local date and time of seconds since the epoch; invalid when out of range.
QDateTime LocalTimeOf(int64_t seconds) {
  return QDateTime::fromSecsSinceEpoch(seconds);
}

struct DayFolder {
  std::string path;  // "X:\Record\Normal\2024-03-07"
  int number;        // year x 10000 + month x 100 + day
};

// The day folders of "X:\<tree>\<kind>", by name.
std::vector<DayFolder> DayFolders(char drive, const char* tree, const char* kind) {
  std::vector<DayFolder> folders;
  const std::string base = std::string(1, drive) + ":\\" + tree + "\\" + kind;
  for (const qrplat::DirEntry& e : qrplat::ListDirectory(base + "\\*.*")) {
    if (!e.is_directory) continue;
    int y = 0, m = 0, d = 0;
    if (!ParseDayFolderName(e.name, &y, &m, &d)) continue;
    folders.push_back({base + "\\" + e.name, DayNumber(y, m, d)});
  }
  return folders;
}

}  // namespace

bool ParseDayFolderName(std::string_view name, int* year, int* month, int* day) {
  const size_t first = name.find('-');
  if (first == std::string_view::npos) return false;
  const size_t second = name.find('-', first + 1);
  if (second == std::string_view::npos) return false;
  const auto y = Digits(name.substr(0, first), 4);
  const auto m = Digits(name.substr(first + 1, second - first - 1), 2);
  const auto d = Digits(name.substr(second + 1), 2);
  if (!y || !m || !d || !QDate::isValid(*y, *m, *d)) return false;
  *year = *y;
  *month = *m;
  *day = *d;
  return true;
}

std::optional<int> RecordFileChannel(std::string_view name) {
  const size_t paren = name.rfind(')');
  if (paren == std::string_view::npos) return std::nullopt;
  const size_t first = name.find('_', paren + 1);
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = name.find('_', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  return Digits(name.substr(first + 1, second - first - 1), 9);
}

std::optional<std::string> RecordFileDeviceTag(std::string_view name) {
  const size_t paren = name.rfind('(');
  if (paren == std::string_view::npos) return std::nullopt;
  const size_t underscore = name.find('_', paren + 4);
  if (underscore == std::string_view::npos) return std::nullopt;
  return std::string(name.substr(paren + 1, underscore - paren - 1));
}

std::optional<std::string> SearchRecordFile(const QString& request) {
  const std::string text = request.size() <= qsizetype(kMaxRequestChars)
                               ? ToAnsi(request, 4 * kMaxRequestChars)
                               : std::string();
  int year = 0, month = 0, day = 0, kind = 0;
  if (std::sscanf(text.c_str(), "%04d-%02d-%02d-%d", &year, &month, &day, &kind) != 4) {
    return std::nullopt;
  }

  std::string result = ";";
  if (!QDate::isValid(year, month, day)) return result;
  const int wanted = DayNumber(year, month, day);

  std::vector<const char*> kinds;
  if (kind != 2) kinds.push_back("Normal");
  if (kind != 1) kinds.push_back("Alarm");
  for (const QString& root : RecordDriveRoots()) {
    const char drive = char(root.at(0).toLatin1());
    for (const char* kind_folder : kinds) {
      for (const DayFolder& folder : DayFolders(drive, "Record", kind_folder)) {
        // The day before is searched too: a recording started before
        // midnight lives in the previous day's folder.
        if (folder.number < wanted - 1 || folder.number > wanted) continue;
        for (const qrplat::DirEntry& f : qrplat::ListDirectory(folder.path + "\\*.h264")) {
          if (f.is_directory) continue;
          const QDateTime written = LocalTimeOf(f.last_write_time);
          const int written_day = written.isValid() ? written.date().day() : 0;
          if (written_day < day) continue;
          result += folder.path + "\\" + f.name + ";";
        }
      }
    }
  }
  return result;
}

std::vector<RecordFileEntry> ScanRecordFiles(const RecordSearchQuery& query,
                                             const std::atomic<bool>* cancel) {
  std::vector<RecordFileEntry> found;
  if (!query.start.isValid() || !query.end.isValid()) return found;
  const QDate first = query.start.date();
  const QDate last = query.end.date();
  const int first_day = DayNumber(first.year(), first.month(), first.day());
  const int last_day = DayNumber(last.year(), last.month(), last.day());
  const std::string address = query.address.toStdString();

  struct Tree {
    const char* root;
    const char* kind_folder;
    RecordKind kind;
    std::vector<const char*> patterns;
  };
  std::vector<Tree> trees;
  if (query.normal) trees.push_back({"QR_Record", "Normal", RecordKind::kNormal, {"*.h264"}});
  if (query.alarm) trees.push_back({"QR_Record", "Alarm", RecordKind::kAlarm, {"*.h264"}});
  if (query.normal) trees.push_back({"Record", "Normal", RecordKind::kNormal, {"*.h264", "*.avi"}});
  if (query.alarm) trees.push_back({"Record", "Alarm", RecordKind::kAlarm, {"*.h264", "*.avi"}});

  for (const Tree& tree : trees) {
    for (char drive : query.drives) {
      if (Cancelled(cancel)) return found;
      for (const DayFolder& folder : DayFolders(drive, tree.root, tree.kind_folder)) {
        if (folder.number < first_day || folder.number > last_day) continue;
        for (const char* pattern : tree.patterns) {
          if (Cancelled(cancel)) return found;
          for (const qrplat::DirEntry& f : qrplat::ListDirectory(folder.path + "\\" + pattern)) {
            if (f.is_directory) continue;
            const std::optional<int> channel = RecordFileChannel(f.name);
            if (!channel || (query.channel != 0 && *channel != query.channel)) continue;
            if (!address.empty() && RecordFileDeviceTag(f.name) != address) continue;
            const QDateTime created = LocalTimeOf(f.creation_time);
            if (!created.isValid() || created < query.start || created > query.end) continue;
            found.push_back({QString::fromStdString(folder.path + "\\" + f.name), *channel,
                             tree.kind, created, LocalTimeOf(f.last_write_time)});
          }
        }
      }
    }
  }
  return found;
}

}  // namespace quorpane
