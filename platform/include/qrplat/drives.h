// Drive letters for paths that keep their Windows form ("D:\Record\...").
//
// Each drive letter maps to a directory and a type. The map comes from the
// environment variable QRPLAT_DRIVES ("C=/srv/cam/c:fixed;D=/mnt/nas:network");
// without it, C: is $XDG_DATA_HOME/quorvex/drive_c (or
// ~/.local/share/quorvex/drive_c), type fixed, created on demand.
//
// Every file the libraries open, create, list or delete goes through
// TranslatePath.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qrplat {

enum class DriveType { Unknown, Fixed, Network, Removable };

struct Drive {
  char letter;  // upper case
  std::string directory;
  DriveType type;
};

// Re-reads QRPLAT_DRIVES (tests change it at run time).
void ReloadDriveMap();
std::vector<Drive> ListDrives();
DriveType GetDriveType(char letter);

// "X:\a\b" and "X:a\b" map into drive X's directory with '\' turned into '/';
// '/' is accepted as a separator too. A path without a drive letter is native
// and returned unchanged. Returns false for an unknown drive or a path whose
// ".." would leave the drive's directory.
bool TranslatePath(std::string_view path, std::string* native);

struct DirEntry {
  std::string name;
  bool is_directory = false;
  int64_t creation_time = 0;    // seconds since the Unix epoch (birth time
                                // where the file system keeps one, else mtime)
  int64_t last_write_time = 0;  // seconds since the Unix epoch
};

// Lists the entries of a directory whose names match a wildcard pattern ('*'
// any run, '?' one character, case-insensitive as on the designed system):
// "D:\Record\*.avi". "." and ".." are not listed. Empty on failure.
std::vector<DirEntry> ListDirectory(std::string_view pattern_path);
bool MatchWildcard(std::string_view pattern, std::string_view name);

// Creates a directory and every missing parent.
bool CreateDirectories(std::string_view path);
FILE* OpenFile(std::string_view path, const char* mode);
bool RemoveFile(std::string_view path);
bool FileExists(std::string_view path);

// A writable per-user cache directory ($XDG_CACHE_HOME/quorvex or
// ~/.cache/quorvex), created on demand; ends without a slash.
std::string CacheDirectory();

}  // namespace qrplat
