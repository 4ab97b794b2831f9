// SPDX-License-Identifier: GPL-3.0-or-later
//
// The window while a backup walks the folders, before any file is read:
// it answers, shows what was found so far and honours Stop; and what the
// walk leaves out by default (hidden folders) is said in the summary and
// taken in with the window's option.
#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <string>

#include "form_fixture.h"
#include "kelmora/helpers.h"

namespace kelmora::test {
namespace {

namespace fs = std::filesystem;

class SelectionWindowTest : public FormTest {
 protected:
  std::unique_ptr<app::TForm1> FormFor(const std::string& Source, const std::string& Archive) {
    auto form = MakeForm();
    form->Values.BackupFolder = QString::fromStdString(Source) + "/";
    form->Values.BackupFileName = QString::fromStdString(Archive);
    return form;
  }
};

TEST_F(SelectionWindowTest, StopWorksWhileTheFoldersAreWalked) {
  constexpr int kFolders = 300;
  for (int i = 0; i < kFolders; ++i) WriteFile(Path("src/d" + std::to_string(i) + "/f.txt"), "x");
  auto form = FormFor(Path("src"), Path("out.bkp"));
  // Every time the engine lets the window work, what it shows is noted, and
  // whether a file was read by then.
  QStringList statuses;
  int pumpsBeforeAnyFile = 0;
  const auto pump = form->BackupEngine.Hooks.ProcessMessages;
  form->BackupEngine.Hooks.ProcessMessages = [&] {
    if (form->BackupEngine.CurrentFile().empty()) ++pumpsBeforeAnyFile;
    pump();
    statuses << form->StatusLine();
  };
  yesNoAnswers = {true};
  // Clicked as soon as the window processes its messages.
  QTimer::singleShot(0, form.get(), [&] { form->ButtonStop->click(); });
  form->ButtonBackup->click();

  EXPECT_GT(pumpsBeforeAnyFile, 0) << "the walk let the window process its messages";
  ASSERT_EQ(ShownOf("yesno").size(), 1u);
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Stopped);
  EXPECT_EQ(form->BackupEngine.FilesDone(), 0);
  EXPECT_LT(form->BackupEngine.FileCount(), kFolders) << "the walk ended at the stop";
  EXPECT_FALSE(fs::exists(Path("out.bkp")));
  const QString selecting = form->Text("Status->Selecting").section('%', 0, 0);
  EXPECT_TRUE(statuses.filter(selecting).size() > 0) << statuses.join('|').toStdString();
  EXPECT_TRUE(ShownOf("message").empty()) << "a stop is not an error";
}

TEST_F(SelectionWindowTest, HiddenFoldersAreCountedAndTakenInWithTheOption) {
  WriteFile(Path("src/a.txt"), "a");
  WriteFile(Path("src/.git/config"), "c");
  WriteFile(Path("src/sub/.cache/blob"), "b");
  WriteFile(Path("src/.profile"), "p");  // a hidden file is always taken
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_EQ(form->LastOutcome().FilesDone, 2);
  EXPECT_EQ(form->LastOutcome().HiddenFolders, 2);
  EXPECT_TRUE(form->StatusLine().contains(form->Text("Outcome->HiddenLeftOut").arg(2)))
      << form->StatusLine().toStdString();

  form->CheckBoxHidden->setChecked(true);
  EXPECT_TRUE(form->Values.Hidden);
  form->ButtonBackup->click();
  ASSERT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_EQ(form->LastOutcome().FilesDone, 4);
  EXPECT_EQ(form->LastOutcome().HiddenFolders, 0);
  const TStringList stored = [&] {
    TStringList names;
    TBackupFile reader;
    reader.ListArchive(Path("out.bkp"), [&](TBackupFile&, const TArchiveEntry& Entry) {
      names.push_back(Entry.Name);
    });
    return names;
  }();
  EXPECT_NE(std::find(stored.begin(), stored.end(), Path("src/.git/config")), stored.end());
  EXPECT_NE(std::find(stored.begin(), stored.end(), Path("src/sub/.cache/blob")), stored.end());
}

// A folder whose files all lie in hidden folders is no empty folder: the
// backup fails naming it, and the older archive stays.
TEST_F(SelectionWindowTest, AFolderWithFilesOnlyInHiddenFoldersFails) {
  WriteFile(Path("src/.git/HEAD"), "ref");
  WriteFile(Path("out.bkp"), "older");
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Failed);
  EXPECT_EQ(form->BackupEngine.ErrorCode(), beNothingSelected);
  EXPECT_EQ(form->BackupEngine.Failure().Subject, Path("src") + "/");
  EXPECT_EQ(ReadFile(Path("out.bkp")), "older");
  const auto told = ShownOf("message");
  ASSERT_EQ(told.size(), 1u);
  EXPECT_TRUE(told[0].Text.contains(QString::fromStdString(Path("src"))));
}

}  // namespace
}  // namespace kelmora::test
