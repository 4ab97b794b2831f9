// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli as a tar or zip user types it: folders as SOURCE, where a
// restore puts files, and restoring part of an archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli/cli_runner.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using Result = test::CliResult;
using test::RunCli;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// Relative below Folder as the system writes it, as stored names are.
std::string Under(const std::string& Folder, std::string Relative) {
  for (char& c : Relative)
    if (c == '/') c = test::kSeparator;
  return Folder + test::kSeparator + Relative;
}

// Every regular file under Root, as "relative path=contents", sorted.
std::vector<std::string> Tree(const std::string& Root) {
  std::vector<std::string> files;
  if (!fs::exists(Root)) return files;
  for (const auto& e : fs::recursive_directory_iterator(Root)) {
    if (e.is_regular_file())
      files.push_back(fs::relative(e.path(), Root).generic_string() + "=" +
                      test::ReadFile(e.path().string()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

class LayoutCli : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "home/ann/docs/a.txt", "alpha");
    test::WriteFile(dir_ / "home/ann/docs/sub/b.txt", "beta");
    test::WriteFile(dir_ / "home/ann/docs/sub/deep/c.bin", test::RandomBytes(40000, 9));
    test::WriteFile(dir_ / "home/ann/docs/.hidden/h.txt", "hidden");
    docs_ = dir_ / "home/ann/docs";
  }
  // Backs docs_ up as a folder SOURCE into Name.
  std::string Backup(const std::string& Name = "docs.bkp") {
    const std::string archive = dir_ / Name;
    const Result r = RunCli(dir_, {"backup", "-q", archive, docs_});
    if (r.Status != 0) throw std::runtime_error("backup failed: " + r.Err);
    return archive;
  }
  const std::vector<std::string> kDocs{"a.txt=alpha", "sub/b.txt=beta",
                                       "sub/deep/c.bin=" + test::RandomBytes(40000, 9)};
  test::TempDir dir_;
  std::string docs_;
};

TEST_F(LayoutCli, FolderSourceTakesTheWholeTreeHowEverItIsWritten) {
  // Relative, with a trailing slash, and absolute: the same files, stored
  // under their absolute names (hidden folders stay out, as with "/s").
  for (const auto& [source, cwd] : std::vector<std::pair<std::string, std::string>>{
           {"docs", dir_ / "home/ann"}, {"docs/", dir_ / "home/ann"}, {docs_, ""}}) {
    SCOPED_TRACE(source);
    const Result r = RunCli(dir_, {"backup", "-q", dir_ / "t.bkp", source}, nullptr, cwd);
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    const Result list = RunCli(dir_, {"list", dir_ / "t.bkp"});
    std::vector<std::string> names;
    for (size_t at = 0, end; (end = list.Out.find('\n', at)) != std::string::npos; at = end + 1)
      names.push_back(list.Out.substr(at, end - at));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{Under(docs_, "a.txt"), Under(docs_, "sub/b.txt"),
                                               Under(docs_, "sub/deep/c.bin")}));
  }
}

TEST_F(LayoutCli, SourceNamingNothingFailsBeforeAnyArchiveExists) {
  const Result r =
      RunCli(dir_, {"backup", dir_ / "x.bkp", docs_, dir_ / "no-such", dir_ / "gone/"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Contains(r.Err, "no such file or folder: " + dir_ / "no-such\n")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "no such file or folder: " + dir_ / "gone/\n")) << r.Err;
  EXPECT_FALSE(fs::exists(dir_ / "x.bkp"));

  // A pattern matching nothing is a warning naming it; the rest is backed up.
  const std::string empty = dir_ / "home/ann/docs/*.none";
  const Result warned = RunCli(dir_, {"backup", "-q", dir_ / "y.bkp", empty, docs_ + "/*.txt"});
  EXPECT_EQ(warned.Status, 0) << warned.Err;
  EXPECT_EQ(warned.Err, "kelmora-cli: warning: " + empty + " matches no file\n");
  EXPECT_EQ(RunCli(dir_, {"list", dir_ / "y.bkp"}).Out, Under(docs_, "a.txt") + "\n");
}

