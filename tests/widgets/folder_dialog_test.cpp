// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/folder_dialog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QScreen>
#include <QTimer>
#include <functional>
#include <stdexcept>

#include "test_support.h"
#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

using kelmora::test::TempDir;

// A folder chooser whose dialog is answered by the test instead of a person.
class ScriptedFolderDialog : public TFolderDialog {
 public:
  std::function<bool(QFileDialog&)> answer;

 protected:
  bool RunDialog(QFileDialog& Dialog) override { return answer(Dialog); }
};

TEST(FolderDialog, PlacementArithmetic) {
  const QRect window(10, 20, 320, 400);
  EXPECT_EQ(TFolderDialog::PlaceWindow(fdpScreenCenter, window, QSize(1024, 768), 0, 0),
            QPoint(352, 184));
  // Odd sizes: each half is truncated on its own.
  EXPECT_EQ(
      TFolderDialog::PlaceWindow(fdpScreenCenter, QRect(0, 0, 321, 401), QSize(1025, 769), 0, 0),
      QPoint(352, 184));
  EXPECT_EQ(TFolderDialog::PlaceWindow(fdpXY, window, QSize(1024, 768), -50, 20), QPoint(0, 20));
  EXPECT_EQ(TFolderDialog::PlaceWindow(fdpXY, window, QSize(1024, 768), 30, -1), QPoint(30, 0));
  EXPECT_EQ(TFolderDialog::PlaceWindow(fdpDefault, window, QSize(1024, 768), 5, 5), QPoint(10, 20));
}

TEST(FolderDialog, DefaultsVersionAndFlagsWord) {
  TFolderDialog dialog;
  EXPECT_EQ(dialog.Directory(), QDir::currentPath());
  EXPECT_EQ(dialog.DialogPosition(), fdpDefault);
  EXPECT_TRUE(dialog.Caption().isEmpty());
  EXPECT_TRUE(dialog.Title().isEmpty());
  EXPECT_EQ(dialog.ImageIndex(), 0);
  EXPECT_EQ(dialog.GetVersion(), "1.1.0.0");
  EXPECT_EQ(dialog.GetVersionNr(), 0x01010000u);
  EXPECT_EQ(dialog.ShellFlags(), 0x0040);

  const std::pair<TOption, int> flags[] = {{fdoBrowseForComputer, 0x1000},
                                           {fdoBrowseForPrinter, 0x2000},
                                           {fdoDontgoBelowDomain, 0x0002},
                                           {fdoReturnFSAncestors, 0x0008},
                                           {fdoReturnOnlyFSDirs, 0x0001},
                                           {fdoStatusText, 0x0004},
                                           {fdoNewDialogStyle, 0x0040},
                                           {fdoNoNewFolderButton, 0x0200},
                                           {fdoEditBox, 0x0010}};
  TFolderOptions all;
  for (const auto& [option, flag] : flags) {
    dialog.SetOptions(option);
    EXPECT_EQ(dialog.ShellFlags(), flag) << "option bit " << int(option);
    all |= option;
  }
  dialog.SetOptions(all);
  EXPECT_EQ(dialog.ShellFlags(), 0x325F);
  dialog.SetOptions({});
  EXPECT_EQ(dialog.ShellFlags(), 0);
}

TEST(FolderDialog, MissingOrFileStartFolderIsReplacedByTheCurrentDirectory) {
  TempDir temp;
  kelmora::test::WriteFile(temp.path() + "/plain.txt", "x");
  for (const QString& start : {QString::fromStdString(temp.path() + "/plain.txt"),
                               QString::fromStdString(temp.path() + "/absent"), QString()}) {
    ScriptedFolderDialog dialog;
    dialog.SetDirectory(start);
    QString shown;
    dialog.answer = [&](QFileDialog& D) {
      shown = D.directory().absolutePath();
      return false;
    };
    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.Directory(), QDir::currentPath()) << start.toStdString();
    EXPECT_EQ(shown, QDir::currentPath()) << start.toStdString();
  }
}

