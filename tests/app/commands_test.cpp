// SPDX-License-Identifier: GPL-3.0-or-later
//
// The window's commands on real folders and archives: Backup, Restore and
// Stop, the pickers, the size limit, and what the window shows of the
// engine's progress, questions and errors.
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "form_fixture.h"
#include "kelmora/helpers.h"
#include "platform/file.h"
#include "platform/working_files.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"

namespace kelmora::test {
namespace {

namespace fs = std::filesystem;
using app::TForm1;

class CommandsTest : public FormTest {
 protected:
  // A small tree; returns relative path -> contents.
  std::map<std::string, std::string> MakeTree(const std::string& Root) {
    std::map<std::string, std::string> files = {
        {"a.txt", TextBytes(5000, 1)},
        {"b.bin", RandomBytes(40000, 2)},
        {"sub/c.txt", TextBytes(70000, 3)},
        {"sub/deeper/d.bin", RandomBytes(3000, 4)},
    };
    for (const auto& [name, bytes] : files) WriteFile(Root + "/" + name, bytes);
    return files;
  }

  // Many multi-chunk files, so that an operation takes many steps.
  void MakeLongTree(const std::string& Root) {
    for (int i = 0; i < 30; ++i)
      WriteFile(Root + "/f" + std::to_string(i) + ".bin", RandomBytes(40000, 100 + i));
  }

  std::unique_ptr<TForm1> FormFor(const std::string& Source, const std::string& Archive) {
    auto form = MakeForm();
    form->Values.BackupFolder = QString::fromStdString(Source) + "/";
    form->Values.BackupFileName = QString::fromStdString(Archive);
    return form;
  }

  static void SetLimit(TForm1& Form, const QString& Size, int Unit) {
    Form.CheckBoxSize->setChecked(true);
    Form.EditSize->setText(Size);
    Form.ComboBoxSize->setCurrentIndex(Unit);
    Form.ComboBoxSizeChange();
  }
};

TEST_F(CommandsTest, BackupWritesTheArchiveFillsTheGaugeAndShowsTheSummary) {
  const auto files = MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();

  ASSERT_TRUE(fs::exists(Path("out.bkp")));
  EXPECT_GT(fs::file_size(Path("out.bkp")), 0u);
  EXPECT_EQ(form->CGauge1->Progress(), form->CGauge1->MaxValue());
  int64_t total = 0;
  for (const auto& [name, bytes] : files) total += static_cast<int64_t>(bytes.size());
  EXPECT_EQ(form->BackupEngine.FileCount(), 4);
  // The summary in figures, and in words with units.
  const app::TRunOutcome& backup = form->LastOutcome();
  EXPECT_EQ(backup.End, app::TRunEnd::Completed);
  EXPECT_EQ(backup.FilesDone, 4);
  EXPECT_EQ(backup.Bytes, total);
  EXPECT_EQ(backup.ArchiveBytes, static_cast<int64_t>(fs::file_size(Path("out.bkp"))));
  EXPECT_EQ(backup.Volumes, 1);
  EXPECT_GT(backup.Rate, 0) << "the text files compress";
  EXPECT_TRUE(form->StatusLine().contains(app::FormatSize(total, form->TextSource())))
      << form->StatusLine().toStdString();
  EXPECT_TRUE(
      form->StatusLine().contains(app::FormatSize(backup.ArchiveBytes, form->TextSource())));
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("%1 %").arg(backup.Rate)));
  EXPECT_EQ(form->windowTitle(), "Kelmora 1.0") << "the percentage leaves the title";
  EXPECT_EQ(form->BackupEngine.CompressionLevel, clDefault) << "item 0 is Default";
  EXPECT_EQ(form->BackupEngine.MaxSize, 0);
  EXPECT_TRUE(shown.empty());

  // Restore into a folder that does not exist yet: the window creates it,
  // and the stored tree comes back under it.
  form->Values.RestoreFolder = QString::fromStdString(Path("restored")) + "/";
  form->ButtonRestore->click();
  for (const auto& [name, bytes] : files) {
    const std::string restored = Path("restored") + Path("src/" + name);
    ASSERT_TRUE(fs::exists(restored)) << restored;
    EXPECT_EQ(ReadFile(restored), bytes) << name;
  }
  const app::TRunOutcome& restore = form->LastOutcome();
  EXPECT_EQ(restore.Kind, app::TRunKind::Restore);
  EXPECT_EQ(restore.End, app::TRunEnd::Completed);
  EXPECT_EQ(restore.Restored, 4);
  EXPECT_EQ(restore.Kept, 0);
  EXPECT_EQ(restore.Refused, 0);
  EXPECT_EQ(restore.DamagedFiles(), 0);
  EXPECT_EQ(restore.Bytes, total);
  EXPECT_TRUE(form->StatusLine().contains(app::FormatSize(total, form->TextSource())));
  EXPECT_EQ(form->CGauge1->Progress(), form->CGauge1->MaxValue());
  EXPECT_TRUE(form->BackupEngine.RestoreFullPath);
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, SubDirectoriesSwitchTheSourceSpecification) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  const QString folder = QString::fromStdString(Path("src")) + "/";
  form->ButtonBackup->click();
  EXPECT_EQ(form->SourceSpec, folder + "*.* /s");
  ASSERT_EQ(form->SourceList.size(), 1u);
  EXPECT_EQ(form->SourceList[0], (folder + "*.* /s").toStdString());
  EXPECT_EQ(form->BackupEngine.FileCount(), 4);

  form->CheckBoxSubDirs->setChecked(false);
  EXPECT_FALSE(form->Values.SubDirs);
  form->ButtonBackup->click();
  EXPECT_EQ(form->SourceSpec, folder + "*.*");
  ASSERT_EQ(form->SourceList.size(), 1u);
  EXPECT_EQ(form->BackupEngine.FileCount(), 2) << "only a.txt and b.bin";
}

