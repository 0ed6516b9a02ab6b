// The drive map and the one path translation every file access goes through.
#include "qrplat/drives.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include "qrplat/thread.h"

namespace qrplat {

namespace {

inline char Upper(char c) {
  return char(std::toupper(static_cast<unsigned char>(c)));
}
inline bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}
inline bool IsDriveLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "X:..." with an ASCII letter.
bool HasDrive(std::string_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':';
}

std::string StripTrailingSlashes(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// An XDG base directory: the variable when it holds an absolute path (the
// XDG rules say relative values are to be ignored), else $HOME + fallback.
std::string XdgDirectory(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return StripTrailingSlashes(value);
  const char* home = std::getenv("HOME");
  std::string base;
  if (home != nullptr && home[0] != '\0') {
    base = home;
  } else {
    passwd pw;
    passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr) {
      base = result->pw_dir;
    } else {
      base = "/tmp";
    }
  }
  return StripTrailingSlashes(base) + "/" + fallback;
}

bool EnsureDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

std::optional<DriveType> ParseType(std::string_view word) {
  std::string w;
  for (char c : word) w.push_back(char(std::tolower(static_cast<unsigned char>(c))));
  if (w == "fixed") return DriveType::Fixed;
  if (w == "network") return DriveType::Network;
  if (w == "removable") return DriveType::Removable;
  return std::nullopt;
}

struct DriveMap {
  std::mutex mutex;
  bool loaded = false;           // guarded by mutex
  std::vector<Drive> drives;     // guarded by mutex; sorted by letter
  char default_letter = 0;       // guarded by mutex: the drive created on demand
  bool default_created = false;  // guarded by mutex
};

DriveMap& TheMap() {
  static DriveMap* map = new DriveMap;  // never destroyed: used until exit
  return *map;
}

// Parses QRPLAT_DRIVES: entries "L=/dir[:type]" separated by ';'. The type
// word is taken from the text after the last ':' when it is one of fixed,
// network, removable (so directories may contain ':'); without it the type
// is fixed. Malformed entries are skipped with a debug line. C: always
// exists: when the variable does not name it, it gets the default directory
// (the library log file lives there).
void LoadLocked(DriveMap& map) {
  map.drives.clear();
  map.default_letter = 0;
  map.default_created = false;
  const char* env = std::getenv("QRPLAT_DRIVES");
  std::string_view spec = env != nullptr ? env : "";
  while (!spec.empty()) {
    size_t end = spec.find(';');
    std::string_view entry = spec.substr(0, end);
    spec = end == std::string_view::npos ? std::string_view() : spec.substr(end + 1);
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.front()))) {
      entry.remove_prefix(1);
    }
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back()))) {
      entry.remove_suffix(1);
    }
    if (entry.empty()) continue;
    if (entry.size() < 3 || !IsDriveLetter(entry[0]) || entry[1] != '=') {
      DebugOutput("qrplat: ignoring drive entry \"%.*s\"\n", int(entry.size()), entry.data());
      continue;
    }
    std::string_view dir = entry.substr(2);
    DriveType type = DriveType::Fixed;
    size_t colon = dir.rfind(':');
    if (colon != std::string_view::npos) {
      if (auto t = ParseType(dir.substr(colon + 1))) {
        type = *t;
        dir = dir.substr(0, colon);
      }
    }
    if (dir.empty()) {
      DebugOutput("qrplat: ignoring drive entry \"%.*s\"\n", int(entry.size()), entry.data());
      continue;
    }
    char letter = Upper(entry[0]);
    Drive drive{letter, StripTrailingSlashes(std::string(dir)), type};
    auto it = std::find_if(map.drives.begin(), map.drives.end(),
                           [&](const Drive& d) { return d.letter == letter; });
    if (it != map.drives.end()) {
      *it = drive;  // the last entry for a letter wins
    } else {
      map.drives.push_back(drive);
    }
  }
  bool has_c = std::any_of(map.drives.begin(), map.drives.end(),
                           [](const Drive& d) { return d.letter == 'C'; });
  if (!has_c) {
    map.drives.push_back({'C', XdgDirectory("XDG_DATA_HOME", ".local/share") + "/quorvex/drive_c",
                          DriveType::Fixed});
    map.default_letter = 'C';
  }
  std::sort(map.drives.begin(), map.drives.end(),
            [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  map.loaded = true;
}

void EnsureLoadedLocked(DriveMap& map) {
  if (!map.loaded) LoadLocked(map);
}

// The directory of a drive, creating the default drive's directory on first
// use. Empty for an unknown drive.
std::string DriveDirectory(char letter) {
  letter = Upper(letter);
  DriveMap& map = TheMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  EnsureLoadedLocked(map);
  for (const Drive& d : map.drives) {
    if (d.letter != letter) continue;
    if (letter == map.default_letter && !map.default_created) {
      map.default_created = EnsureDirectory(d.directory);
    }
    return d.directory;
  }
  return {};
}

int64_t Seconds(const struct statx_timestamp& ts) {
  return int64_t(ts.tv_sec);
}

// Fills the times and kind of an entry; false when it vanished meanwhile.
bool StatEntry(const std::string& path, DirEntry* entry) {
  struct statx stx;
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_MTIME | STATX_BTIME,
            &stx) == 0) {
    entry->is_directory = S_ISDIR(stx.stx_mode);
    entry->last_write_time = Seconds(stx.stx_mtime);
    entry->creation_time =
        (stx.stx_mask & STATX_BTIME) ? Seconds(stx.stx_btime) : entry->last_write_time;
    return true;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  entry->is_directory = S_ISDIR(st.st_mode);
  entry->last_write_time = int64_t(st.st_mtime);
  entry->creation_time = entry->last_write_time;
  return true;
}