TEST(FolderDialog, CancelOrFailureLeavesTheStateAlone) {
  TempDir temp;
  const QString start = QString::fromStdString(temp.path());
  ScriptedFolderDialog dialog;
  dialog.SetDirectory(start);
  QString shown;
  dialog.answer = [&](QFileDialog& D) {
    shown = D.directory().absolutePath();
    return false;
  };
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(shown, QDir(start).absolutePath()) << "dialog did not open on the start folder";
  EXPECT_EQ(dialog.Directory(), start);
  EXPECT_EQ(dialog.ImageIndex(), 0);

  dialog.answer = [](QFileDialog&) -> bool { throw std::runtime_error("picker failed"); };
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(dialog.Directory(), start);
}

TEST(FolderDialog, AcceptingHandsBackTheChosenFolder) {
  TempDir temp;
  QDir(QString::fromStdString(temp.path())).mkdir("chosen");
  const QString start = QString::fromStdString(temp.path());
  ScriptedFolderDialog dialog;
  dialog.SetDirectory(start);

  // OK straight away takes the start folder, as the browser preselects it.
  dialog.answer = [](QFileDialog&) { return true; };
  EXPECT_TRUE(dialog.Execute());
  EXPECT_EQ(QDir(dialog.Directory()), QDir(start));

  dialog.answer = [&](QFileDialog& D) {
    D.setDirectory(start + "/chosen");
    return true;
  };
  EXPECT_TRUE(dialog.Execute());
  EXPECT_EQ(dialog.Directory(), QDir::cleanPath(start + "/chosen"));
}

TEST(FolderDialog, CaptionTitleOptionsAndPlacementReachTheDialog) {
  ScriptedFolderDialog dialog;
  dialog.SetCaption("Select Directory");
  dialog.SetTitle("Pick the folder to back up");
  QString caption, title;
  bool readOnly = true;
  QPoint shownAt;
  QRect frame;
  dialog.answer = [&](QFileDialog& D) {
    D.show();
    caption = D.windowTitle();
    title = D.labelText(QFileDialog::LookIn);
    readOnly = D.testOption(QFileDialog::ReadOnly);
    shownAt = D.pos();
    frame = D.frameGeometry();
    D.hide();
    return false;
  };

  dialog.SetDialogPosition(fdpXY);
  dialog.SetDialogX(-50);
  dialog.SetDialogY(20);
  dialog.Execute();
  EXPECT_EQ(caption, "Select Directory");
  EXPECT_EQ(title, "Pick the folder to back up");
  EXPECT_FALSE(readOnly) << "the default style offers a new-folder button";
  EXPECT_EQ(shownAt, QPoint(0, 20));

  dialog.SetDialogPosition(fdpScreenCenter);
  dialog.SetOptions(fdoNewDialogStyle | fdoNoNewFolderButton);
  dialog.Execute();
  EXPECT_TRUE(readOnly);
  const QSize desktop = QGuiApplication::primaryScreen()->virtualSize();
  EXPECT_EQ(shownAt, QPoint(desktop.width() / 2 - frame.width() / 2,
                            desktop.height() / 2 - frame.height() / 2));

  dialog.SetCaption(QString());
  dialog.Execute();
  EXPECT_FALSE(caption.isEmpty()) << "an empty caption must keep the dialog's own";
}

TEST(FolderDialog, ModalDialogClosedByTheUserReturnsFalse) {
  TFolderDialog dialog;
  const QString before = dialog.Directory();
  bool closed = false;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      closed = true;
      open->reject();
    }
  });
  closer.start(10);
  EXPECT_FALSE(dialog.Execute());
  EXPECT_TRUE(closed) << "Execute returned without showing a modal dialog";
  EXPECT_EQ(dialog.Directory(), before);
}

}  // namespace
}  // namespace kelmora::widgets