TEST_F(CommandsTest, SizeLimitAndLevelReachTheEngine) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  SetLimit(*form, "10", 1);
  form->ComboBoxCompressionLevel->setCurrentIndex(3);
  form->ComboBoxCompressionLevelChange();
  form->ButtonBackup->click();
  EXPECT_EQ(form->BackupEngine.MaxSize, 10485760);
  EXPECT_EQ(form->BackupEngine.CompressionLevel, clNone);

  form->CheckBoxSize->setChecked(false);
  EXPECT_FALSE(form->EditSize->isEnabled());
  form->EditSize->setText("3");
  form->ComboBoxSize->setCurrentIndex(2);  // 3 Gb would be refused if it counted
  form->ButtonBackup->click();
  EXPECT_EQ(form->BackupEngine.MaxSize, 0);
  EXPECT_TRUE(shown.empty());

  SetLimit(*form, "17", 0);
  form->ButtonBackup->click();
  EXPECT_EQ(form->BackupEngine.MaxSize, 17408);
  EXPECT_TRUE(fs::exists(Path("out.002"))) << "a small limit splits the archive";
  SetLimit(*form, "0", 1);
  form->ButtonBackup->click();
  EXPECT_EQ(form->BackupEngine.MaxSize, 0) << "0 is one volume of any size";
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, UnworkableSizeLimitsAreRefusedWithTheAllowedRange) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  const struct {
    const char* Size;
    int Unit;
    const char* Expected;
  } cases[] = {
      {"3", 2, "The volume size 3 Gb cannot be used. Enter a size from 1 to 1 Gb"},
      {"2048", 1, "The volume size 2048 Mb cannot be used. Enter a size from 1 to 2047 Mb"},
      {"16", 0, "The volume size 16 Kb cannot be used. Enter a size from 17 to 2097151 Kb"},
      {"-1", 1, "The volume size -1 Mb cannot be used. Enter a size from 1 to 2047 Mb"},
  };
  for (const auto& c : cases) {
    shown.clear();
    SetLimit(*form, c.Size, c.Unit);
    form->ButtonBackup->click();
    ASSERT_EQ(shown.size(), 1u) << c.Size;
    EXPECT_EQ(shown[0].Kind, "error");
    EXPECT_TRUE(shown[0].Text.startsWith(c.Expected)) << shown[0].Text.toStdString();
    EXPECT_TRUE(shown[0].Text.endsWith("or 0 for a single volume of any size."));
    EXPECT_FALSE(fs::exists(Path("out.bkp"))) << "nothing was started for " << c.Size;
  }
}

TEST_F(CommandsTest, SizeEditAcceptsOnlyIntegers) {
  auto form = MakeForm();
  form->CheckBoxSize->setChecked(true);
  form->EditSize->setText("25");
  EXPECT_EQ(form->Values.SizeValue, 25);
  form->EditSize->setText("");
  EXPECT_EQ(form->Values.SizeValue, 25) << "an empty edit keeps the last size";
  EXPECT_TRUE(shown.empty());
  form->EditSize->setText("1x");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "error");
  EXPECT_EQ(shown[0].Text, "'1x' is not a valid integer value");
  EXPECT_EQ(form->Values.SizeValue, 25);
}

TEST_F(CommandsTest, AnEngineErrorShowsItsMessageOnceAndTheStatusSaysTheBackupFailed) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(form->CGauge1->Progress(), 100);
  // No archive can be written into a folder that does not exist.
  form->Values.BackupFileName = QString::fromStdString(Path("missing/out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "message") << "a plain box";
  EXPECT_EQ(shown[0].Caption, "Kelmora 1.0");
  const QString text =
      "Cannot write to archive: " + QString::fromStdString(Path("missing/out.bkp")) + ": " +
      QString::fromStdString(platform::ErrorText(ENOENT));
  EXPECT_EQ(shown[0].Text, text);
  EXPECT_TRUE(form->StatusLine().startsWith(" Failed: " + text + " - "))
      << form->StatusLine().toStdString();
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Failed);
  EXPECT_EQ(form->LastOutcome().FilesDone, 0);
  EXPECT_FALSE(form->LastOutcome().HadArchive);
  EXPECT_TRUE(form->StatusLine().contains(form->Text("Outcome->NoArchive")))
      << "no archive was written, and none was there before";
  EXPECT_EQ(form->CGauge1->Progress(), 0) << "the gauge does not claim a finished run";
  EXPECT_TRUE(form->ButtonBackup->isEnabled());
  EXPECT_TRUE(form->ButtonRestore->isEnabled());
}

