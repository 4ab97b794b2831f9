// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/directory_outline.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QSignalSpy>
#include <filesystem>

#include "test_support.h"
#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

namespace fs = std::filesystem;

// Takes from this thread the capabilities that let root read any folder, so
// a folder without permissions is unreadable even when the tests run as
// root. They come back when the object goes; the permitted set keeps them.
class WithoutReadOverride {
 public:
  WithoutReadOverride() {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutReadOverride() {
    if (dropped_) syscall(SYS_capset, &header_, saved_);
  }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

bool CanOpen(const std::string& Folder) {
  DIR* dir = ::opendir(Folder.c_str());
  if (dir != nullptr) ::closedir(dir);
  return dir != nullptr;
}

QStringList ChildNames(const QTreeWidgetItem* Item) {
  QStringList names;
  for (int i = 0; i < Item->childCount(); ++i) names << Item->child(i)->text(0);
  return names;
}

QString Q(const std::string& Path) {
  return QString::fromStdString(Path);
}

TEST(DirectoryOutline, ReadsAFolderOnlyWhenExpandedAndLeavesOutHiddenFoldersAndLinks) {
  test::TempDir root;
  fs::create_directories(root / "beta/inner/deep");
  fs::create_directories(root / "alpha");
  fs::create_directories(root / ".hidden/under");
  fs::create_directory_symlink(root / "beta", root / "link-to-beta");
  test::WriteFile(root / "file.txt", "not a folder");

  TCDirectoryOutline outline;
  outline.SetRootPath(Q(root.path()));
  ASSERT_EQ(outline.topLevelItemCount(), 1);
  QTreeWidgetItem* top = outline.topLevelItem(0);
  EXPECT_EQ(top->childCount(), 0) << "nothing is read before the root is expanded";
  EXPECT_EQ(top->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);

  // A folder made after the tree was set up still shows: reading waits for
  // the expansion.
  fs::create_directory(root / "gamma");
  top->setExpanded(true);
  EXPECT_EQ(ChildNames(top), (QStringList{"alpha", "beta", "gamma"}));

  QTreeWidgetItem* beta = outline.ItemForPath(Q(root / "beta"));
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(beta->childCount(), 0);
  EXPECT_EQ(outline.ItemForPath(Q(root / "beta/inner")), nullptr);
  beta->setExpanded(true);
  EXPECT_EQ(ChildNames(beta), QStringList{"inner"});

  // Collapsing and expanding again reads nothing twice.
  top->setExpanded(false);
  top->setExpanded(true);
  EXPECT_EQ(top->childCount(), 3);

  QTreeWidgetItem* alpha = outline.ItemForPath(Q(root / "alpha"));
  alpha->setExpanded(true);
  EXPECT_EQ(alpha->childCount(), 0);
  EXPECT_EQ(alpha->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

TEST(DirectoryOutline, CurrentPathExpandsTheWayDownAndRefusesPathsItCannotShow) {
  test::TempDir root;
  fs::create_directories(root / "a/b/c");
  fs::create_directories(root / ".secret/x");
  fs::create_directories(root / "ab");
  TCDirectoryOutline outline;
  outline.SetRootPath(Q(root.path()));
  QSignalSpy changes(&outline, &TCDirectoryOutline::CurrentPathChanged);

  outline.SetCurrentPath(Q(root / "a/./b//c/"));
  EXPECT_EQ(outline.CurrentPath(), Q(root / "a/b/c"));
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes.at(0).at(0).toString(), Q(root / "a/b/c"));
  EXPECT_TRUE(outline.ItemForPath(Q(root / "a/b"))->isExpanded());

  for (const std::string& refused :
       {root / ".secret/x", root / "a/missing", root.path() + "/../elsewhere", std::string("/")})
    outline.SetCurrentPath(Q(refused));
  EXPECT_EQ(outline.CurrentPath(), Q(root / "a/b/c"));

  outline.setCurrentItem(outline.ItemForPath(Q(root / "ab")));  // as a click does
  EXPECT_EQ(outline.CurrentPath(), Q(root / "ab"));
  EXPECT_EQ(changes.count(), 2);
}

TEST(DirectoryOutline, AnUnreadableFolderShowsNoChildrenAndNoMessage) {
  test::TempDir root;
  fs::create_directories(root / "locked/inside");
  fs::permissions(root / "locked", fs::perms::none);
  TCDirectoryOutline outline;
  outline.SetRootPath(Q(root.path()));
  outline.topLevelItem(0)->setExpanded(true);
  QTreeWidgetItem* locked = outline.ItemForPath(Q(root / "locked"));
  ASSERT_NE(locked, nullptr) << "the locked folder itself is listed by its parent";

  WithoutReadOverride unprivileged;
  if (CanOpen(root / "locked"))
    GTEST_SKIP() << "this process can read a folder without permissions (root whose "
                    "capabilities could not be lowered)";
  locked->setExpanded(true);
  EXPECT_EQ(locked->childCount(), 0);
  EXPECT_EQ(locked->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicatorWhenChildless);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  for (const QWidget* window : QApplication::topLevelWidgets())
    EXPECT_FALSE(window->isVisible()) << window->metaObject()->className() << " was shown";
}

}  // namespace
}  // namespace kelmora::widgets
