// SPDX-License-Identifier: GPL-3.0-or-later
//
// Wildcards and the directory search: what a search yields from a folder
// that holds every kind of entry Linux has.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(MatchWildcard, StarQuestionMarkAndCase) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.txt", "a.txt", true},
      {"*.txt", "README.TXT", true},  // ASCII case ignored
      {"*.TXT", "readme.txt", true},
      {"*.txt", "a.txt.bak", false},
      {"*.txt", "txt", false},
      {"*.*", "a.txt", true},
      {"*.*", "Makefile", true},  // no dot at all
      {"*.*", ".profile", true},
      {"*.*", "a.b.c", true},
      {"*", "anything.at.all", true},
      {"?", "a", true},
      {"?", "ab", false},
      {"?", "", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a*c", "ac", true},
      {"a*c", "abbbbc", true},
      {"a*c", "abcd", false},
      {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"data.*", "data", true},
      {"data.*", "data.csv", true},
      {"data.*", "database", false},
      {"name.txt", "NAME.TXT", true},
      {"name.txt", "name.txt2", false},
      {"", "a", false},
      {"\xC3\x84*", "\xC3\x84pfel", true},  // bytes beyond ASCII compare exactly
      {"\xC3\xA4*", "\xC3\x84pfel", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MatchWildcard(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
}

std::vector<std::string> FilesIn(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  SearchFiles(folder, pattern, [&](const SearchEntry& e) { names.push_back(e.Name); });
  return names;
}

std::vector<std::string> DirectoriesIn(const std::string& folder) {
  std::vector<std::string> names;
  SearchDirectories(folder, [&](const SearchEntry& e) { names.push_back(e.Name); });
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// A folder with one entry of every kind.
class SearchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    KELMORA_POSIX_ONLY("FIFOs, symbolic links and dot-hidden names (see SearchWindows)");
    WriteFile(dir_ / "a.txt", "a");
    WriteFile(dir_ / "README.TXT", "r");
    WriteFile(dir_ / ".hidden.txt", "h");
    WriteFile(dir_ / "notes.md", "n");
    WriteFile(dir_ / "sub/inner.txt", "i");
    WriteFile(dir_ / ".git/config.txt", "c");
    test::MakeFifo(dir_ / "fifo.txt");
    test::MakeSymlink("a.txt", dir_ / "link.txt");
    test::MakeSymlink("missing.txt", dir_ / "dangling.txt");
    test::MakeSymlink("sub", dir_ / "dirlink.txt");
    test::MakeSymlink(".", dir_ / "loop");
  }
  TempDir dir_;
};

TEST_F(SearchFolder, OnlyRegularFilesAndLinksToThem) {
  EXPECT_EQ(Sorted(FilesIn(dir_.path(), "*.txt")),
            (std::vector<std::string>{".hidden.txt", "README.TXT", "a.txt", "link.txt"}));
  EXPECT_EQ(
      Sorted(FilesIn(dir_.path(), "*.*")),
      (std::vector<std::string>{".hidden.txt", "README.TXT", "a.txt", "link.txt", "notes.md"}));
}

TEST_F(SearchFolder, HiddenFilesAreFoundAndFlagged) {
  int hidden = 0, shown = 0;
  SearchFiles(dir_.path(), "*", [&](const SearchEntry& e) {
    if (e.Name[0] == '.') {
      EXPECT_TRUE(e.Hidden) << e.Name;
      ++hidden;
    } else {
      EXPECT_FALSE(e.Hidden) << e.Name;
      ++shown;
    }
  });
  EXPECT_EQ(hidden, 1);
  EXPECT_EQ(shown, 4);
}

TEST_F(SearchFolder, ExactNameFindsOneFile) {
  EXPECT_EQ(FilesIn(dir_.path(), "a.txt"), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(FilesIn(dir_.path(), "A.TXT"), std::vector<std::string>{"a.txt"});
  EXPECT_TRUE(FilesIn(dir_.path(), "sub").empty());  // folders are never files
  EXPECT_TRUE(FilesIn(dir_.path(), "fifo.txt").empty());
}

TEST_F(SearchFolder, FolderWithOrWithoutTrailingSlash) {
  EXPECT_EQ(FilesIn(dir_.path() + "/", "a.txt"), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(FilesIn(dir_ / "sub", "*"), std::vector<std::string>{"inner.txt"});
  EXPECT_EQ(FilesIn(dir_ / "sub/", "*"), std::vector<std::string>{"inner.txt"});
}

TEST_F(SearchFolder, EmptyFolderMeansCurrentDirectory) {
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  const auto files = FilesIn("", "*.md");
  const auto dirs = DirectoriesIn("");
  std::filesystem::current_path(saved);
  EXPECT_EQ(files, std::vector<std::string>{"notes.md"});
  EXPECT_EQ(dirs, std::vector<std::string>{"sub"});
}

TEST_F(SearchFolder, DirectoriesLeaveOutHiddenAndLinked) {
  // .git is hidden; dirlink.txt and loop are links to folders.
  EXPECT_EQ(DirectoriesIn(dir_.path()), std::vector<std::string>{"sub"});
}

TEST_F(SearchFolder, ListingIsInNameOrder) {
  WriteFile(dir_ / "b/x", "");
  WriteFile(dir_ / "Z/x", "");
  WriteFile(dir_ / "c/x", "");
  const auto dirs = DirectoriesIn(dir_.path());
  EXPECT_EQ(dirs, Sorted(dirs));
  const auto files = FilesIn(dir_.path(), "*");
  EXPECT_EQ(files, Sorted(files));
}

TEST_F(SearchFolder, OneListingAgreesWithBothSearches) {
  WriteFile(dir_ / "b/x", "");
  for (const char* pattern : {"*.txt", "*", "a.txt", "sub", "nothing"}) {
    const FolderListing listing = ListFolder(dir_.path(), pattern);
    std::vector<std::string> dirs, files;
    for (const SearchEntry& e : listing.Directories) dirs.push_back(e.Name);
    for (const SearchEntry& e : listing.Files) {
      files.push_back(e.Name);
      EXPECT_EQ(e.Hidden, e.Name[0] == '.') << e.Name;
    }
    EXPECT_EQ(dirs, DirectoriesIn(dir_.path())) << pattern;
    EXPECT_EQ(files, FilesIn(dir_.path(), pattern)) << pattern;
  }
  EXPECT_EQ(ListFolder(dir_.path(), "*").Directories.size(), 2u);  // b and sub
}

// The backup counts files from what the search measured and opens each
// only to read it: the measure must be what opening the file would show,
// through a link too, from either search.
TEST_F(SearchFolder, EveryFileFoundIsMeasuredAsOpeningItWouldSee) {
  WriteFile(dir_ / "a.txt", std::string(70000, 'a'));
  test::SetModificationTime(dir_ / "a.txt", 1600000001);
  std::vector<SearchEntry> found;
  SearchFiles(dir_.path(), "*", [&](const SearchEntry& e) { found.push_back(e); });
  const FolderListing listing = ListFolder(dir_.path(), "*");
  ASSERT_EQ(found.size(), listing.Files.size());
  for (size_t i = 0; i < found.size(); ++i) {
    for (const SearchEntry& e : {found[i], listing.Files[i]}) {
      const std::string path = dir_ / e.Name;
      EXPECT_TRUE(e.Measure.Known) << e.Name;
      EXPECT_TRUE(e.Measure.Readable) << e.Name;
      EXPECT_EQ(e.Measure.Size, static_cast<int64_t>(std::filesystem::file_size(path))) << e.Name;
      EXPECT_EQ(e.Measure.Stamp, FileTimeOfPath(path)) << e.Name;
    }
  }
  const auto link = std::find_if(found.begin(), found.end(),
                                 [](const SearchEntry& e) { return e.Name == "link.txt"; });
  ASSERT_NE(link, found.end());
  EXPECT_EQ(link->Measure.Size, 70000);
  EXPECT_EQ(link->Measure.Stamp, PackTime(1600000001));
}

#ifdef _WIN32
void SetAttribute(const std::string& Path, DWORD Attribute) {
  ASSERT_TRUE(::SetFileAttributesA(Path.c_str(), ::GetFileAttributesA(Path.c_str()) | Attribute))
      << Path;
}

// On Windows hidden and system are attributes: hidden and system files are
// found (the hidden ones flagged), and folders with either attribute are
// not entered.
TEST(SearchWindows, AttributesDecideWhatIsHiddenAndEntered) {
  TempDir dir;
  // No dot names: Wine shows Unix dot files as hidden, Windows does not.
  for (const char* file :
       {"a.txt", "Hidden.TXT", "System.txt", "b.md", "secret/x.txt", "sys/y.txt", "Open/w.txt"})
    WriteFile(dir / file, file);
  SetAttribute(dir / "Hidden.TXT", FILE_ATTRIBUTE_HIDDEN);
  SetAttribute(dir / "System.txt", FILE_ATTRIBUTE_SYSTEM);
  SetAttribute(dir / "secret", FILE_ATTRIBUTE_HIDDEN);
  SetAttribute(dir / "sys", FILE_ATTRIBUTE_SYSTEM);
  // In name order without regard to case, as NTFS lists them.
  EXPECT_EQ(FilesIn(dir.path(), "*.TXT"),
            (std::vector<std::string>{"a.txt", "Hidden.TXT", "System.txt"}));
  EXPECT_EQ(FilesIn(dir.path(), "hidden.txt"), std::vector<std::string>{"Hidden.TXT"});
  EXPECT_EQ(DirectoriesIn(dir.path()), std::vector<std::string>{"Open"});
  SearchFiles(dir.path(), "*",
              [](const SearchEntry& e) { EXPECT_EQ(e.Hidden, e.Name == "Hidden.TXT") << e.Name; });
  // Both separators and a drive-relative folder lead to the same listing.
  std::string forward = dir.path() + "/open/";
  for (char& c : forward)
    if (c == '\\') c = '/';
  EXPECT_EQ(FilesIn(forward, "*"), std::vector<std::string>{"w.txt"});
  EXPECT_EQ(FilesIn(dir / "OPEN\\", "W.*"), std::vector<std::string>{"w.txt"});
}
#endif

TEST(Search, MissingFolderYieldsNothing) {
  TempDir dir;
  EXPECT_TRUE(FilesIn(dir / "nope", "*").empty());
  EXPECT_TRUE(DirectoriesIn(dir / "nope").empty());
  WriteFile(dir / "file", "x");
  EXPECT_TRUE(FilesIn(dir / "file", "*").empty());  // a file is no folder
  EXPECT_TRUE(DirectoriesIn(dir / "file").empty());
  EXPECT_TRUE(ListFolder(dir / "nope", "*").Files.empty());
  EXPECT_TRUE(ListFolder(dir / "nope", "*").Directories.empty());
}

}  // namespace
}  // namespace kelmora::platform