// The box and the status line say what failed, which file or archive it
// concerns and the system's reason, in the interface language where the
// words are the window's own.
TEST_F(CommandsTest, AFailureNamesItsFileAndTheSystemsReason) {
  MakeTree(Path("src"));
  WriteFile(Path("blocker"), "a file where a folder should be");
  auto form = FormFor(Path("src"), Path("blocker/out.bkp"));
  form->ButtonBackup->click();
  const QString notAFolder = QString::fromStdString(platform::ErrorText(ENOTDIR));
  const QString archiveText =
      "Cannot write to archive: " + QString::fromStdString(Path("blocker/out.bkp")) + ": " +
      notAFolder;
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "message");
  EXPECT_EQ(shown[0].Text, archiveText);
  EXPECT_TRUE(form->StatusLine().startsWith(" Failed: " + archiveText + " - "))
      << form->StatusLine().toStdString();

  // A restore whose folder is blocked by a file refuses every entry and
  // names the last one, with the folder that could not be made.
  InstallLanguages();
  form->MLangRussianClick();
  form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(shown.size(), 1u);
  form->Values.RestoreFolder = QString::fromStdString(Path("blocker")) + "/";
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 2u);
  const QString restoreText = QStringLiteral("Не удаётся прочитать файл: ") +
                              QString::fromStdString(form->BackupEngine.Failure().Subject) +
                              ": Cannot create folder " + form->Values.RestoreFolder + ": " +
                              QString::fromStdString(platform::ErrorText(EEXIST));
  EXPECT_EQ(shown[1].Text, restoreText);
  EXPECT_TRUE(shown[1].Text.contains(QString::fromStdString(Path("src/"))))
      << "the stored file is named";
  // Every file was refused, none restored, and the line says so in Russian.
  EXPECT_EQ(form->LastOutcome().Restored, 0);
  EXPECT_EQ(form->LastOutcome().Refused, 4);
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("отклонено: 4")))
      << form->StatusLine().toStdString();

  // Left to the engine's own error hook, the box reads the same.
  form->BackupEngine.OnError = nullptr;
  form->Values.BackupFileName = QString::fromStdString(Path("blocker/out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].Kind, "error");
  EXPECT_EQ(shown[2].Text, QStringLiteral("Не удаётся записать архив: ") +
                               QString::fromStdString(Path("blocker/out.bkp")) + ": " + notAFolder);
}

// A file that keeps changing while it is read is stored as read: the
// backup completed, and the code it carries only warns.
TEST_F(CommandsTest, ABackupThatOnlyWarnsStillShowsItsSummary) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  const std::string growing = Path("src/sub/c.txt");
  form->BackupEngine.OnProgress = [&](TBackupFile& Sender, const std::string& Name,
                                      TPercentage Percent, bool& GoOn) {
    if (Name == growing) std::ofstream(growing, std::ios::app) << "more";
    form->EngineProgress(Sender, Name, Percent, GoOn);
  };
  form->ButtonBackup->click();
  ASSERT_EQ(form->BackupEngine.ErrorCode(), beFileChanged);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text, QString::fromStdString("File changed while it was read: " + growing));
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed) << "a warning does not fail it";
  EXPECT_EQ(form->LastOutcome().FilesDone, 4);
  EXPECT_TRUE(form->StatusLine().startsWith(" Files backed up: 4 "))
      << form->StatusLine().toStdString();
  EXPECT_EQ(form->CGauge1->Progress(), 100);
}

TEST_F(CommandsTest, RestoringAMissingArchiveSaysSoAndShowsNoSummary) {
  MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  ASSERT_EQ(form->CGauge1->Progress(), 100);

  form->Values.BackupFileName = QString::fromStdString(Path("nothing.bkp"));
  form->Values.RestoreFolder = QString::fromStdString(Path("restored")) + "/";
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "error");
  EXPECT_EQ(shown[0].Text,
            QStringLiteral("The archive %1 was not found.").arg(form->Values.BackupFileName));
  EXPECT_EQ(form->StatusLine(), " Failed: archive not found");
  EXPECT_EQ(form->CGauge1->Progress(), 0);
  EXPECT_FALSE(fs::exists(Path("restored"))) << "nothing is made for an archive that is not there";

  // A folder of the archive's name is no archive either, but it is there.
  fs::create_directory(Path("folder.bkp"));
  form->Values.BackupFileName = QString::fromStdString(Path("folder.bkp"));
  form->ButtonRestore->click();
  EXPECT_EQ(shown.size(), 2u);
  EXPECT_NE(form->StatusLine(), " Failed: archive not found");
}

// Every kind of thing that stands at the archive's name is told in words
// of its own, in the interface language, by the engine's kind of obstacle:
// never one "not found" for all of them.
TEST_F(CommandsTest, EachKindOfNonArchiveHasItsOwnMessageInBothLanguages) {
  fs::create_directory(Path("folder.bkp"));
  ASSERT_EQ(::mkfifo(Path("pipe.bkp").c_str(), 0600), 0);
  WriteFile(Path("empty.bkp"), "");
  WriteFile(Path("photo.bkp"), std::string(4096, '\x7f'));
  const std::vector<std::pair<std::string, TArchiveObstacle>> kinds = {{"none.bkp", aoMissing},
                                                                       {"folder.bkp", aoFolder},
                                                                       {"pipe.bkp", aoNotRegular},
                                                                       {"empty.bkp", aoEmpty},
                                                                       {"photo.bkp", aoForeign}};
  auto form = MakeForm();
  form->Values.RestoreFolder = QString::fromStdString(Path("restored")) + "/";
  const auto messagesIn = [&](const char* Language, std::map<QString, std::string>& byText) {
    for (const auto& [name, kind] : kinds) {
      ASSERT_EQ(CheckArchive(Path(name)).Obstacle, kind) << name;
      shown.clear();
      form->Values.BackupFileName = QString::fromStdString(Path(name));
      form->ButtonRestore->click();
      ASSERT_EQ(shown.size(), 1u) << name;
      EXPECT_EQ(shown[0].Kind, "error");
      EXPECT_TRUE(shown[0].Text.contains(form->Values.BackupFileName)) << Language << " " << name;
      EXPECT_TRUE(
          form->StatusLine().startsWith(" " + form->Text("Status->Error").section('%', 0, 0)))
          << form->StatusLine().toStdString();
      EXPECT_TRUE(byText.emplace(shown[0].Text, name).second)
          << Language << ": " << name << " reads as " << byText[shown[0].Text];
      // The archive window and the test say the same.
      shown.clear();
      EXPECT_EQ(form->OpenArchive(form->Values.BackupFileName), nullptr);
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_TRUE(byText.count(shown[0].Text) == 1) << Language << " " << name;
    }
    EXPECT_FALSE(fs::exists(Path("restored"))) << "nothing is made for no archive";
  };
  std::map<QString, std::string> english, russian;
  messagesIn("English", english);
  ASSERT_EQ(english.size(), kinds.size());
  InstallLanguages();
  form->MLangRussianClick();
  messagesIn("Russian", russian);
  ASSERT_EQ(russian.size(), kinds.size());
  for (const auto& [text, name] : russian) {
    EXPECT_EQ(english.count(text), 0u) << name << " is not translated";
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{04FF}]")))) << name;
  }
}

