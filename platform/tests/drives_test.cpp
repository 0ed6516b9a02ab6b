// The drive map, path translation, wildcard listing and file helpers.
#include "qrplat/drives.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace qrplat {
namespace {

namespace fs = std::filesystem;
using testutil::ReadText;
using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::WriteText;

// Points QRPLAT_DRIVES (or, with null, the default) at test directories for
// one scope; the drive map is re-read on entry and again after restoring.
class ScopedDrives {
 public:
  explicit ScopedDrives(const char* drives) : env_(new ScopedEnv("QRPLAT_DRIVES", drives)) {
    ReloadDriveMap();
  }
  ~ScopedDrives() {
    env_.reset();
    ReloadDriveMap();
  }

 private:
  std::unique_ptr<ScopedEnv> env_;
};

class DrivesTest : public ::testing::Test {
 protected:
  DrivesTest()
      : c_(tmp_ / "c"),
        d_(tmp_ / "d"),
        e_(tmp_ / "e"),
        spec_("C=" + c_ + ":fixed;D=" + d_ + ":network;e=" + e_ + "/:removable"),
        drives_(spec_.c_str()) {
    fs::create_directories(c_);
    fs::create_directories(d_);
    fs::create_directories(e_);
  }

  std::string Translate(std::string_view path) {
    std::string native;
    if (!TranslatePath(path, &native)) return "<refused>";
    return native;
  }

  TempDir tmp_;
  std::string c_, d_, e_;
  std::string spec_;
  ScopedDrives drives_;
};

TEST_F(DrivesTest, MapGivesEachLetterItsDirectoryAndType) {
  std::vector<Drive> drives = ListDrives();
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].letter, 'C');
  EXPECT_EQ(drives[0].directory, c_);
  EXPECT_EQ(drives[0].type, DriveType::Fixed);
  EXPECT_EQ(drives[1].letter, 'D');
  EXPECT_EQ(drives[1].type, DriveType::Network);
  EXPECT_EQ(drives[2].letter, 'E');    // given in lower case
  EXPECT_EQ(drives[2].directory, e_);  // trailing slash dropped
  EXPECT_EQ(drives[2].type, DriveType::Removable);
  EXPECT_EQ(GetDriveType('d'), DriveType::Network);
  EXPECT_EQ(GetDriveType('Z'), DriveType::Unknown);
}

TEST(DriveMap, ToleratesBlanksBadEntriesColonsAndRepeats) {
  TempDir tmp;
  std::string spec = " ; F=" + tmp.path() + "/a:b ;bad;7=/x;G=;F=" + tmp.path() +
                     "/f2:NETWORK; H=" + tmp.path() + "/h ;";
  ScopedDrives drives(spec.c_str());
  std::vector<Drive> list = ListDrives();
  std::string letters;
  for (const Drive& d : list) letters.push_back(d.letter);
  EXPECT_EQ(letters, "CFH");                         // C gets the default; bad entries are skipped
  EXPECT_EQ(list[1].directory, tmp.path() + "/f2");  // the last F wins
  EXPECT_EQ(list[1].type, DriveType::Network);       // type words in any case
  EXPECT_EQ(list[2].directory, tmp.path() + "/h");
  EXPECT_EQ(list[2].type, DriveType::Fixed);  // no type word: fixed
  std::string spec2 = "K=" + tmp.path() + "/odd:name";
  ScopedDrives drives2(spec2.c_str());
  std::string native;
  ASSERT_TRUE(TranslatePath("K:\\x", &native));  // ':' kept in the directory
  EXPECT_EQ(native, tmp.path() + "/odd:name/x");
}

TEST(DriveMap, DefaultDriveCLivesUnderXdgDataHomeAndIsCreatedOnDemand) {
  TempDir tmp;
  {
    ScopedEnv xdg("XDG_DATA_HOME", (tmp / "data").c_str());
    ScopedDrives drives(nullptr);
    std::string dir = tmp / "data/quorvex/drive_c";
    ASSERT_EQ(ListDrives().size(), 1u);
    EXPECT_EQ(ListDrives()[0].directory, dir);
    EXPECT_EQ(GetDriveType('C'), DriveType::Fixed);
    EXPECT_FALSE(fs::exists(dir));  // listing drives creates nothing
    FILE* f = OpenFile("c:\\qr_log.txt", "a");
    ASSERT_NE(f, nullptr);
    fputs("12-00-00  hello\n", f);
    fclose(f);
    EXPECT_EQ(ReadText(dir + "/qr_log.txt"), "12-00-00  hello\n");
  }
  {
    // Without XDG_DATA_HOME (or with a relative one, which XDG says to
    // ignore) it is under $HOME/.local/share.
    ScopedEnv xdg("XDG_DATA_HOME", "relative/dir");
    ScopedEnv home("HOME", (tmp / "home").c_str());
    ScopedDrives drives("");
    std::string native;
    ASSERT_TRUE(TranslatePath("C:\\x.txt", &native));
    EXPECT_EQ(native, tmp / "home/.local/share/quorvex/drive_c/x.txt");
    EXPECT_TRUE(fs::is_directory(tmp / "home/.local/share/quorvex/drive_c"));
  }
  ReloadDriveMap();  // forget the temporary default before its directory goes
}

