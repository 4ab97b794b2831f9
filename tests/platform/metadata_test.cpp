// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a path is beside its contents: read without following links, and
// given back to restored files, folders and links through handles, as tar
// gives it back (owner only where the run may, modes less the umask for a
// user, set-ID bits only for their own owner, times to the nanosecond).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/target_file.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;

// A restored file as a restore writes it: pending in its folder, written,
// given its metadata through the open handle, then put in place.
MetadataResult Restore(const FolderHandle& Folder, const std::string& Name, const PathMetadata& M,
                       const MetadataRules& Rules) {
  PendingFile pending(std::make_shared<const FolderHandle>(Folder.Duplicate()));
  EXPECT_TRUE(pending.Valid());
  File file = pending.ReleaseFile();
  EXPECT_TRUE(file.Write("data", 4));
  const MetadataResult result = ApplyMetadata(file, M, Rules);
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(pending.PutInPlace(Name));
  return result;
}

PathMetadata Recorded(uint32_t Mode, int64_t Seconds, uint32_t Nanoseconds) {
  PathMetadata m;
  m.Kind = PathKind::File;
  m.HasMode = true;
  m.Mode = Mode;
  m.ModifiedSeconds = Seconds;
  m.ModifiedNanoseconds = Nanoseconds;
  return m;
}

TEST(PlatformMetadata, TimesToTheSystemsPrecision) {
  TempDir dir;
  const FolderHandle folder = OpenFolder(dir.path(), false);
  PathMetadata m = Recorded(0644, 1767225600, 123456789);
  m.HasMode = test::kOnWindows ? false : true;
  EXPECT_TRUE(Restore(folder, "f", m, MetadataRules()).Done());
  PathMetadata read;
  ASSERT_EQ(ReadPathMetadata(dir / "f", read), 0);
  EXPECT_EQ(read.Kind, PathKind::File);
  EXPECT_EQ(read.ModifiedSeconds, 1767225600);
  // Windows keeps tenths of a microsecond.
  EXPECT_EQ(read.ModifiedNanoseconds, test::kOnWindows ? 123456700u : 123456789u);
  // Before 1970 too.
  m.ModifiedSeconds = -1000;
  m.ModifiedNanoseconds = 500;
  test::WriteFile(dir / "sub/x", "");
  const FolderHandle sub = OpenFolder(dir / "sub", false);
  EXPECT_EQ(ApplyMetadata(sub, m, MetadataRules()).Time, 0);
  ASSERT_EQ(ReadPathMetadata(dir / "sub", read), 0);
  EXPECT_EQ(read.Kind, PathKind::Directory);
  EXPECT_EQ(read.ModifiedSeconds, -1000);
  EXPECT_EQ(ReadPathMetadata(dir / "missing", read), ENOENT);
}