// A cut archive costs the file it cuts: the files before it are restored,
// the cut one is named in one box with where the archive ends, and the
// status line counts both without calling the restore failed.
TEST_F(CommandsTest, ACutArchiveRestoresWhatItHoldsAndNamesTheCutFile) {
  const auto files = MakeTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  fs::resize_file(Path("out.bkp"), fs::file_size(Path("out.bkp")) / 2);
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "problems") << "no \"Compression error\" box";
  // The cut file, and maybe the missing end of the archive, which is in no file.
  std::vector<app::TProblem> named;
  for (const app::TProblem& p : problems)
    if (p.File != form->Text("Problems->NoFile")) named.push_back(p);
  ASSERT_EQ(named.size(), 1u);
  const std::string cut = named[0].File.toStdString();
  EXPECT_EQ(named[0].Volume, 1);
  EXPECT_GT(named[0].Offset, 0);
  EXPECT_LE(named[0].Offset, static_cast<int64_t>(fs::file_size(Path("out.bkp"))));
  const app::TRunOutcome& o = form->LastOutcome();
  EXPECT_EQ(o.End, app::TRunEnd::Completed);
  EXPECT_EQ(o.DamagedFiles(), 1);
  EXPECT_TRUE(o.Incomplete);
  int restored = 0;
  for (const auto& [name, bytes] : files) {
    const std::string back = Path("back") + Path("src/" + name);
    if (Path("src/" + name) == cut) {
      EXPECT_FALSE(fs::exists(back)) << "a damaged file never takes its name";
    } else if (fs::exists(back)) {
      EXPECT_EQ(ReadFile(back), bytes) << name;
      ++restored;
    }
  }
  EXPECT_GE(restored, 1);
  EXPECT_EQ(o.Restored, restored);
  EXPECT_FALSE(form->StatusLine().contains("Failed")) << form->StatusLine().toStdString();
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("damaged: 1")));
  EXPECT_FALSE(form->BackupEngine.Busy());
  EXPECT_TRUE(form->ButtonBackup->isEnabled());
  shown.clear();
  form->ButtonBackup->click();  // the next command runs as usual
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(form->LastOutcome().Kind, app::TRunKind::Backup);
  EXPECT_EQ(form->LastOutcome().FilesDone, 4);
}

// The gauge counts files, but moves within a file by its bytes: with two
// large files it is at about half when the second begins, climbs while it
// is read, and shows 100 % only once the run is over. The title shows the
// percentage meanwhile.
TEST_F(CommandsTest, TheGaugeMovesWithinAFileAndIsFullOnlyAtTheEnd) {
  WriteFile(Path("src/one.bin"), RandomBytes(2 << 20, 1));
  WriteFile(Path("src/two.bin"), RandomBytes(2 << 20, 2));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  struct Seen {
    std::string File;
    int Gauge;
    QString Title;
  };
  std::vector<Seen> seen;
  form->BackupEngine.OnProgress = [&](TBackupFile& Sender, const std::string& Name,
                                      TPercentage Percent, bool& GoOn) {
    form->EngineProgress(Sender, Name, Percent, GoOn);
    seen.push_back({Name, form->CGauge1->Progress(), form->windowTitle()});
  };
  const auto check = [&](const char* Run) {
    ASSERT_GT(seen.size(), 100u) << Run;
    EXPECT_TRUE(seen.back().File.empty()) << Run << ": the closing event";
    EXPECT_EQ(seen.back().Gauge, 100) << Run;
    std::set<int> withinLast;
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
      EXPECT_LT(seen[i].Gauge, 100) << Run << ": event " << i << " of " << seen[i].File;
      if (i > 0) {
        EXPECT_GE(seen[i].Gauge, seen[i - 1].Gauge) << Run << ": it never goes back";
      }
      if (seen[i].File.find("two.bin") != std::string::npos) withinLast.insert(seen[i].Gauge);
    }
    ASSERT_FALSE(withinLast.empty()) << Run;
    EXPECT_GE(*withinLast.begin(), 45) << Run;
    EXPECT_LE(*withinLast.begin(), 55) << Run;
    EXPECT_GE(*withinLast.rbegin(), 95) << Run;
    EXPECT_GT(withinLast.size(), 20u) << Run << ": the gauge climbs through the last file";
    EXPECT_TRUE(seen[seen.size() / 2].Title.endsWith(" - Kelmora 1.0")) << Run;
    EXPECT_TRUE(seen[seen.size() / 2].Title.contains('%')) << Run;
    EXPECT_EQ(form->windowTitle(), "Kelmora 1.0") << Run;
  };
  form->ButtonBackup->click();
  check("backup");
  seen.clear();
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  check("restore");
  EXPECT_EQ(ReadFile(Path("back") + Path("src/two.bin")), RandomBytes(2 << 20, 2));
}

