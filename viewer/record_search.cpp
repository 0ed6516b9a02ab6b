#include "record_search.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "qrplat/drives.h"

namespace quorvex {

namespace {

// "Y-M-D" split at '-': before the first, between the first and second, after
// the last. Numbers only (at most 9 digits each).
bool ParseDayFolder(const std::string& name, int* y, int* m, int* d) {
  const size_t first = name.find('-');
  const size_t last = name.rfind('-');
  if (first == std::string::npos || last == first) return false;
  const size_t second = name.find('-', first + 1);
  auto number = [](const std::string& s, int* out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
  };
  return number(name.substr(0, first), y) &&
         number(name.substr(first + 1, second - first - 1), m) && number(name.substr(last + 1), d);
}

void ScanKind(char letter, const char* kind, int year, int month, int day,
              std::vector<std::string>* found) {
  char pattern[64];
  std::snprintf(pattern, sizeof pattern, "%c:\\Record\\%s\\*.*", letter, kind);
  const long requested = long(year) * 10000 + month * 100 + day;
  for (const qrplat::DirEntry& folder : qrplat::ListDirectory(pattern)) {
    if (!folder.is_directory) continue;
    int fy = 0, fm = 0, fd = 0;
    if (!ParseDayFolder(folder.name, &fy, &fm, &fd)) continue;
    const long number = long(fy) * 10000 + long(fm) * 100 + fd;
    if (number < requested - 1 || number > requested) continue;
    char base[32];
    std::snprintf(base, sizeof base, "%c:\\Record\\%s\\", letter, kind);
    const std::string folder_path = base + folder.name;
    for (const qrplat::DirEntry& file : qrplat::ListDirectory(folder_path + "\\*.h264")) {
      if (file.is_directory) continue;
      int file_day = 0;
      const time_t t = time_t(file.last_write_time);
      struct tm local {};
      if (localtime_r(&t, &local) != nullptr) file_day = local.tm_mday;
      if (file_day >= day) found->push_back(folder_path + "\\" + file.name);
    }
  }
}

}  // namespace

std::optional<std::string> SearchRecordFiles(const std::string& request) {
  int year = 0, month = 0, day = 0, kind = 0;
  char tail = 0;
  // Exactly four numbers; anything after them is ignored as the format would.
  if (std::sscanf(request.c_str(), "%4d-%2d-%2d-%d%c", &year, &month, &day, &kind, &tail) < 4)
    return std::nullopt;
  std::vector<std::string> found;
  // A day the calendar cannot represent matches nothing.
  const bool valid =
      year >= 1900 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
  if (valid) {
    for (const qrplat::Drive& drive : qrplat::ListDrives()) {
      if (drive.type != qrplat::DriveType::Fixed && drive.type != qrplat::DriveType::Network)
        continue;
      if (kind != 2) ScanKind(drive.letter, "Normal", year, month, day, &found);
      if (kind != 1) ScanKind(drive.letter, "Alarm", year, month, day, &found);
    }
  }
  std::string result = ";";
  for (const std::string& path : found) result += path + ";";
  return result;
}

}  // namespace quorvex