#ifndef _WIN32
mode_t ModeOf(const std::string& Path) {
  struct stat st;
  EXPECT_EQ(::lstat(Path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(PlatformMetadata, ReadsModeOwnerLinksWithoutFollowing) {
  TempDir dir;
  test::WriteFile(dir / "key", "secret");
  ::chmod((dir / "key").c_str(), 04700);
  test::MakeSymlink("../no such/target\nwith a newline", dir / "dangling");
  ASSERT_EQ(::link((dir / "key").c_str(), (dir / "key2").c_str()), 0);
  PathMetadata key;
  ASSERT_EQ(ReadPathMetadata(dir / "key", key), 0);
  EXPECT_EQ(key.Mode, 04700u);
  EXPECT_EQ(key.UserId, ::geteuid());
  EXPECT_EQ(key.UserName, ::geteuid() == 0 ? "root" : key.UserName);
  EXPECT_FALSE(key.UserName.empty());
  EXPECT_EQ(key.Links, 2u);
  PathMetadata second;
  ASSERT_EQ(ReadPathMetadata(dir / "key2", second), 0);
  EXPECT_EQ(second.Inode, key.Inode);
  EXPECT_EQ(second.Device, key.Device);
  PathMetadata link;
  ASSERT_EQ(ReadPathMetadata(dir / "dangling", link), 0);
  EXPECT_EQ(link.Kind, PathKind::Link);
  EXPECT_EQ(link.LinkTarget, "../no such/target\nwith a newline");
}

TEST(PlatformMetadata, ModesLessTheUmaskAndSetIdOnlyForItsOwner) {
  TempDir dir;
  const FolderHandle folder = OpenFolder(dir.path(), false);
  PathMetadata m = Recorded(06755, 1000000000, 1);
  m.UserId = ::geteuid();
  m.GroupId = ::getegid();
  MetadataRules exact;
  exact.ExactMode = true;
  EXPECT_TRUE(Restore(folder, "exact", m, exact).Done());
  EXPECT_EQ(ModeOf(dir / "exact"), 06755u);
  MetadataRules user;
  user.Umask = 027;
  EXPECT_TRUE(Restore(folder, "masked", m, user).Done());
  EXPECT_EQ(ModeOf(dir / "masked"), 06750u);
  // Set for someone else: the restored file is not theirs, so not set.
  m.UserId = 4242;
  m.GroupId = 4243;
  EXPECT_TRUE(Restore(folder, "other", m, exact).Done());
  EXPECT_EQ(ModeOf(dir / "other"), 0755u);
}

TEST(PlatformMetadata, OwnerOnlyWhereTheRunMay) {
  TempDir dir;
  PathMetadata m = Recorded(04750, 1000000000, 0);
  m.UserId = 4242;
  m.GroupId = 4243;
  m.UserName = "no-such-user-here";
  MetadataRules rules;
  rules.Owner = true;
  rules.ExactMode = true;
  if (::geteuid() == 0) {
    const FolderHandle folder = OpenFolder(dir.path(), false);
    EXPECT_TRUE(Restore(folder, "given", m, rules).Done());
    struct stat st;
    ASSERT_EQ(::stat((dir / "given").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);  // by number: the name is unknown here
    EXPECT_EQ(st.st_gid, 4243u);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    m.UserName = "root";
    EXPECT_TRUE(Restore(folder, "named", m, rules).Done());
    ASSERT_EQ(::stat((dir / "named").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);  // by name
    ::chmod(dir.path().c_str(), 0777);
  }
  // As an ordinary user the owner cannot be given, and the set-user-ID
  // bit does not come back on a file the user now owns.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(10);
    const FolderHandle folder = OpenFolder(dir.path(), false);
    m.UserName.clear();
    const MetadataResult r = Restore(folder, "mine", m, rules);
    if (r.Owner != EPERM || r.Mode != 0 || r.Time != 0) _exit(11);
    if ((ModeOf(dir / "mine") & 07777) != 0750) _exit(12);
    _exit(::testing::Test::HasFailure() ? 13 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
}

TEST(PlatformMetadata, LinksAreMadeAsLinksAndNeverFollowed) {
  TempDir dir;
  test::WriteFile(dir / "outside/target", "keep");
  ::utimensat(AT_FDCWD, (dir / "outside/target").c_str(), nullptr, 0);
  PathMetadata before;
  ASSERT_EQ(ReadPathMetadata(dir / "outside/target", before), 0);
  test::WriteFile(dir / "in/file", "old");
  ASSERT_EQ(::mkdir((dir / "in/folder").c_str(), 0755), 0);
  const FolderHandle in = OpenFolder(dir / "in", false);
  const std::string target = dir / "outside/target";
  EXPECT_EQ(MakeSymbolicLink(in, "new", target, false), 0);
  EXPECT_EQ(MakeSymbolicLink(in, "new", target, false), EEXIST);
  EXPECT_EQ(MakeSymbolicLink(in, "file", target, true), 0);  // replaced, not written through
  EXPECT_EQ(MakeSymbolicLink(in, "folder", target, true), EISDIR);
  EXPECT_EQ(MakeSymbolicLink(in, "../escape", target, true), EINVAL);
  EXPECT_EQ(test::ReadFile(target), "keep");
  PathMetadata link;
  ASSERT_EQ(ReadPathMetadata(dir / "in/file", link), 0);
  EXPECT_EQ(link.Kind, PathKind::Link);
  EXPECT_EQ(link.LinkTarget, target);
  PathMetadata m = Recorded(0777, 1200000000, 42);
  EXPECT_EQ(ApplyLinkMetadata(in, "file", m, MetadataRules()).Time, 0);
  ASSERT_EQ(ReadPathMetadata(dir / "in/file", link), 0);
  EXPECT_EQ(link.ModifiedSeconds, 1200000000);
  EXPECT_EQ(link.ModifiedNanoseconds, 42u);
  PathMetadata after;
  ASSERT_EQ(ReadPathMetadata(target, after), 0);
  EXPECT_EQ(after.ModifiedSeconds, before.ModifiedSeconds);
  EXPECT_EQ(after.ModifiedNanoseconds, before.ModifiedNanoseconds);
  EXPECT_NE(ApplyLinkMetadata(in, "folder", m, MetadataRules()).Time, 0);  // no link there
  // A second name for a file, and none through a link.
  test::WriteFile(dir / "in/one", "1");
  EXPECT_EQ(MakeHardLink(in, "one", in, "two"), 0);
  EXPECT_EQ(ReadPathMetadata(dir / "in/two", after), 0);
  EXPECT_EQ(after.Links, 2u);
  EXPECT_EQ(MakeHardLink(in, "file", in, "three"), 0);
  ASSERT_EQ(ReadPathMetadata(dir / "in/three", after), 0);
  EXPECT_EQ(after.Kind, PathKind::Link);
}

TEST(PlatformMetadata, UmaskAsTheProcessHasIt) {
  const mode_t old = ::umask(027);
  EXPECT_EQ(ProcessUmask(), 027u);
  ::umask(old);
  EXPECT_EQ(ProcessUmask(), old);
  EXPECT_EQ(MayChangeOwner(), ::geteuid() == 0);
}
#endif

}  // namespace
}  // namespace kelmora::platform