// Settings > Recovery Record is kept in the settings file and reaches the
// backup, which writes its companion beside the archive; a restore without
// that companion says what it did not give back.
TEST_F(CommandsTest, TheRecoveryRecordIsKeptAndTheCompanionWritten) {
  MakeTree(Path("src"));
  {
    auto form = FormFor(Path("src"), Path("out.bkp"));
    EXPECT_TRUE(form->MRecoveryChoices.front()->isChecked());
    form->MRecoveryChoices[2]->trigger();  // 5 %
    form->ButtonBackup->click();
    EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
    EXPECT_EQ(form->BackupEngine.RecoveryPercent, 5);
    form->MExitClick();
  }
  EXPECT_TRUE(fs::exists(Path("out.bkp.kx")));
  EXPECT_NE(ReadFile(SettingsPath().toStdString()).find("[Companion]\nRecovery Record=5"),
            std::string::npos);
  auto again = FormFor(Path("src"), Path("out.bkp"));
  EXPECT_EQ(again->Values.RecoveryPercent, 5);
  EXPECT_TRUE(again->MRecoveryChoices[2]->isChecked());
  // The record rebuilds what a backup of the window wrote.
  const std::string sound = ReadFile(Path("out.bkp"));
  std::string damaged = sound;
  damaged[damaged.size() / 2] ^= 0x11;
  WriteFile(Path("out.bkp"), damaged);
  TBackupFile engine;
  EXPECT_TRUE(engine.Repair(Path("out.bkp")));
  EXPECT_TRUE(ReadFile(Path("out.bkp")) == sound);

  fs::remove(Path("out.bkp.kx"));
  again->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  again->ButtonRestore->click();
  EXPECT_EQ(again->LastOutcome().Restored, 4);
  EXPECT_EQ(again->LastOutcome().Companion, csMissing);
  EXPECT_TRUE(again->StatusLine().contains(again->Text("Outcome->NoCompanion")));
}

TEST_F(CommandsTest, StopWhileIdleAsksNothing) {
  auto form = MakeForm();
  form->ButtonStop->click();
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, StopThenNoLetsTheBackupGoOn) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  yesNoAnswers = {false};
  QTimer::singleShot(0, form.get(), [&] { form->ButtonStop->click(); });
  form->ButtonBackup->click();
  const auto asked = ShownOf("yesno");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].Caption, "Confirm");
  EXPECT_EQ(asked[0].Text, "Do you want to abort the operation");
  EXPECT_EQ(form->BackupEngine.FilesDone(), 30);
}

// A stopped backup writes nothing under the archive's name: the status line
// says so, and says the older archive is kept when there was one, which is
// then byte for byte what it was.
TEST_F(CommandsTest, AStoppedBackupSaysNoArchiveWasWrittenAndTheOlderOneIsKept) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  const auto stopSoon = [&] {
    yesNoAnswers = {true};
    QTimer::singleShot(0, form.get(), [&] { form->ButtonStop->click(); });
  };
  stopSoon();
  form->ButtonBackup->click();
  EXPECT_EQ(ShownOf("yesno").size(), 1u);
  EXPECT_EQ(ShownOf("message").size(), 0u) << "a stop is not an error";
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Stopped);
  // Stop is honoured from the first moment, the walk over the folders included.
  EXPECT_LT(form->LastOutcome().FilesDone, 30);
  EXPECT_LE(form->LastOutcome().FileCount, 30);
  EXPECT_FALSE(fs::exists(Path("out.bkp")));
  EXPECT_TRUE(form->StatusLine().startsWith(" Stopped - ")) << form->StatusLine().toStdString();
  EXPECT_TRUE(form->StatusLine().contains(form->Text("Outcome->NoArchive")));
  EXPECT_LT(form->CGauge1->Progress(), 100) << "not the closing event's 100";

  form->ButtonBackup->click();
  ASSERT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  const std::string older = ReadFile(Path("out.bkp"));
  WriteFile(Path("src/new.bin"), RandomBytes(40000, 77));
  stopSoon();
  form->ButtonBackup->click();
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Stopped);
  EXPECT_TRUE(form->LastOutcome().HadArchive);
  EXPECT_TRUE(form->StatusLine().contains(form->Text("Outcome->OlderArchiveKept")))
      << form->StatusLine().toStdString();
  EXPECT_EQ(ReadFile(Path("out.bkp")), older);
}

TEST_F(CommandsTest, AStoppedRestoreSaysSoAfterACompleteOne) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  EXPECT_EQ(form->LastOutcome().Restored, 30);
  EXPECT_EQ(form->LastOutcome().Bytes, 1200000);
  EXPECT_EQ(form->CGauge1->Progress(), 100);

  yesNoAnswers = {true};
  QTimer::singleShot(0, form.get(), [&] { form->ButtonStop->click(); });
  form->ButtonRestore->click();
  ASSERT_EQ(ShownOf("yesno").size(), 1u);
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Stopped);
  EXPECT_LT(form->LastOutcome().Restored, 30);
  EXPECT_EQ(form->LastOutcome().Refused, 0) << "the file being read when it stopped is no refusal";
  EXPECT_TRUE(form->StatusLine().startsWith(" Stopped - ")) << form->StatusLine().toStdString();
  EXPECT_LT(form->CGauge1->Progress(), 100);
  EXPECT_TRUE(shown.size() == 1u) << "a stop is not an error";
}

