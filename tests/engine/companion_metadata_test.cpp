// SPDX-License-Identifier: GPL-3.0-or-later
//
// A home-like tree recorded into a companion and given back from it, the
// way backup and restore use the records: modes 0600 and 0755, links to
// files and folders (and one leading out of the tree), empty folders,
// names with spaces and UTF-8, a file with two names. Everything stat
// shows must come back the same, in another time zone too.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/companion/container.h"
#include "engine/companion/metadata.h"
#include "engine/companion/sections.h"
#include "engine/home_tree.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "test_support.h"

namespace kelmora::companion {
namespace {

namespace fs = std::filesystem;
using kelmora::test::TempDir;

void MakeTree(const std::string& Root) {
  kelmora::test::WriteFile(Root + "/docs/report 2026.txt", "report");
  kelmora::test::WriteFile(Root + "/docs/Ünïcödé €.txt", "utf8");
  kelmora::test::WriteFile(Root + "/.ssh/id_key", "private");
  kelmora::test::WriteFile(Root + "/bin/run.sh", "#!/bin/sh\n");
  ::chmod((Root + "/.ssh/id_key").c_str(), 0600);
  ::chmod((Root + "/.ssh").c_str(), 0700);
  ::chmod((Root + "/bin/run.sh").c_str(), 0755);
  fs::create_directories(Root + "/empty/deeper");
  ::chmod((Root + "/empty").c_str(), 0750);
  fs::create_symlink("docs/report 2026.txt", Root + "/to-file");
  fs::create_symlink("docs", Root + "/to-folder");
  fs::create_symlink("/etc/passwd", Root + "/docs/outside");
  fs::create_hard_link(Root + "/bin/run.sh", Root + "/bin/run-again.sh");
  kelmora::test::StampTree(Root);
}

TEST(CompanionMetadata, TreeRecordedAndGivenBack) {
  TempDir dir;
  const std::string source = dir / "home";
  MakeTree(source);
  // Backup: one record a path, in the order a walk meets them.
  std::vector<MetadataRecord> records;
  HardLinks links;
  std::map<std::string, std::string> contents;
  for (const auto& e : fs::recursive_directory_iterator(source)) {
    platform::PathMetadata m;
    ASSERT_EQ(platform::ReadPathMetadata(e.path().string(), m), 0);
    MetadataRecord r;
    const std::string name = e.path().string().substr(source.size());
    ASSERT_TRUE(RecordOf(name, m, r));
    r.HardLinkGroup = links.GroupOf(m);
    records.push_back(r);
    if (m.Kind == platform::PathKind::File) contents[name] = kelmora::test::ReadFile(e.path());
  }
  TMemoryStream stored;
  CompanionWriter writer(stored);
  writer.AddSection(kMetadataSection, EncodeMetadata(records));
  writer.Finish();

  // Restore, in another time zone, through folder handles only.
  kelmora::test::SetEnvironment("TZ", "Asia/Tokyo");
  ::tzset();
  stored.Seek(0, SeekOrigin::Begin);
  CompanionReader reader(stored);
  ASSERT_EQ(reader.Open(), CompanionState::Sound);
  std::string body;
  std::vector<MetadataRecord> back;
  ASSERT_TRUE(reader.ReadBody(*reader.Find(kMetadataSection), body, 1 << 20));
  ASSERT_TRUE(DecodeMetadata(body, back));
  const std::string target = dir / "restored";
  const platform::FolderHandle root = platform::OpenFolder(target, true);
  platform::MetadataRules rules;
  rules.Owner = platform::MayChangeOwner();
  rules.ExactMode = true;
  std::map<uint32_t, std::string> firstOfGroup;
  const auto split = [](const std::string& Name) {
    const size_t slash = Name.rfind('/');
    return std::make_pair(Name.substr(0, slash), Name.substr(slash + 1));
  };
  for (const MetadataRecord& r : back) {
    const auto [folderName, leaf] = split(r.Name);
    const platform::PathMetadata m = PathMetadataOf(r);
    if (r.Kind == EntryKind::Folder) {
      ASSERT_TRUE(platform::OpenFolderBeneath(root, r.Name).Valid());
      continue;
    }
    const platform::FolderHandle folder = platform::OpenFolderBeneath(root, folderName);
    ASSERT_TRUE(folder.Valid()) << r.Name;
    if (r.Kind == EntryKind::Link) {
      ASSERT_EQ(platform::MakeSymbolicLink(folder, leaf, r.LinkTarget, false), 0);
      EXPECT_TRUE(platform::ApplyLinkMetadata(folder, leaf, m, rules).Done());
      continue;
    }
    if (r.HardLinkGroup != 0 && firstOfGroup.count(r.HardLinkGroup)) {
      const auto [fromFolder, fromLeaf] = split(firstOfGroup[r.HardLinkGroup]);
      ASSERT_EQ(platform::MakeHardLink(platform::OpenFolderBeneath(root, fromFolder), fromLeaf,
                                       folder, leaf),
                0);
      continue;
    }
    firstOfGroup[r.HardLinkGroup] = r.Name;
    platform::PendingFile pending(
        std::make_shared<const platform::FolderHandle>(folder.Duplicate()));
    platform::File file = pending.ReleaseFile();
    ASSERT_TRUE(file.Write(contents[r.Name].data(), contents[r.Name].size()));
    EXPECT_TRUE(platform::ApplyMetadata(file, m, rules).Done());
    ASSERT_TRUE(file.Close());
    ASSERT_TRUE(pending.PutInPlace(leaf));
  }
  // Folders last, the deepest first: a new entry would change their time.
  std::vector<const MetadataRecord*> folders;
  for (const MetadataRecord& r : back)
    if (r.Kind == EntryKind::Folder) folders.push_back(&r);
  std::sort(folders.begin(), folders.end(),
            [](const MetadataRecord* a, const MetadataRecord* b) { return a->Name > b->Name; });
  for (const MetadataRecord* r : folders)
    EXPECT_TRUE(platform::ApplyMetadata(platform::OpenFolderBeneath(root, r->Name),
                                        PathMetadataOf(*r), rules)
                    .Done());
  kelmora::test::UnsetEnvironment("TZ");
  ::tzset();
  const std::map<std::string, std::string> expected = kelmora::test::StatTree(source, true);
  EXPECT_EQ(expected.size(), 13u);
  EXPECT_EQ(kelmora::test::StatTree(target, true), expected);
}

}  // namespace
}  // namespace kelmora::companion
#endif