TEST_F(LayoutCli, RestoreLayouts) {
  const std::string archive = Backup();
  // Default: the stored tree under FOLDER.
  Result r = RunCli(dir_, {"restore", "-q", archive, dir_ / "tree"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Tree(test::BelowFolder(dir_ / "tree", docs_)), kDocs);

  // --relative leaves out the shared folder.
  r = RunCli(dir_, {"restore", "-q", "--relative", archive, dir_ / "rel"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Tree(dir_ / "rel"), kDocs);

  // --flat: every file straight into FOLDER.
  r = RunCli(dir_, {"restore", "-q", "--flat", archive, dir_ / "flat"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Tree(dir_ / "flat"),
            (std::vector<std::string>{"a.txt=alpha", "b.txt=beta", kDocs[2].substr(9)}));

  // "/": back where the files were.
  fs::remove_all(dir_ / "home");
  r = RunCli(dir_, {"restore", "-q", archive, "/"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Tree(docs_), kDocs);
}

TEST_F(LayoutCli, NamesMeetingOnOneTargetAreReportedAndNeitherIsLost) {
  test::WriteFile(dir_ / "t/a/same.txt", "from a");
  test::WriteFile(dir_ / "t/b/same.txt", "from b");
  ASSERT_EQ(RunCli(dir_, {"backup", "-q", dir_ / "same.bkp", dir_ / "t"}).Status, 0);
  const Result r = RunCli(dir_, {"restore", "--flat", dir_ / "same.bkp", dir_ / "out"});
  EXPECT_EQ(r.Status, 1);
  // Which of the two comes first is the directory listing's order.
  const std::string kept = test::ReadFile(dir_ / "out/same.txt");
  const std::string first = kept == "from a" ? dir_ / "t/a/same.txt" : dir_ / "t/b/same.txt";
  const std::string second = kept == "from a" ? dir_ / "t/b/same.txt" : dir_ / "t/a/same.txt";
  EXPECT_TRUE(Contains(r.Err, "not restored: " + second + ": " + first +
                                  " was already restored to " + dir_ / "out/same.txt"))
      << r.Err;
  EXPECT_TRUE(Contains(r.Out, "1 restored of 2")) << r.Out;
  EXPECT_EQ(Tree(dir_ / "out").size(), 1u);
}

TEST_F(LayoutCli, FolderIsRequiredAndLayoutsExcludeEachOther) {
  const std::string archive = Backup();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"restore", archive},
           {"restore", archive, ""},
           {"restore", "--flat", "--relative", archive, dir_ / "o"},
           {"restore", "--relative", "-", dir_ / "o"}}) {
    const Result r = RunCli(dir_, args);
    EXPECT_EQ(r.Status, 2) << args.size();
    EXPECT_FALSE(r.Err.empty());
  }
  EXPECT_TRUE(Contains(RunCli(dir_, {"restore", archive, ""}).Err, "give / to restore"));
  EXPECT_FALSE(fs::exists(dir_ / "o"));
}

TEST_F(LayoutCli, IncludeRestoresOnlyMatchingNames) {
  const std::string archive = Backup();
  // The path without its root ("/", or "c:\" on Windows).
  const std::string withoutRoot = fs::path(docs_).relative_path().generic_string();
  struct Case {
    std::vector<std::string> patterns;
    std::vector<std::string> expected;
  };
  for (const Case& c :
       std::vector<Case>{
           {{"sub"}, {"sub/b.txt=beta", kDocs[2]}},              // a folder, anywhere
           {{"*.txt"}, {"a.txt=alpha", "sub/b.txt=beta"}},       // * crosses folders
           {{docs_ + "/a.txt"}, {"a.txt=alpha"}},                // one file, anchored
           {{docs_ + "/s*/*.txt"}, {"sub/b.txt=beta"}},          // anchored, with wildcards
           {{"deep", "a.txt"}, {"a.txt=alpha", kDocs[2]}},       // several
           {{withoutRoot + "/sub/b.txt"}, {"sub/b.txt=beta"}}})  // the root may be left off
  {
    test::TempDir out;
    std::vector<std::string> args{"restore", "-q", archive, out.path(), "-i"};
    args.insert(args.end(), c.patterns.begin(), c.patterns.end());
    const Result r = RunCli(dir_, args);
    EXPECT_EQ(r.Status, 0) << c.patterns[0] << r.Err;
    EXPECT_EQ(Tree(test::BelowFolder(out.path(), docs_)), c.expected) << c.patterns[0];
  }

  // A pattern matching nothing fails and says which; an anchored pattern,
  // a drive's as well, does not match from the middle.
  test::TempDir out;
  const Result r = RunCli(dir_, {"restore", "-q", archive, out.path(), "-i", "sub", "/sub",
                                 "x:\\home\\ann\\docs\\a.txt", "nothing*"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Err,
            "kelmora-cli: nothing in the archive matches /sub\n"
            "kelmora-cli: nothing in the archive matches x:\\home\\ann\\docs\\a.txt\n"
            "kelmora-cli: nothing in the archive matches nothing*\n");
  EXPECT_EQ(Tree(test::BelowFolder(out.path(), docs_)).size(), 2u);

  // With --relative the shared folder is that of the chosen files.
  test::TempDir rel;
  const Result relative =
      RunCli(dir_, {"restore", "-q", "--relative", archive, rel.path(), "-i", "sub"});
  EXPECT_EQ(relative.Status, 0) << relative.Err;
  EXPECT_EQ(Tree(rel.path()),
            (std::vector<std::string>{"b.txt=beta", "deep/" + kDocs[2].substr(9)}));
}

// One case rule for backup's SOURCE and restore's -i: names keep their
// case, and only where a pattern's last component meets a file's own name
// is ASCII case ignored. A pattern takes the same files in both.
TEST_F(LayoutCli, BackupAndRestorePatternsShareOneCaseRule) {
  KELMORA_POSIX_ONLY("names that differ only in case");
  test::WriteFile(docs_ + "/README.TXT", "readme");
  test::WriteFile(docs_ + "/Notes.Txt", "notes");
  test::WriteFile(docs_ + "/Sub/c.TXT", "upper folder");
  test::WriteFile(docs_ + "/sub/B.TXT", "beta again");
  const std::string archive = Backup();
  const auto Restored = [&](const std::vector<std::string>& Patterns) {
    test::TempDir out;
    std::vector<std::string> args{"restore", "-q", archive, out.path()};
    for (const std::string& pattern : Patterns) {
      args.push_back("-i");
      args.push_back(pattern);
    }
    const Result r = RunCli(dir_, args);
    std::vector<std::string> files = Tree(test::BelowFolder(out.path(), docs_));
    if (r.Status != 0) files.push_back("status " + std::to_string(r.Status));
    return files;
  };
  const auto Selected = [&](const std::string& Source) {
    test::TempDir out;
    const Result b = RunCli(dir_, {"backup", "-q", out / "p.bkp", Source});
    const Result r = RunCli(dir_, {"restore", "-q", out / "p.bkp", out / "r"});
    std::vector<std::string> files = Tree(test::BelowFolder(out / "r", docs_));
    if (b.Status != 0 || r.Status != 0) files.push_back("failed " + b.Err + r.Err);
    return files;
  };

  // Restore's "*" crosses "/", as backup's " /s" goes into sub-folders.
  const std::vector<std::string> texts{"Notes.Txt=notes",        "README.TXT=readme",
                                       "Sub/c.TXT=upper folder", "a.txt=alpha",
                                       "sub/B.TXT=beta again",   "sub/b.txt=beta"};
  EXPECT_EQ(Selected(docs_ + "/*.txt /s"), texts);
  EXPECT_EQ(Restored({docs_ + "/*.txt"}), texts);
  EXPECT_EQ(Restored({docs_ + "/*.TXT"}), texts);
  EXPECT_EQ(Selected(docs_ + "/*.TXT"),
            (std::vector<std::string>{"Notes.Txt=notes", "README.TXT=readme", "a.txt=alpha"}));
  // The folder part keeps its case: sub and Sub are two folders.
  const std::vector<std::string> inSub{"sub/B.TXT=beta again", "sub/b.txt=beta"};
  EXPECT_EQ(Selected(docs_ + "/sub/*.txt"), inSub);
  EXPECT_EQ(Restored({docs_ + "/sub/*.txt"}), inSub);
  EXPECT_EQ(Restored({"sub/*.TXT"}), inSub);
  EXPECT_EQ(Restored({"Sub"}), std::vector<std::string>{"Sub/c.TXT=upper folder"});
  EXPECT_EQ(Restored({docs_ + "/SUB"}), std::vector<std::string>{"status 1"});
  // "*" crosses "/", but a letter that falls on a folder still counts case.
  EXPECT_EQ(Restored({docs_ + "/S*.TXT"}), std::vector<std::string>{"Sub/c.TXT=upper folder"});
  EXPECT_EQ(Restored({docs_ + "/[s]ub/b*"}), inSub);
  EXPECT_EQ(Restored({"readme.txt"}), std::vector<std::string>{"README.TXT=readme"});
}

// A pattern that climbs with ".." has no one meaning a user could count
// on; read as it was, it took every file. It is a usage error that names
// it, before anything is read or written.
TEST_F(LayoutCli, PatternWithAParentComponentIsAUsageErrorAndRestoresNothing) {
  const std::string archive = Backup();
  for (const std::string& pattern :
       {docs_ + "/sub/../a.txt", std::string("/.."), std::string("c:\\.."), std::string("sub/.."),
        std::string("../a.txt"), std::string("*/../*"), std::string("\\..\\a.txt")}) {
    const std::string out = dir_ / "out";
    const Result r = RunCli(dir_, {"restore", "-q", archive, out, "-i", "a.txt", "-i", pattern});
    EXPECT_EQ(r.Status, 2) << pattern;
    EXPECT_TRUE(Contains(r.Err, pattern)) << pattern << ": " << r.Err;
    EXPECT_FALSE(fs::exists(out)) << pattern;
  }
  // ".." inside a name is no component: "a..txt" is a file like any other.
  test::WriteFile(docs_ + "/a..txt", "dots");
  const std::string dotted = Backup("dotted.bkp");
  test::TempDir out;
  const Result r = RunCli(dir_, {"restore", "-q", dotted, out.path(), "-i", "a..txt"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(Tree(test::BelowFolder(out.path(), docs_)), std::vector<std::string>{"a..txt=dots"});
}

}  // namespace
}  // namespace kelmora