// No Overwrite over a folder that holds every file writes none of them, and
// says so: nothing restored, every file kept.
TEST_F(CommandsTest, ANoOverwriteRestoreOfPresentFilesCountsThemKept) {
  for (int i = 0; i < 60; ++i)
    WriteFile(Path("src/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".txt"),
              TextBytes(2000 + i * 100, 300 + i));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  ASSERT_EQ(form->LastOutcome().Restored, 60);
  const std::string changed = Path("back") + Path("src/d1/f5.txt");
  WriteFile(changed, "edited since");

  form->ComboBoxRestoreMode->setCurrentIndex(1);
  form->ComboBoxRestoreModeChange();
  form->ButtonRestore->click();
  const app::TRunOutcome& o = form->LastOutcome();
  EXPECT_EQ(o.End, app::TRunEnd::Completed);
  EXPECT_EQ(o.Restored, 0);
  EXPECT_EQ(o.Kept, 60);
  EXPECT_EQ(o.Refused, 0);
  EXPECT_TRUE(form->StatusLine().contains("Restored: 0 ")) << form->StatusLine().toStdString();
  EXPECT_TRUE(form->StatusLine().contains("kept: 60"));
  EXPECT_EQ(ReadFile(changed), "edited since");
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, NoSecondOperationWhileOneRuns) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  bool busy = false;
  std::vector<bool> enabledDuring;
  QTimer::singleShot(0, form.get(), [&] {
    busy = form->BackupEngine.Busy();
    for (QPushButton* b : {form->ButtonBackup, form->ButtonRestore, form->ButtonBackupFile,
                           form->ButtonBackupFolder, form->ButtonRestoreFolder, form->ButtonStop})
      enabledDuring.push_back(b->isEnabled());
    form->ComboBoxCompressionLevel->setCurrentIndex(2);
    form->ComboBoxCompressionLevelChange();
    form->ButtonBackup->click();
    form->ButtonRestore->click();
    form->ButtonBackupFile->click();
  });
  form->ButtonBackup->click();
  ASSERT_TRUE(busy);
  EXPECT_EQ(enabledDuring, (std::vector<bool>{false, false, false, false, false, true}))
      << "only Stop works on a running operation";
  EXPECT_TRUE(shown.empty()) << "the clicks open no box that would pause the run";
  EXPECT_TRUE(saveDialogCalls.empty());
  for (QPushButton* b : {form->ButtonBackup, form->ButtonRestore, form->ButtonBackupFile,
                         form->ButtonBackupFolder, form->ButtonRestoreFolder})
    EXPECT_TRUE(b->isEnabled()) << b->objectName().toStdString();
  EXPECT_EQ(form->BackupEngine.CompressionLevel, clDefault)
      << "the level picked during the run waits for the next backup";
  EXPECT_EQ(form->BackupEngine.FilesDone(), 30);

  // The archive the refused clicks ran beside is whole.
  shown.clear();
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(ReadFile(Path("back") + Path("src/f29.bin")), RandomBytes(40000, 129));
}

// Another run holding the archive (a command, another window): every run
// the window would start on it is refused with one box that says so,
// nothing is written, and the window runs as usual once the archive is
// free again.
TEST_F(CommandsTest, RunsOnAnArchiveAnotherRunHoldsAreRefusedWithOneClearBoxEach) {
  MakeTree(Path("src"));
  const std::string archive = Path("out.bkp");
  auto form = FormFor(Path("src"), archive);
  form->ButtonBackup->click();
  ASSERT_TRUE(shown.empty());
  const std::string before = ReadFile(archive);
  WriteFile(Path("src/new.txt"), TextBytes(3000, 9));
  const QString inUse = form->Text("Message->ArchiveInUse").arg(QString::fromStdString(archive));
  {
    platform::RunLock other;
    ASSERT_EQ(other.Take(archive, platform::RunLock::Mode::Exclusive, 0), 0);
    form->ButtonBackup->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Kind, "error");
    EXPECT_EQ(shown[0].Text, inUse);
    EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Failed);
    EXPECT_EQ(form->LastOutcome().Failure.Reason, kArchiveInUse);
    EXPECT_TRUE(form->StatusLine().contains(QString::fromStdString(archive)))
        << form->StatusLine().toStdString();

    form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
    form->ButtonRestore->click();
    form->MTestArchiveClick();
    EXPECT_EQ(form->OpenArchive(QString::fromStdString(archive)), nullptr);
    ASSERT_EQ(shown.size(), 4u);
    for (const Shown& box : shown) {
      EXPECT_EQ(box.Kind, "error");
      EXPECT_EQ(box.Text, inUse);
    }
    EXPECT_EQ(ReadFile(archive), before);
    EXPECT_TRUE(fs::is_empty(Path("back"))) << "the restore wrote nothing";
  }
  shown.clear();
  form->ButtonBackup->click();
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_EQ(form->LastOutcome().FilesDone, 5) << "the new file is in the archive now";
}