TEST_F(DrivesTest, TranslatesWindowsFormsIntoTheDriveDirectory) {
  EXPECT_EQ(Translate("D:\\Record\\Normal\\a.avi"), d_ + "/Record/Normal/a.avi");
  // No backslash after the colon: still from the drive's root.
  EXPECT_EQ(Translate("E:Record\\Normal\\x"), e_ + "/Record/Normal/x");
  // Mixed and doubled separators, lower-case letters.
  EXPECT_EQ(Translate("d:/Record\\\\Normal//x.jpg"), d_ + "/Record/Normal/x.jpg");
  EXPECT_EQ(Translate("c:\\qr_log.txt"), c_ + "/qr_log.txt");
  // The drive itself.
  EXPECT_EQ(Translate("D:"), d_);
  EXPECT_EQ(Translate("D:\\"), d_);
  EXPECT_EQ(Translate("D:\\Record\\"), d_ + "/Record");
}

TEST_F(DrivesTest, NativePathsAreUsedAsTheyAre) {
  EXPECT_EQ(Translate("/var/tmp/x.avi"), "/var/tmp/x.avi");
  EXPECT_EQ(Translate("relative/dir/../x"), "relative/dir/../x");
  EXPECT_EQ(Translate("back\\slash"), "back\\slash");
  EXPECT_EQ(Translate(""), "");
  EXPECT_EQ(Translate("1:\\not-a-drive"), "1:\\not-a-drive");
}

TEST_F(DrivesTest, DotDotIsNormalisedButNeverLeavesTheDrive) {
  EXPECT_EQ(Translate("D:\\a\\..\\b\\.\\c"), d_ + "/b/c");
  EXPECT_EQ(Translate("D:\\a\\b\\..\\.."), d_);
  EXPECT_EQ(Translate("D:\\..\\x"), "<refused>");
  EXPECT_EQ(Translate("D:..\\x"), "<refused>");
  EXPECT_EQ(Translate("D:\\a\\..\\..\\d\\x"), "<refused>");
  EXPECT_EQ(Translate("D:/a/../../../etc/passwd"), "<refused>");
  EXPECT_EQ(Translate("D:\\...\\x"), d_ + "/.../x");  // just a name
  EXPECT_FALSE(FileExists("D:\\..\\d"));
  EXPECT_EQ(OpenFile("D:\\..\\escape.txt", "w"), nullptr);
  EXPECT_FALSE(fs::exists(tmp_ / "escape.txt"));
}

TEST_F(DrivesTest, UnknownDrivesAndEmbeddedNulsFail) {
  EXPECT_EQ(Translate("Q:\\x"), "<refused>");
  EXPECT_EQ(Translate(std::string_view("D:\\a\0b", 6)), "<refused>");
  EXPECT_EQ(OpenFile("Q:\\x.txt", "w"), nullptr);
  EXPECT_FALSE(CreateDirectories("Q:\\dir"));
  EXPECT_TRUE(ListDirectory("Q:\\*").empty());
}

