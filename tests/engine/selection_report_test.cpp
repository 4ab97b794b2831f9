// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a walk tells beside the files it selects: the folders named whose
// files it could not reach, and a stop asked for while it goes (hidden and
// unreadable folders are shown through the program, tests/cli). And the one
// rule for the sub-directory switch that every front end shares.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/selection.h"
#include "kelmora/helpers.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;
using Paths = std::vector<std::string>;

class SelectionReportTest : public ::testing::Test {
 protected:
  std::string P(const std::string& Relative) const {
    return platform::ComparableName(root_ / Relative);
  }
  void Make(const std::string& Relative) { test::WriteFile(P(Relative), "x"); }

  Paths Select(const TStringList& Sources, SelectionReport& Report, bool Hidden = false,
               TBackupMode Mode = bmAll) {
    TStringList selected;
    SelectionOptions options;
    options.IncludeHidden = Hidden;
    SelectSourceFiles(Sources, TStringList{}, Mode, selected, nullptr, options, Report);
    return selected;
  }

  TempDir root_;
};

// A folder taken whole that yields nothing while hidden folders in it were
// left out holds files out of reach; an empty one, or one of empty
// folders, is no fault, nor is an incremental run that finds nothing new.
TEST_F(SelectionReportTest, AFolderWhoseFilesAreOutOfReachIsReported) {
  KELMORA_POSIX_ONLY("a leading dot hides nothing there");
  Make("project/.git/HEAD");
  std::filesystem::create_directories(P("empty/inner/deeper"));
  Make("plain/a.txt");

  SelectionReport out;
  EXPECT_TRUE(Select({P("project/*.* /s")}, out).empty());
  ASSERT_EQ(out.Unselected.size(), 1u);
  EXPECT_EQ(out.Unselected[0].Code, beNothingSelected);
  EXPECT_EQ(out.Unselected[0].Subject, P("project") + "/");
  EXPECT_NE(out.Unselected[0].Reason.find("1 hidden folder"), std::string::npos);

  SelectionReport empty;
  EXPECT_TRUE(Select({P("empty/*.* /s")}, empty).empty());
  EXPECT_TRUE(empty.Unselected.empty());

  // A pattern that matches nothing is the user's to judge.
  SelectionReport pattern;
  EXPECT_TRUE(Select({P("project/*.txt /s")}, pattern).empty());
  EXPECT_TRUE(pattern.Unselected.empty());

  // Found but unchanged is no fault.
  if (test::ArchiveAttributeWorks(P("plain/a.txt"))) {
    platform::ClearArchiveAttribute(P("plain/a.txt"));
    SelectionReport unchanged;
    EXPECT_TRUE(Select({P("plain/*.* /s")}, unchanged, false, bmIncremental).empty());
    EXPECT_TRUE(unchanged.Unselected.empty());
  }

  // Taken in, the folder's files are reached and nothing is reported.
  SelectionReport hidden;
  EXPECT_EQ(Select({P("project/*.* /s")}, hidden, true), Paths{P("project/.git/HEAD")});
  EXPECT_TRUE(hidden.Unselected.empty());
}

TEST_F(SelectionReportTest, AFolderNamedAsAFileIsReported) {
  Make("data/a.txt");
  SelectionReport named;
  EXPECT_TRUE(Select({P("data")}, named).empty());
  ASSERT_EQ(named.Unselected.size(), 1u);
  EXPECT_EQ(named.Unselected[0].Subject, P("data"));
  SelectionReport missing;
  EXPECT_TRUE(Select({P("nothing-here"), P("nowhere/*.* /s")}, missing).empty());
  EXPECT_TRUE(missing.Unselected.empty()) << "what is not there is the caller's to check";
  EXPECT_TRUE(missing.Unreadable.empty());
}

TEST_F(SelectionReportTest, KeepGoingIsAskedBeforeEveryFolderAndStopsTheWalk) {
  for (int i = 0; i < 20; ++i) Make(std::string("d").append(std::to_string(i)).append("/f.txt"));
  int asked = 0;
  SelectionOptions options;
  options.KeepGoing = [&] { return ++asked < 5; };
  SelectionReport report;
  TStringList selected;
  SelectSourceFiles({P("*.* /s"), P("d1/*.*")}, TStringList{}, bmAll, selected, nullptr, options,
                    report);
  EXPECT_TRUE(report.Stopped);
  EXPECT_EQ(asked, 5) << "never asked again once it said stop";
  EXPECT_LE(selected.size(), 4u);
}

// "/srv/docs" is a path, not the switch: a folder under /srv, /sbin or
// /snap is taken whole like any other.
TEST_F(SelectionReportTest, OneSwitchRuleForEveryFrontEnd) {
  EXPECT_FALSE(HasSubdirectorySwitch("/srv/docs"));
  EXPECT_FALSE(HasSubdirectorySwitch("/snap"));
  EXPECT_FALSE(HasSubdirectorySwitch("/home/ann/s"));
  EXPECT_TRUE(HasSubdirectorySwitch("/home/ann/*.txt /s"));
  EXPECT_TRUE(HasSubdirectorySwitch("/s"));
  EXPECT_TRUE(HasSubdirectorySwitch("*.*\t/S"));
  Make("srv/docs/a.txt");
  Make("srv/docs/deep/b.txt");
  const std::string source = FolderSpecification(P("srv/docs"), true);
  EXPECT_EQ(source, P("srv/docs") + platform::kPathSeparator + "*.* /s");
  EXPECT_EQ(FolderSpecification(P("srv/docs") + "/", false),
            P("srv/docs") + platform::kPathSeparator + "*.*");
  SelectionReport report;
  EXPECT_EQ(Select({source}, report), (Paths{P("srv/docs/deep/b.txt"), P("srv/docs/a.txt")}));
}

}  // namespace
}  // namespace kelmora