TEST_F(CommandsTest, ClosingDuringAnOperationWritesSettingsAndEndsAfterIt) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->show();
  bool written = false, visible = false;
  QTimer::singleShot(0, form.get(), [&] {
    form->close();
    written = QFile::exists(SettingsPath());
    visible = form->isVisible();
  });
  form->ButtonBackup->click();
  EXPECT_TRUE(written) << "the settings are written at once";
  EXPECT_TRUE(visible) << "the window stays while the operation runs";
  EXPECT_EQ(form->BackupEngine.FilesDone(), 30) << "the operation runs to its end";
  QCoreApplication::processEvents();
  EXPECT_FALSE(form->isVisible()) << "and the window closes after it";
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, ClosingDuringARestoreThatFailsShowsTheFailureBeforeTheWindowCloses) {
  MakeLongTree(Path("src"));
  auto form = FormFor(Path("src"), Path("out.bkp"));
  form->ButtonBackup->click();
  // Without its end marker the archive is damaged: the restore lists the
  // damage in a box once the run is over, still inside the command.
  fs::resize_file(Path("out.bkp"), fs::file_size(Path("out.bkp")) - 4);
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->show();
  shown.clear();
  bool visibleWhileShown = false;
  form->Dialogs.ShowProblems = [&](const QString& Caption, const QString& Text,
                                   const std::vector<app::TProblem>&) {
    shown.push_back({"problems", Caption, Text});
    // A box runs its own event loop until the user answers it.
    QCoreApplication::processEvents();
    visibleWhileShown = form->isVisible();
  };
  QTimer::singleShot(0, form.get(), [&] { form->close(); });
  form->ButtonRestore->click();
  ASSERT_EQ(ShownOf("problems").size(), 1u);
  EXPECT_TRUE(ShownOf("error").empty());
  EXPECT_TRUE(ShownOf("message").empty());
  EXPECT_TRUE(visibleWhileShown) << "the failure is not swept away by the close";
  QCoreApplication::processEvents();
  EXPECT_FALSE(form->isVisible()) << "the window still closes after it";
}

TEST_F(CommandsTest, AMissingVolumeIsAskedForByNameAndCanBePickedElsewhere) {
  WriteFile(Path("src/big.bin"), RandomBytes(100000, 9));
  auto form = FormFor(Path("src"), Path("split.bkp"));
  SetLimit(*form, "17", 0);
  form->ButtonBackup->click();
  int volumes = 1;
  while (fs::exists(Path("split.00" + std::to_string(volumes + 1)))) ++volumes;
  ASSERT_GE(volumes, 3);
  EXPECT_EQ(form->LastOutcome().Volumes, volumes) << "the summary counts the volumes written";
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("volumes: %1").arg(volumes)))
      << form->StatusLine().toStdString();
  int64_t onDisk = 0;
  for (int v = 1; v <= volumes; ++v)
    onDisk += static_cast<int64_t>(
        fs::file_size(Path(v == 1 ? "split.bkp" : "split.00" + std::to_string(v))));
  EXPECT_EQ(form->LastOutcome().ArchiveBytes, onDisk);
  fs::rename(Path("split.002"), Path("aside.002"));
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";

  // OK while the file is still missing asks again; Cancel stops.
  volumeAnswers = {{true, {}}, {false, {}}};
  form->ButtonRestore->click();
  auto asked = ShownOf("volume");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_TRUE(asked[0].Text.contains(QString::fromStdString(Path("split.002"))))
      << asked[0].Text.toStdString();
  EXPECT_TRUE(ShownOf("message").empty()) << "a cancel is not an error";
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Cancelled);
  EXPECT_EQ(form->LastOutcome().MissingVolume, 2);
  EXPECT_EQ(form->LastOutcome().Restored, 0);
  EXPECT_TRUE(form->StatusLine().startsWith(" Cancelled: ")) << form->StatusLine().toStdString();
  EXPECT_LT(form->CGauge1->Progress(), 100) << "most of the file was never read";
  EXPECT_FALSE(fs::exists(Path("back") + Path("src/big.bin")));

  // Every later volume in another folder: the second is picked there with
  // Browse..., and the others are then found beside it.
  shown.clear();
  fs::create_directory(Path("elsewhere"));
  fs::rename(Path("aside.002"), Path("elsewhere/split.002"));
  for (int v = 3; v <= volumes; ++v) {
    const std::string name = "split.00" + std::to_string(v);
    fs::rename(Path(name), Path("elsewhere/" + name));
  }
  volumeAnswers = {{true, QString::fromStdString(Path("elsewhere/split.002"))}};
  form->ButtonRestore->click();
  EXPECT_EQ(ShownOf("volume").size(), 1u);
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_EQ(form->LastOutcome().Restored, 1);
  EXPECT_EQ(ReadFile(Path("back") + Path("src/big.bin")), RandomBytes(100000, 9));

  // With every volume beside the first nothing is asked.
  shown.clear();
  for (int v = 2; v <= volumes; ++v) {
    const std::string name = "split.00" + std::to_string(v);
    fs::rename(Path("elsewhere/" + name), Path(name));
  }
  fs::remove_all(Path("back"));
  form->ButtonRestore->click();
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(ReadFile(Path("back") + Path("src/big.bin")), RandomBytes(100000, 9));
}