// Case-insensitive for ASCII letters; other bytes compare as they are.
inline bool SameChar(char a, char b) {
  return Upper(a) == Upper(b);
}

// The length of the UTF-8 character that starts at s[i] (at least 1).
size_t CharLength(std::string_view s, size_t i) {
  size_t n = 1;
  while (i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

}  // namespace

void ReloadDriveMap() {
  DriveMap& map = TheMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  LoadLocked(map);
}

std::vector<Drive> ListDrives() {
  DriveMap& map = TheMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  EnsureLoadedLocked(map);
  return map.drives;
}

DriveType GetDriveType(char letter) {
  letter = Upper(letter);
  DriveMap& map = TheMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  EnsureLoadedLocked(map);
  for (const Drive& d : map.drives) {
    if (d.letter == letter) return d.type;
  }
  return DriveType::Unknown;
}

bool TranslatePath(std::string_view path, std::string* native) {
  if (path.find('\0') != std::string_view::npos) return false;
  if (!HasDrive(path)) {
    *native = std::string(path);
    return true;
  }
  std::string dir = DriveDirectory(path[0]);
  if (dir.empty()) return false;
  // "X:a\b" (no separator after the colon) is taken from the drive's root,
  // as there is no per-drive current directory here.
  std::vector<std::string_view> parts;
  std::string_view rest = path.substr(2);
  size_t i = 0;
  while (i <= rest.size()) {
    size_t j = i;
    while (j < rest.size() && !IsSeparator(rest[j])) ++j;
    std::string_view part = rest.substr(i, j - i);
    if (part == "..") {
      if (parts.empty()) return false;  // would leave the drive's directory
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = dir;
  for (std::string_view part : parts) {
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(part);
  }
  *native = std::move(out);
  return true;
}

bool MatchWildcard(std::string_view pattern, std::string_view name) {
  // "*.*" is "every name" on the designed system, with or without a dot.
  if (pattern == "*.*") return true;
  // Greedy match with one back-track point at the last '*'.
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += CharLength(name, n);
    } else if (p < pattern.size() && SameChar(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      star_n += CharLength(name, star_n);
      n = star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<DirEntry> ListDirectory(std::string_view pattern_path) {
  std::vector<DirEntry> out;
  // Split into the directory and the name pattern after the last separator
  // ("D:*.avi" has the pattern right after the colon).
  size_t cut = std::string_view::npos;
  for (size_t i = pattern_path.size(); i-- > 0;) {
    if (IsSeparator(pattern_path[i])) {
      cut = i;
      break;
    }
  }
  std::string_view dir_part, pattern;
  std::string dir_storage;
  if (cut != std::string_view::npos) {
    dir_part = pattern_path.substr(0, cut + 1);
    pattern = pattern_path.substr(cut + 1);
  } else if (HasDrive(pattern_path)) {
    dir_part = pattern_path.substr(0, 2);
    pattern = pattern_path.substr(2);
  } else {
    dir_part = ".";
    pattern = pattern_path;
  }
  if (pattern.empty()) pattern = "*";
  std::string dir;
  if (!TranslatePath(dir_part, &dir)) return out;
  if (!HasDrive(dir_part)) {
    // A native directory: keep it, with '/' as the only separator we add.
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  }
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!MatchWildcard(pattern, name)) continue;
    DirEntry entry;
    entry.name = std::string(name);
    if (!StatEntry(dir + "/" + entry.name, &entry)) continue;
    out.push_back(std::move(entry));
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
}

bool CreateDirectories(std::string_view path) {
  std::string native;
  if (!TranslatePath(path, &native) || native.empty()) return false;
  return EnsureDirectory(native);
}

FILE* OpenFile(std::string_view path, const char* mode) {
  std::string native;
  if (!TranslatePath(path, &native) || native.empty()) return nullptr;
  return std::fopen(native.c_str(), mode);
}

bool RemoveFile(std::string_view path) {
  std::string native;
  if (!TranslatePath(path, &native) || native.empty()) return false;
  return unlink(native.c_str()) == 0;
}

bool FileExists(std::string_view path) {
  std::string native;
  if (!TranslatePath(path, &native) || native.empty()) return false;
  struct stat st;
  return stat(native.c_str(), &st) == 0;
}

std::string CacheDirectory() {
  std::string dir = XdgDirectory("XDG_CACHE_HOME", ".cache") + "/quorvex";
  EnsureDirectory(dir);
  return dir;
}

}  // namespace qrplat
