// SPDX-License-Identifier: GPL-3.0-or-later
//
// The settings file: defaults on a first start, the round trip through a
// close, damaged and unusual values, and where the file lives.
#include "app/settings.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/ini_file.h"
#include "app/paths.h"
#include "form_fixture.h"

namespace kelmora::test {
namespace {

using app::TForm1;

class SettingsTest : public FormTest {};

TEST_F(SettingsTest, FirstStartShowsTheDefaults) {
  auto form = MakeForm();
  EXPECT_EQ(form->Values.LanguageName, "English");
  EXPECT_EQ(form->EditBackupFile->text(), AppFolder() + "MyBackup.bkp");
  EXPECT_EQ(form->EditBackupFolder->text(), AppFolder());
  EXPECT_EQ(form->EditRestoreFolder->text(), AppFolder());
  EXPECT_FALSE(form->CheckBoxSize->isChecked());
  EXPECT_EQ(form->EditSize->text(), "10");
  EXPECT_FALSE(form->EditSize->isEnabled());
  EXPECT_FALSE(form->ComboBoxSize->isEnabled());
  EXPECT_EQ(form->ComboBoxSize->currentText(), "Mb");
  EXPECT_TRUE(form->CheckBoxSubDirs->isChecked());
  EXPECT_EQ(form->ComboBoxCompressionLevel->currentText(), "Default");
  EXPECT_EQ(form->ComboBoxRestoreMode->currentText(), "All");
  EXPECT_TRUE(form->MLangEnglish->isChecked());
  EXPECT_FALSE(form->MLangRussian->isChecked());
  EXPECT_EQ(form->ButtonBackup->text(), "&Backup");
  EXPECT_TRUE(shown.empty());
  EXPECT_FALSE(QFile::exists(SettingsPath())) << "nothing is written before the first close";
}

TEST_F(SettingsTest, EveryCloseWritesAllTenKeysAndTheyReadBack) {
  {
    auto form = MakeForm();
    form->Values.BackupFileName = "/data/Архив.bkp";
    form->Values.BackupFolder = "/home/ann/docs/";
    form->Values.RestoreFolder = "/tmp/back/";
    form->CheckBoxSize->setChecked(true);
    form->EditSize->setText("250");
    form->ComboBoxSize->setCurrentIndex(0);
    form->ComboBoxSizeChange();
    form->CheckBoxSubDirs->setChecked(false);
    form->CheckBoxHidden->setChecked(true);
    form->ComboBoxCompressionLevel->setCurrentIndex(2);
    form->ComboBoxCompressionLevelChange();
    form->ComboBoxRestoreMode->setCurrentIndex(4);
    form->ComboBoxRestoreModeChange();
    form->MLangRussianClick();
    form->MExitClick();
  }
  const std::string text = ReadFile(SettingsPath().toStdString());
  EXPECT_EQ(text,
            "[Settings]\nLanguage=Russian\nBackup File=/data/Архив.bkp\n"
            "Backup Folder=/home/ann/docs/\nRestore Folder=/tmp/back/\nLimit Size=1\n"
            "Max Size=250\nSize Type=0\nSubdirs=0\nCompression Level=2\nRestore Mode=4\n"
            "Hidden Folders=1\n");

  auto again = MakeForm();
  EXPECT_EQ(again->Values.BackupFileName, "/data/Архив.bkp");
  EXPECT_EQ(again->EditBackupFolder->text(), "/home/ann/docs/");
  EXPECT_TRUE(again->CheckBoxSize->isChecked());
  EXPECT_TRUE(again->EditSize->isEnabled());
  EXPECT_EQ(again->EditSize->text(), "250");
  EXPECT_EQ(again->ComboBoxSize->currentIndex(), 0);
  EXPECT_FALSE(again->CheckBoxSubDirs->isChecked());
  EXPECT_TRUE(again->CheckBoxHidden->isChecked());
  EXPECT_TRUE(again->Values.Hidden);
  EXPECT_EQ(again->ComboBoxCompressionLevel->currentIndex(), 2);
  EXPECT_EQ(again->ComboBoxRestoreMode->currentIndex(), 4);
  EXPECT_TRUE(again->MLangRussian->isChecked());

  // The close box writes too, also when nothing changed, and keeps what
  // else the file holds.
  WriteSettings("; kept\n[Other]\nx=1\n[Settings]\nMax Size=7\n");
  auto third = MakeForm();
  third->close();
  const std::string rewritten = ReadFile(SettingsPath().toStdString());
  EXPECT_NE(rewritten.find("[Other]\nx=1"), std::string::npos) << rewritten;
  EXPECT_NE(rewritten.find("Max Size=7\n"), std::string::npos) << rewritten;
  EXPECT_NE(rewritten.find("Restore Mode=0\n"), std::string::npos) << rewritten;
}

TEST_F(SettingsTest, BooleansReadAsIntegersAndNamesIgnoreCase) {
  WriteSettings("\xEF\xBB\xBF[settings]\nSUBDIRS=0\nlimit size=5\n");
  auto form = MakeForm();
  EXPECT_FALSE(form->CheckBoxSubDirs->isChecked());
  EXPECT_FALSE(form->Values.SubDirs);
  EXPECT_TRUE(form->Values.LimitSize);
  EXPECT_TRUE(form->CheckBoxSize->isChecked());
  EXPECT_TRUE(form->EditSize->isEnabled());
  EXPECT_TRUE(form->ComboBoxSize->isEnabled());
}

TEST_F(SettingsTest, ANumberThatIsNotOneReadsAsItsDefault) {
  WriteSettings("[Settings]\nMax Size=abc\n");
  auto form = MakeForm();
  app::TWindowValues expected = app::ReadSettings("/nonexistent/kelmora.ini", AppFolder());
  EXPECT_EQ(form->Values.SizeValue, 10);
  EXPECT_EQ(form->EditSize->text(), "10");
  EXPECT_TRUE(form->Values == expected) << "every other value is its default";
}

TEST_F(SettingsTest, AListIndexOutOfRangeLeavesNoSelectionAndKeepsTheNumber) {
  WriteSettings("[Settings]\nSize Type=7\nRestore Mode=-1\nCompression Level=4\n");
  auto form = MakeForm();
  form->FormShow();
  EXPECT_EQ(form->ComboBoxSize->currentIndex(), -1);
  EXPECT_EQ(form->ComboBoxRestoreMode->currentIndex(), -1);
  EXPECT_EQ(form->ComboBoxCompressionLevel->currentIndex(), -1);
  EXPECT_EQ(form->Values.SizeUnit, 7);
  form->close();
  const std::string text = ReadFile(SettingsPath().toStdString());
  EXPECT_NE(text.find("Size Type=7\n"), std::string::npos);
  EXPECT_NE(text.find("Restore Mode=-1\n"), std::string::npos);
}

TEST_F(SettingsTest, AFailedWriteIsReportedAndTheWindowStillCloses) {
  WriteFile(dir / "blocker", "a file where a folder should be");
  auto form =
      std::make_unique<TForm1>(QString::fromStdString(dir / "blocker/kelmora.ini"), AppFolder());
  Answer(*form);
  form->show();
  form->close();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "error");
  EXPECT_EQ(shown[0].Text,
            "Unable to write to " + QString::fromStdString(dir / "blocker/kelmora.ini"));
  EXPECT_FALSE(form->isVisible());
}

TEST(IniFileTest, ParsesSigned32BitDecimalsOnly) {
  int32_t v = 0;
  EXPECT_TRUE(app::ParseInt32(" 12 ", v));
  EXPECT_EQ(v, 12);
  EXPECT_TRUE(app::ParseInt32("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(app::ParseInt32("+2147483647", v));
  EXPECT_EQ(v, INT32_MAX);
  for (const char* bad : {"", "-", "1x", "x1", "2147483648", "-2147483649", "1 2", "99999999999"})
    EXPECT_FALSE(app::ParseInt32(bad, v)) << bad;
}

TEST(IniFileTest, EmptyValuesQuotesAndGarbage) {
  TempDir dir;
  WriteFile(dir / "a.ini", "[S]\nempty=\nquoted=\" Options \"\nplain=  x  \n");
  app::TIniFile ini;
  ini.Load(QString::fromStdString(dir / "a.ini"));
  EXPECT_EQ(ini.ReadString("s", "EMPTY", "default"), "");
  EXPECT_EQ(ini.ReadString("S", "quoted", ""), " Options ");
  EXPECT_EQ(ini.ReadString("S", "plain", ""), "x");
  EXPECT_EQ(ini.ReadString("S", "missing", "default"), "default");
  EXPECT_EQ(ini.ReadInteger("S", "empty", 42), 42);

  WriteFile(dir / "b.ini", RandomBytes(4096, 7));
  ini.Load(QString::fromStdString(dir / "b.ini"));
  EXPECT_EQ(ini.ReadString("Settings", "Language", "English"), "English");
}

TEST(PathsTest, SettingsFileFollowsTheExecutableName) {
  TempDir dir;
  const QString folder = QString::fromStdString(dir.path()) + "/";
  EXPECT_EQ(app::SettingsPathFor(folder + "kelmora"), folder + "kelmora.ini");
  EXPECT_EQ(app::SettingsPathFor(folder + "backup-tool.bin"), folder + "backup-tool.ini");

  // A folder that cannot be written (here: one that does not exist) sends
  // the file to the user's configuration folder.
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder + "config"));
  EXPECT_EQ(app::SettingsPathFor(folder + "gone/kelmora"), folder + "config/kelmora/kelmora.ini");
  // An installed program writes there even where its own folder is
  // writable (root's /usr/bin), and starts its paths in the home folder.
  QDir().mkpath(folder + "usr/bin");
  QDir().mkpath(folder + "usr/share/kelmora/language");
  EXPECT_EQ(app::SettingsPathFor(folder + "usr/bin/kelmora"),
            folder + "config/kelmora/kelmora.ini");
  EXPECT_EQ(app::DefaultDataFolder(folder + "usr/bin/"), QDir::homePath() + "/");
  QDir().mkpath(folder + "usr/bin/language");
  EXPECT_EQ(app::SettingsPathFor(folder + "usr/bin/kelmora"), folder + "usr/bin/kelmora.ini");
  qputenv("XDG_CONFIG_HOME", "relative/is/ignored");
  EXPECT_EQ(app::SettingsPathFor(folder + "gone/kelmora"),
            QDir::homePath() + "/.config/kelmora/kelmora.ini");
  if (saved.isNull())
    qunsetenv("XDG_CONFIG_HOME");
  else
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST(PathsTest, LanguageFolderBesideTheExecutableOrInstalled) {
  TempDir dir;
  const QString bin = QString::fromStdString(dir / "bin") + "/";
  QDir().mkpath(bin);
  EXPECT_EQ(app::LanguageFolderFor(bin), bin + "language/") << "missing: the folder beside";
  QDir().mkpath(QString::fromStdString(dir / "share/kelmora/language"));
  EXPECT_EQ(app::LanguageFolderFor(bin),
            QString::fromStdString(dir / "share/kelmora/language") + "/");
  QDir().mkpath(bin + "language");
  EXPECT_EQ(app::LanguageFolderFor(bin), bin + "language/");
}

}  // namespace
}  // namespace kelmora::test