TEST_F(CommandsTest, ArchivePickerAppendsTheExtension) {
  auto form = MakeForm();
  form->Values.BackupFileName = "/data/old/MyBackup.bkp";
  saveAnswer = "";
  form->ButtonBackupFile->click();
  ASSERT_EQ(saveDialogCalls.size(), 1u);
  EXPECT_EQ(saveDialogCalls[0].Folder, "/data/old/");
  EXPECT_EQ(saveDialogCalls[0].Name, "MyBackup");
  EXPECT_EQ(saveDialogCalls[0].Filter, "Backup File (*.bkp)|*.bkp");
  EXPECT_EQ(form->Values.BackupFileName, "/data/old/MyBackup.bkp") << "cancel changes nothing";

  saveAnswer = "/data/new/x";
  form->ButtonBackupFile->click();
  EXPECT_EQ(form->Values.BackupFileName, "/data/new/x.bkp");
  EXPECT_EQ(form->EditBackupFile->text(), "/data/new/x.bkp");
  // Picking an existing archive hands back its name with the extension.
  saveAnswer = "/data/new/small.bkp";
  form->ButtonBackupFile->click();
  EXPECT_EQ(form->Values.BackupFileName, "/data/new/small.bkp");
  saveAnswer = "/data/new/OLD.BKP";
  form->ButtonBackupFile->click();
  EXPECT_EQ(form->Values.BackupFileName, "/data/new/OLD.BKP");
  saveAnswer = "/data/new/x.bkp.tar";
  form->ButtonBackupFile->click();
  EXPECT_EQ(form->Values.BackupFileName, "/data/new/x.bkp.tar.bkp");
}

// The real chooser, cancelled: when the edit names a folder that is gone,
// the chooser opens on the current folder, and that must not become the
// restore folder.
TEST_F(CommandsTest, CancelInTheFolderChooserChangesNothing) {
  auto form = MakeForm();
  const QString gone = QString::fromStdString(Path("gone")) + "/";
  form->Values.RestoreFolder = gone;
  form->EditRestoreFolder->setText(gone);
  form->Values.BackupFolder = gone;
  form->EditBackupFolder->setText(gone);
  int opened = 0;
  auto cancelWhenOpen = [&] {
    QTimer::singleShot(0, form.get(), [&] {
      if (QWidget* dialog = QApplication::activeModalWidget()) {
        ++opened;
        static_cast<QDialog*>(dialog)->reject();
      }
    });
  };
  cancelWhenOpen();
  form->ButtonRestoreFolder->click();
  cancelWhenOpen();
  form->ButtonBackupFolder->click();
  EXPECT_EQ(opened, 2);
  EXPECT_EQ(form->Values.RestoreFolder, gone);
  EXPECT_EQ(form->EditRestoreFolder->text(), gone);
  EXPECT_EQ(form->Values.BackupFolder, gone);
  EXPECT_EQ(form->EditBackupFolder->text(), gone);
  EXPECT_TRUE(shown.empty());
}

TEST_F(CommandsTest, FolderPickersEndFoldersWithASlash) {
  auto form = MakeForm();
  QString answer;
  form->ExecuteFolderDialog = [&] {
    EXPECT_EQ(form->FolderDialog1->Caption(), "Select Directory");
    form->FolderDialog1->SetDirectory(answer);
    return !answer.isEmpty();
  };
  form->EditRestoreFolder->setText("");
  form->Values.RestoreFolder = "";
  answer = "/srv/data";
  form->ButtonBackupFolder->click();
  EXPECT_EQ(form->Values.BackupFolder, "/srv/data/");
  EXPECT_EQ(form->EditBackupFolder->text(), "/srv/data/");
  EXPECT_EQ(form->Values.RestoreFolder, "/srv/data/") << "an empty restore folder follows";

  answer = "/";
  form->ButtonBackupFolder->click();
  EXPECT_EQ(form->Values.BackupFolder, "/");
  EXPECT_EQ(form->Values.RestoreFolder, "/srv/data/") << "a set restore folder stays";

  answer = "/tmp/r";
  form->ButtonRestoreFolder->click();
  EXPECT_EQ(form->Values.RestoreFolder, "/tmp/r/");
  EXPECT_EQ(form->Values.BackupFolder, "/");

  answer = "";
  form->ButtonRestoreFolder->click();
  EXPECT_EQ(form->Values.RestoreFolder, "/tmp/r/") << "no folder: nothing changes";
}

// A name with a line break would come back from the settings file cut
// short, standing for another folder; it is refused when picked.
TEST_F(CommandsTest, PickersRefuseNamesWithLineBreaks) {
  auto form = MakeForm();
  form->Values.BackupFolder = "/srv/data/";
  form->Values.BackupFileName = "/srv/x.bkp";
  form->ExecuteFolderDialog = [&] {
    form->FolderDialog1->SetDirectory("/tmp/a\nRestore Folder=/evil");
    return true;
  };
  form->ButtonBackupFolder->click();
  EXPECT_EQ(form->Values.BackupFolder, "/srv/data/");
  saveAnswer = "/tmp/b\rc";
  form->ButtonBackupFile->click();
  EXPECT_EQ(form->Values.BackupFileName, "/srv/x.bkp");
  EXPECT_EQ(ShownOf("error").size(), 2u);
}

TEST(FileDialogFiltersTest, ConvertsDescriptionPatternPairs) {
  EXPECT_EQ(app::FileDialogFilters("Backup File (*.bkp)|*.bkp"),
            QStringList{"Backup File (*.bkp)"});
  EXPECT_EQ(app::FileDialogFilters("Archive|*.bkp;*.002|All|*"),
            (QStringList{"Archive (*.bkp *.002)", "All (*)"}));
  EXPECT_EQ(app::FileDialogFilters(""), QStringList{"* (*)"});
}

}  // namespace
}  // namespace kelmora::test