TEST(Wildcard, StarQuestionMarkAndCaseInsensitivity) {
  EXPECT_TRUE(MatchWildcard("*.avi", "ch01_20240101.AVI"));
  EXPECT_TRUE(MatchWildcard("CH??_*.avi", "ch01_x.avi"));
  EXPECT_FALSE(MatchWildcard("ch??_*.avi", "ch1_x.avi"));
  EXPECT_TRUE(MatchWildcard("*", "anything"));
  EXPECT_TRUE(MatchWildcard("*.*", "no_extension"));  // as on the designed system
  EXPECT_TRUE(MatchWildcard("a*b*c", "aXbYbZc"));     // needs back-tracking
  EXPECT_FALSE(MatchWildcard("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(MatchWildcard("**x", "x"));
  EXPECT_FALSE(MatchWildcard("?", ""));
  EXPECT_FALSE(MatchWildcard("abc", "abcd"));
  EXPECT_FALSE(MatchWildcard("*.jpg", "a.jpeg"));
  EXPECT_TRUE(MatchWildcard("caf?.jpg", "caf\xC3\xA9.jpg"));  // '?' is one UTF-8 character
  EXPECT_TRUE(MatchWildcard("*\xC3\xA9*", "x\xC3\xA9y"));
}

void SetMtime(const std::string& path, time_t when) {
  timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(DrivesTest, ListsMatchingEntriesWithKindsAndTimes) {
  time_t before = time(nullptr);
  ASSERT_TRUE(CreateDirectories("D:\\Record\\Normal\\sub"));
  for (const char* name : {"a.avi", "B.AVI", "c.jpg", "dd.jpg"}) {
    FILE* f = OpenFile(std::string("D:\\Record\\Normal\\") + name, "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  SetMtime(d_ + "/Record/Normal/a.avi", 1000000000);

  auto names = [](const std::vector<DirEntry>& list) {
    std::string s;
    for (const DirEntry& e : list) s += e.name + (e.is_directory ? "/ " : " ");
    return s;
  };
  EXPECT_EQ(names(ListDirectory("D:\\Record\\Normal\\*.avi")), "B.AVI a.avi ");
  EXPECT_EQ(names(ListDirectory("d:/record/../Record/Normal/?.JPG")), "c.jpg ");
  EXPECT_EQ(names(ListDirectory("D:\\Record\\Normal\\*.*")), "B.AVI a.avi c.jpg dd.jpg sub/ ");
  EXPECT_EQ(names(ListDirectory("D:\\Record\\Normal\\")), "B.AVI a.avi c.jpg dd.jpg sub/ ");
  EXPECT_EQ(names(ListDirectory("D:*")), "Record/ ");
  EXPECT_EQ(names(ListDirectory(d_ + "/Record/Normal/*.jpg")), "c.jpg dd.jpg ");  // native
  EXPECT_TRUE(ListDirectory("D:\\Record\\Missing\\*").empty());
  EXPECT_TRUE(ListDirectory("D:\\Record\\Normal\\*.mp4").empty());

  time_t after = time(nullptr);
  for (const DirEntry& e : ListDirectory("D:\\Record\\Normal\\*")) {
    if (e.name == "a.avi") {
      EXPECT_EQ(e.last_write_time, 1000000000);
      // Birth time where the file system keeps one, else the write time.
      if (e.creation_time != e.last_write_time) {
        EXPECT_GE(e.creation_time, before - 2);
        EXPECT_LE(e.creation_time, after + 2);
      }
    } else {
      EXPECT_GE(e.last_write_time, before - 2) << e.name;
      EXPECT_LE(e.last_write_time, after + 2) << e.name;
      EXPECT_GE(e.creation_time, before - 2) << e.name;
    }
  }
}

TEST_F(DrivesTest, FileHelpersGoThroughTheTranslation) {
  EXPECT_TRUE(CreateDirectories("E:\\x\\y\\z"));
  EXPECT_TRUE(fs::is_directory(e_ + "/x/y/z"));
  EXPECT_TRUE(CreateDirectories("E:\\x\\y\\z"));  // already there
  EXPECT_TRUE(FileExists("e:\\X\\..\\x\\y"));
  ASSERT_TRUE(WriteText(e_ + "/x/file", "data"));
  EXPECT_FALSE(CreateDirectories("E:\\x\\file\\below"));  // a file is in the way
  EXPECT_TRUE(FileExists("E:x\\file"));
  FILE* f = OpenFile("E:\\x\\file", "rb");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 4u);
  fclose(f);
  EXPECT_TRUE(RemoveFile("E:\\x\\file"));
  EXPECT_FALSE(FileExists("E:\\x\\file"));
  EXPECT_FALSE(RemoveFile("E:\\x\\file"));
  EXPECT_FALSE(RemoveFile("E:\\x\\y"));  // not a file
  EXPECT_FALSE(CreateDirectories("E:\\..\\outside"));
  EXPECT_FALSE(fs::exists(tmp_ / "outside"));
}

TEST(CacheDirectory, UsesXdgCacheHomeElseHomeCache) {
  TempDir tmp;
  {
    ScopedEnv xdg("XDG_CACHE_HOME", (tmp / "cache/").c_str());
    EXPECT_EQ(CacheDirectory(), tmp / "cache/quorvex");
    EXPECT_TRUE(fs::is_directory(tmp / "cache/quorvex"));
  }
  {
    ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
    ScopedEnv home("HOME", tmp.path().c_str());
    EXPECT_EQ(CacheDirectory(), tmp / ".cache/quorvex");
    EXPECT_TRUE(fs::is_directory(tmp / ".cache/quorvex"));
  }
}

TEST_F(DrivesTest, TranslationIsSafeWhileTheMapIsReloaded) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::string native;
        if (!TranslatePath("D:\\Record\\x", &native) || native != d_ + "/Record/x") ++bad;
        if (GetDriveType('D') != DriveType::Network) ++bad;
      }
    });
  }
  for (int i = 0; i < 200; ++i) ReloadDriveMap();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace qrplat
