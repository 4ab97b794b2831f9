// SPDX-License-Identifier: GPL-3.0-or-later
//
// The contents window through the window's own actions, on real archives:
// what its tree shows against kelmora-cli list, chosen files restored in
// each placement, Test, damaged, cut and split archives, files that are no
// archive, and the ways an archive gets opened.
#include "app/archive_window.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "app/archive_model.h"
#include "app/units.h"
#include "cli/cli_runner.h"
#include "engine/restore_builder.h"
#include "form_fixture.h"
#include "platform/platform.h"
#include "widgets/cgauge.h"

namespace kelmora::test {
namespace {

namespace fs = std::filesystem;
using app::TArchiveModel;
using app::TArchiveWindow;
using app::TForm1;

// Every file row under Parent, depth first: its stored name and the texts
// of its columns.
struct Row {
  std::string Stored;
  QStringList Columns;
};
void CollectRows(const QAbstractItemModel& M, const QModelIndex& Parent, std::vector<Row>& Out) {
  for (int r = 0; r < M.rowCount(Parent); ++r) {
    const QModelIndex at = M.index(r, 0, Parent);
    const QString stored = M.data(at, TArchiveModel::StoredNameRole).toString();
    if (stored.isEmpty()) {
      CollectRows(M, at, Out);
      continue;
    }
    Row row{stored.toStdString(), {}};
    for (int c = 0; c < M.columnCount(at); ++c)
      row.Columns << M.data(at.siblingAtColumn(c), Qt::DisplayRole).toString();
    Out.push_back(row);
  }
}

std::vector<std::string> StoredNames(const TArchiveWindow& Window) {
  std::vector<Row> rows;
  CollectRows(*Window.Model, QModelIndex(), rows);
  std::vector<std::string> names;
  for (const Row& r : rows) names.push_back(r.Stored);
  std::sort(names.begin(), names.end());
  return names;
}

// The row of an absolute stored path, "/" first.
QModelIndex RowOf(const QAbstractItemModel& M, const std::string& Path) {
  QStringList parts = QString::fromStdString(Path).split('/', Qt::SkipEmptyParts);
  parts.prepend("/");
  QModelIndex at;
  for (const QString& part : parts) {
    QModelIndex next;
    for (int r = 0; r < M.rowCount(at) && !next.isValid(); ++r)
      if (M.index(r, 0, at).data().toString() == part) next = M.index(r, 0, at);
    if (!next.isValid()) return {};
    at = next;
  }
  return at;
}

class ArchiveWindowTest : public FormTest {
 protected:
  // Relative path -> bytes; every file stamped at an even second, as the
  // archive keeps it.
  std::map<std::string, std::string> files;
  const int64_t stamp = UtcSeconds(2024, 5, 6, 7, 8, 10);

  void MakeTree() {
    files = {
        {"a.txt", TextBytes(5000, 1)},
        {"b.bin", RandomBytes(40000, 2)},
        {"sub/c.txt", TextBytes(70000, 3)},
        {"sub/deeper/d.bin", RandomBytes(3000, 4)},
        {"sub/deeper/e.txt", TextBytes(20000, 5)},
        {"other/f.txt", TextBytes(100, 6)},
    };
    int i = 0;
    for (const auto& [name, bytes] : files) {
      WriteFile(Path("src/" + name), bytes);
      SetModificationTime(Path("src/" + name), stamp + 2 * i++);
    }
  }

  // The tree backed up through the main window; Limit in Kb splits it.
  std::unique_ptr<TForm1> BackUp(int LimitKb = 0) {
    auto form = MakeForm();
    form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";
    form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
    if (LimitKb > 0) {
      form->CheckBoxSize->setChecked(true);
      form->EditSize->setText(QString::number(LimitKb));
      form->ComboBoxSize->setCurrentIndex(0);
      form->ComboBoxSizeChange();
    }
    form->ButtonBackup->click();
    EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
    return form;
  }

  TArchiveWindow* Contents(TForm1& Form) {
    Form.MShowContents->trigger();
    const QList<TArchiveWindow*> windows = Form.ArchiveWindows();
    return windows.isEmpty() ? nullptr : windows.back();
  }

  // Restores what is selected in Window through its Restore... button.
  void RestoreSelected(TArchiveWindow& Window, app::TPlacement Placement,
                       const std::string& Folder) {
    app::TRestoreRequest answer;
    answer.Placement = Placement;
    answer.Folder = QString::fromStdString(Folder) + "/";
    restoreAnswer = answer;
    Window.ButtonRestore->click();
  }

  void Select(TArchiveWindow& Window, const std::vector<std::string>& Relative) {
    Window.Tree->selectionModel()->clearSelection();
    for (const std::string& name : Relative) {
      const QModelIndex row = RowOf(*Window.Model, Path("src/" + name));
      ASSERT_TRUE(row.isValid()) << name;
      Window.Tree->selectionModel()->select(
          row, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }

  void ExpectRestored(const std::string& At, const std::string& Name) {
    ASSERT_TRUE(fs::exists(At)) << At;
    EXPECT_EQ(ReadFile(At), files.at(Name)) << Name;
    EXPECT_EQ(fs::last_write_time(At), fs::last_write_time(Path("src/" + Name))) << Name;
  }
};

TEST_F(ArchiveWindowTest, TheTreeShowsWhatTheListingShows) {
  MakeTree();
  auto form = BackUp(20);
  ASSERT_TRUE(fs::exists(Path("out.002"))) << "two volumes or more";
  TArchiveWindow* window = Contents(*form);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(shown.empty());
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->windowTitle().startsWith("out.bkp")) << window->windowTitle().toStdString();

  const CliResult cli = RunCli(dir, {"list", "--json", Path("out.bkp")});
  ASSERT_EQ(cli.Status, 0) << cli.Err;
  std::map<std::string, QJsonObject> listed;
  for (const QString& line : QString::fromStdString(cli.Out).split('\n', Qt::SkipEmptyParts)) {
    const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
    listed[o["name"].toString().toStdString()] = o;
  }
  ASSERT_EQ(listed.size(), files.size());

  std::vector<Row> rows;
  CollectRows(*window->Model, QModelIndex(), rows);
  ASSERT_EQ(rows.size(), listed.size());
  const app::TTextSource text = form->TextSource();
  std::set<int> volumes;
  for (const Row& r : rows) {
    ASSERT_EQ(listed.count(r.Stored), 1u) << r.Stored;
    const QJsonObject& o = listed[r.Stored];
    EXPECT_EQ(r.Columns[TArchiveModel::ColumnName],
              QFileInfo(QString::fromStdString(r.Stored)).fileName());
    EXPECT_EQ(r.Columns[TArchiveModel::ColumnPacked],
              app::FormatSize(static_cast<int64_t>(o["packed"].toDouble()), text))
        << r.Stored;
    EXPECT_EQ(r.Columns[TArchiveModel::ColumnVolume], QString::number(o["volume"].toInt()));
    volumes.insert(o["volume"].toInt());
    if (o["size"].isNull()) {
      EXPECT_TRUE(r.Columns[TArchiveModel::ColumnSize].startsWith(QStringLiteral("≈ ")) ||
                  r.Columns[TArchiveModel::ColumnSize].startsWith(QStringLiteral("≤ ")))
          << r.Columns[TArchiveModel::ColumnSize].toStdString();
    } else {
      EXPECT_EQ(r.Columns[TArchiveModel::ColumnSize],
                app::FormatSize(static_cast<int64_t>(o["size"].toDouble()), text));
    }
    const QDateTime when = QDateTime::fromString(o["time"].toString(), Qt::ISODate);
    EXPECT_EQ(r.Columns[TArchiveModel::ColumnDate], QLocale().toString(when, QLocale::ShortFormat));
  }
  EXPECT_GE(volumes.size(), 2u) << "entries start in more than one volume";
  // Totals: every file, the folders above them, every volume read.
  EXPECT_EQ(window->Model->AllTotals().Files, 6);
  int volumeFiles = 1;
  while (fs::exists(Path("out.00" + std::to_string(volumeFiles + 1)))) ++volumeFiles;
  EXPECT_EQ(window->Volumes, volumeFiles);
  EXPECT_TRUE(window->LabelTotals->text().contains(QStringLiteral("volumes: %1").arg(volumeFiles)))
      << window->LabelTotals->text().toStdString();
  // Opened down to the first folder with a choice in it.
  EXPECT_TRUE(window->Tree->isExpanded(RowOf(*window->Model, Path("src"))));

  // Sorted by size, largest first: folders above files at every level.
  window->Tree->sortByColumn(TArchiveModel::ColumnPacked, Qt::DescendingOrder);
  const QModelIndex src = RowOf(*window->Model, Path("src"));
  ASSERT_TRUE(src.isValid());
  QStringList order;
  for (int r = 0; r < window->Model->rowCount(src); ++r)
    order << src.model()->index(r, 0, src).data().toString();
  EXPECT_EQ(order, (QStringList{"sub", "other", "b.bin", "a.txt"}));
  EXPECT_TRUE(window->Tree->isExpanded(src)) << "sorting keeps what is open";
}

TEST_F(ArchiveWindowTest, AChosenFileAndFolderGoWhereThePlacementSays) {
  MakeTree();
  auto form = BackUp();
  TArchiveWindow* window = Contents(*form);
  ASSERT_NE(window, nullptr);
  const std::vector<std::string> chosen = {"a.txt", "sub/deeper"};
  const std::vector<std::string> restored = {"a.txt", "sub/deeper/d.bin", "sub/deeper/e.txt"};

  // Under the folder, with the stored folders.
  Select(*window, chosen);
  RestoreSelected(*window, app::TPlacement::WithFolders, Path("full"));
  ASSERT_EQ(restoreAsked.size(), 1u);
  EXPECT_EQ(restoreAsked[0].Files, 3);
  EXPECT_EQ(restoreAsked[0].Mode, "All") << "the main window's restore mode";
  for (const std::string& name : restored) ExpectRestored(Path("full") + Path("src/" + name), name);
  EXPECT_FALSE(fs::exists(Path("full") + Path("src/b.bin")));
  EXPECT_FALSE(fs::exists(Path("full") + Path("src/sub/c.txt")));
  EXPECT_EQ(form->LastOutcome().Restored, 3);
  EXPECT_EQ(form->LastOutcome().FileCount, 3);

  // Without the folders they share: the source folder itself.
  Select(*window, chosen);
  RestoreSelected(*window, app::TPlacement::Relative, Path("relative"));
  for (const std::string& name : restored) ExpectRestored(Path("relative/" + name), name);
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(Path("relative")),
                          fs::recursive_directory_iterator()),
            5)
      << "three files and two folders, nothing else";

  // Back to their original places: the chosen files come back, the one
  // edited since and not chosen stays as it is.
  for (const std::string& name : restored) fs::remove(Path("src/" + name));
  WriteFile(Path("src/b.bin"), "edited, not chosen");
  Select(*window, chosen);
  RestoreSelected(*window, app::TPlacement::OriginalPlaces, Path("unused"));
  for (const std::string& name : restored) {
    ASSERT_TRUE(fs::exists(Path("src/" + name))) << name;
    EXPECT_EQ(ReadFile(Path("src/" + name)), files.at(name));
  }
  EXPECT_EQ(fs::last_write_time(Path("src/a.txt")),
            std::filesystem::file_time_type(std::chrono::file_clock::from_sys(
                std::chrono::sys_seconds(std::chrono::seconds(stamp)))));
  EXPECT_EQ(ReadFile(Path("src/b.bin")), "edited, not chosen");
  EXPECT_FALSE(fs::exists(Path("unused"))) << "no folder is made for the original places";
  EXPECT_TRUE(shown.empty());
}

// The filter takes the patterns of restore -i: what it shows is what
// kelmora-cli restores for the same pattern.
TEST_F(ArchiveWindowTest, TheFilterShowsWhatRestoreDashIWouldRestore) {
  MakeTree();
  auto form = BackUp();
  TArchiveWindow* window = Contents(*form);
  ASSERT_NE(window, nullptr);
  const std::vector<std::string> patterns = {
      "*.txt",         "sub",   "deeper/*.bin", "d?.bin", "[ab].*", Path("src/sub/c.txt"),
      "/nothing/here", "*.TXT", "other/",       "*",
  };
  int run = 0;
  for (const std::string& pattern : patterns) {
    window->EditFilter->setText(QString::fromStdString(pattern));
    window->ApplyFilter();
    const std::string out = Path("cli" + std::to_string(run++));
    const CliResult cli = RunCli(dir, {"restore", "-q", "-i", pattern, Path("out.bkp"), out});
    std::vector<std::string> restored;
    if (fs::exists(out)) {
      for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) restored.push_back(e.path().string().substr(out.size()));
    }
    std::sort(restored.begin(), restored.end());
    EXPECT_EQ(StoredNames(*window), restored) << pattern << ": " << cli.Err;
    const int32_t shownFiles = window->Model->ShownTotals().Files;
    EXPECT_EQ(shownFiles, static_cast<int32_t>(restored.size())) << pattern;
    if (shownFiles > 0 && shownFiles < 6) {
      EXPECT_TRUE(
          window->LabelTotals->text().startsWith(QStringLiteral("Shown: %1 of 6").arg(shownFiles)))
          << window->LabelTotals->text().toStdString();
    }
  }

  // Restore... takes what the filter shows when nothing is selected.
  window->EditFilter->setText("*.bin");
  window->Tree->selectionModel()->clearSelection();
  RestoreSelected(*window, app::TPlacement::Relative, Path("bins"));
  ExpectRestored(Path("bins/b.bin"), "b.bin");
  ExpectRestored(Path("bins/sub/deeper/d.bin"), "sub/deeper/d.bin");
  EXPECT_FALSE(fs::exists(Path("bins/a.txt")));

  // A filter that shows nothing restores nothing, and says so.
  window->EditFilter->setText("*.none");
  window->ApplyFilter();
  restoreAsked.clear();
  window->ButtonRestore->click();
  EXPECT_TRUE(restoreAsked.empty());
  ASSERT_EQ(ShownOf("error").size(), 1u);
}

// One flipped byte inside a file's compressed data: Test names that file
// with its volume and offset and marks it in the tree; a restore of
// everything restores the others and names it in one box.
TEST_F(ArchiveWindowTest, ADamagedFileIsNamedByTestAndTheRestAreRestored) {
  const int32_t when = Stamp(2023, 1, 2, 3, 4, 6);
  ArchiveBuilder b;
  b.Header("weekly", 0, 3).File("/data/docs/one.txt", when, TextBytes(30000, 1));
  const size_t secondAt = b.Bytes().size();
  b.File("/data/docs/two.txt", when, TextBytes(40000, 2));
  const size_t thirdAt = b.Bytes().size();
  b.File("/data/docs/three.txt", when, TextBytes(20000, 3)).End();
  std::string bytes = b.Bytes();
  const size_t flipped = (secondAt + thirdAt) / 2;
  bytes[flipped] = static_cast<char>(bytes[flipped] ^ 0x5A);
  WriteFile(Path("damaged.bkp"), bytes);

  auto form = MakeForm();
  TArchiveWindow* window = form->OpenArchive(QString::fromStdString(Path("damaged.bkp")));
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->Notice().isEmpty()) << "the listing reads the records only";
  EXPECT_TRUE(window->windowTitle().contains("weekly")) << "the archive's title";
  EXPECT_TRUE(window->LabelTotals->text().contains("weekly"));

  window->ButtonTest->click();
  ASSERT_EQ(ShownOf("problems").size(), 1u);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].File, "/data/docs/two.txt");
  EXPECT_EQ(problems[0].Volume, 1);
  EXPECT_GE(problems[0].Offset, static_cast<int64_t>(secondAt));
  EXPECT_LE(problems[0].Offset, static_cast<int64_t>(flipped));
  EXPECT_TRUE(ShownOf("message").empty()) << "no \"Compression error\" box";
  EXPECT_EQ(form->LastOutcome().Kind, app::TRunKind::Test);
  EXPECT_EQ(form->LastOutcome().DamagedFiles(), 1);
  EXPECT_EQ(form->LastOutcome().FilesDone, 3);
  EXPECT_FALSE(window->Notice().isEmpty());
  EXPECT_TRUE(window->StatusLine().contains("Archive damaged: 1 of 3"))
      << window->StatusLine().toStdString();
  std::set<std::string> marked;
  for (int32_t e = 0; e < window->Model->EntryCount(); ++e)
    if (window->Model->IsDamaged(e)) marked.insert(window->Model->StoredName(e));
  EXPECT_EQ(marked, std::set<std::string>{"/data/docs/two.txt"});

  shown.clear();
  problems.clear();
  window->Tree->selectionModel()->clearSelection();
  RestoreSelected(*window, app::TPlacement::WithFolders, Path("out"));
  ASSERT_EQ(ShownOf("problems").size(), 1u);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].File, "/data/docs/two.txt");
  EXPECT_TRUE(ShownOf("problems")[0].Text.contains(form->Text("Problems->OthersRestored")));
  EXPECT_EQ(ReadFile(Path("out/data/docs/one.txt")), TextBytes(30000, 1));
  EXPECT_EQ(ReadFile(Path("out/data/docs/three.txt")), TextBytes(20000, 3));
  EXPECT_FALSE(fs::exists(Path("out/data/docs/two.txt")));
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_EQ(form->LastOutcome().Restored, 2);
  EXPECT_FALSE(window->StatusLine().contains("Failed")) << window->StatusLine().toStdString();

  // The main window's menu tests the archive in its field the same way,
  // and says when one is sound.
  shown.clear();
  form->Values.BackupFileName = QString::fromStdString(Path("damaged.bkp"));
  form->MTestArchive->trigger();
  EXPECT_EQ(ShownOf("problems").size(), 1u);
  WriteFile(Path("sound.bkp"), ArchiveBuilder()
                                   .Header("", 0, 1)
                                   .File("/data/x.txt", when, TextBytes(1000, 4))
                                   .End()
                                   .Bytes());
  shown.clear();
  form->Values.BackupFileName = QString::fromStdString(Path("sound.bkp"));
  form->MTestArchive->trigger();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "message");
  EXPECT_TRUE(shown[0].Text.contains(form->Values.BackupFileName));
  EXPECT_TRUE(form->StatusLine().startsWith(" Archive sound: 1 "))
      << form->StatusLine().toStdString();
}

// Two stored names that land on one file: the second is refused and named,
// the restore is not called failed, and no box names the wrong file.
TEST_F(ArchiveWindowTest, AClashIsRefusedAndNamed) {
  const int32_t when = Stamp(2023, 1, 2, 3, 4, 6);
  ArchiveBuilder()
      .Header("", 0, 3)
      .File("c:\\data\\x.txt", when, "from windows")
      .File("/data/x.txt", when, "from linux")
      .File("/data/y.txt", when, "why")
      .End()
      .Save(Path("clash.bkp"));
  auto form = MakeForm();
  TArchiveWindow* window = form->OpenArchive(QString::fromStdString(Path("clash.bkp")));
  ASSERT_NE(window, nullptr);
  RestoreSelected(*window, app::TPlacement::WithFolders, Path("out"));
  EXPECT_EQ(ReadFile(Path("out/data/x.txt")), "from windows");
  EXPECT_EQ(ReadFile(Path("out/data/y.txt")), "why");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].File, "/data/x.txt");
  EXPECT_TRUE(problems[0].Reason.contains("c:\\data\\x.txt"));
  EXPECT_TRUE(ShownOf("message").empty());
  EXPECT_EQ(form->LastOutcome().Restored, 2);
  EXPECT_EQ(form->LastOutcome().Refused, 1);
  EXPECT_EQ(form->LastOutcome().End, app::TRunEnd::Completed);
  EXPECT_TRUE(window->StatusLine().contains("refused: 1")) << window->StatusLine().toStdString();
}

TEST_F(ArchiveWindowTest, AMissingFileOrOneThatIsNoArchiveIsToldAndOpensNothing) {
  auto form = MakeForm();
  EXPECT_EQ(form->OpenArchive(QString::fromStdString(Path("missing.bkp"))), nullptr);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "error");
  EXPECT_TRUE(shown[0].Text.contains(QString::fromStdString(Path("missing.bkp"))));

  WriteFile(Path("noise.bkp"), RandomBytes(5000, 8));
  WriteFile(Path("empty.bkp"), "");
  QStringList told;
  for (const char* name : {"noise.bkp", "empty.bkp"}) {
    shown.clear();
    EXPECT_EQ(form->OpenArchive(QString::fromStdString(Path(name))), nullptr) << name;
    ASSERT_EQ(shown.size(), 1u) << name;
    EXPECT_EQ(shown[0].Kind, "error");
    EXPECT_TRUE(shown[0].Text.startsWith(QString::fromStdString(Path(name))))
        << shown[0].Text.toStdString();
    told << shown[0].Text.mid(static_cast<int>(Path(name).size()));
  }
  EXPECT_NE(told[0], told[1]) << "an empty file is told apart from a foreign one";
  QCoreApplication::processEvents();
  EXPECT_TRUE(form->ArchiveWindows().isEmpty());
  EXPECT_TRUE(form->Values.RecentArchives.isEmpty()) << "only archives read are remembered";
}

// An archive cut short opens as far as it reads, with a line saying so; a
// missing volume is asked for, and picked from another folder.
TEST_F(ArchiveWindowTest, ACutOrSplitArchiveOpensAsFarAsItReads) {
  MakeTree();
  auto form = BackUp(20);
  ASSERT_TRUE(fs::exists(Path("out.003")));
  fs::create_directory(Path("moved"));
  fs::rename(Path("out.002"), Path("moved/out.002"));

  volumeAnswers = {{false, {}}};
  TArchiveWindow* window = Contents(*form);
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(ShownOf("volume").size(), 1u);
  EXPECT_TRUE(ShownOf("volume")[0].Text.contains(QString::fromStdString(Path("out.002"))));
  EXPECT_FALSE(window->Notice().isEmpty());
  EXPECT_LT(window->Model->AllTotals().Files, 6);
  window->close();
  QCoreApplication::processEvents();

  shown.clear();
  volumeAnswers = {{true, QString::fromStdString(Path("moved/out.002"))}};
  window = Contents(*form);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(ShownOf("volume").size(), 1u) << "the third volume is found beside the first";
  EXPECT_TRUE(window->Notice().isEmpty()) << window->Notice().toStdString();
  EXPECT_EQ(window->Model->AllTotals().Files, 6);
  window->close();
  QCoreApplication::processEvents();

  fs::rename(Path("moved/out.002"), Path("out.002"));
  const CliResult whole = RunCli(dir, {"list", Path("out.bkp")});
  const size_t lines = std::count(whole.Out.begin(), whole.Out.end(), '\n');
  // Cut inside the last volume: what lies before the cut is listed.
  int last = 1;
  while (fs::exists(Path("out.00" + std::to_string(last + 1)))) ++last;
  const std::string lastName = last == 1 ? "out.bkp" : "out.00" + std::to_string(last);
  fs::resize_file(Path(lastName), fs::file_size(Path(lastName)) / 2);
  shown.clear();
  window = Contents(*form);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(shown.empty());
  EXPECT_FALSE(window->Notice().isEmpty());
  EXPECT_GT(window->Model->AllTotals().Files, 0);
  EXPECT_LT(window->Model->AllTotals().Files, static_cast<int32_t>(lines));
}

TEST_F(ArchiveWindowTest, ArchivesOpenFromTheMenuTheCommandLineADropAndTheRecentList) {
  MakeTree();
  auto form = BackUp();
  fs::copy_file(Path("out.bkp"), Path("copy.bkp"));
  fs::copy_file(Path("out.bkp"), Path("third.bkp"));

  openAnswer = QString::fromStdString(Path("copy.bkp"));
  form->MOpenArchive->trigger();
  ASSERT_EQ(openDialogFolders.size(), 1u);
  EXPECT_EQ(openDialogFolders[0], QString::fromStdString(Path("")));
  ASSERT_EQ(form->ArchiveWindows().size(), 1);
  EXPECT_EQ(form->ArchiveWindows()[0]->Archive(), openAnswer);

  form->OpenFromCommandLine({"kelmora", QString::fromStdString(Path("third.bkp"))});
  ASSERT_EQ(form->ArchiveWindows().size(), 2);

  QMimeData notAnArchive;
  notAnArchive.setUrls({QUrl::fromLocalFile(QString::fromStdString(Path("src/a.txt")))});
  QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &notAnArchive, Qt::LeftButton,
                          Qt::NoModifier);
  QCoreApplication::sendEvent(form.get(), &refused);
  EXPECT_FALSE(refused.isAccepted());
  QMimeData dropped;
  dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(Path("out.bkp")))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(form.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(form.get(), &drop);
  QCoreApplication::processEvents();
  ASSERT_EQ(form->ArchiveWindows().size(), 3);
  EXPECT_TRUE(shown.empty());

  // The latest first, kept in the settings file, and opened from the menu.
  const QStringList recent = {QString::fromStdString(Path("out.bkp")),
                              QString::fromStdString(Path("third.bkp")),
                              QString::fromStdString(Path("copy.bkp"))};
  EXPECT_EQ(form->Values.RecentArchives, recent);
  for (TArchiveWindow* w : form->ArchiveWindows()) w->close();
  form->close();
  auto next = MakeForm();
  EXPECT_EQ(next->Values.RecentArchives, recent);
  const QList<QAction*> items = next->MRecent->menu()->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_TRUE(items[1]->text().endsWith(recent[1]));
  items[1]->trigger();
  ASSERT_EQ(next->ArchiveWindows().size(), 1);
  EXPECT_EQ(next->ArchiveWindows()[0]->Archive(), recent[1]);
  EXPECT_EQ(next->Values.RecentArchives.front(), recent[1]) << "opened last, now first";

  // At most eight, the oldest dropping off.
  for (int i = 0; i < 9; ++i) {
    const std::string name = Path(std::string("n") + char('0' + i) + ".bkp");
    fs::copy_file(Path("out.bkp"), name);
    next->AddRecentArchive(QString::fromStdString(name));
  }
  EXPECT_EQ(next->Values.RecentArchives.size(), 8);
  EXPECT_EQ(next->Values.RecentArchives.front(), QString::fromStdString(Path("n8.bkp")));
  EXPECT_EQ(next->MRecent->menu()->actions().size(), 8);
}

TEST_F(ArchiveWindowTest, TheContentsWindowSpeaksTheChosenLanguage) {
  InstallLanguages();
  MakeTree();
  auto form = BackUp();
  TArchiveWindow* window = Contents(*form);
  ASSERT_NE(window, nullptr);
  form->MLangRussianClick();
  EXPECT_EQ(window->Model->headerData(TArchiveModel::ColumnName, Qt::Horizontal, Qt::DisplayRole)
                .toString(),
            QStringLiteral("Имя"));
  EXPECT_EQ(window->ButtonRestore->text(), QStringLiteral("&Восстановить..."));
  EXPECT_TRUE(window->LabelTotals->text().startsWith(QStringLiteral("Файлов: 6, папок: ")))
      << window->LabelTotals->text().toStdString();
  EXPECT_TRUE(window->StatusLine().startsWith(QStringLiteral(" Прочитано файлов: 6")));
  // Sizes with the Russian units and decimal comma.
  const QModelIndex b = RowOf(*window->Model, Path("src/b.bin"));
  EXPECT_TRUE(b.siblingAtColumn(TArchiveModel::ColumnPacked)
                  .data()
                  .toString()
                  .endsWith(QStringLiteral(",1 КБ")))
      << b.siblingAtColumn(TArchiveModel::ColumnPacked).data().toString().toStdString();

  // A run started here is shown here, in Russian too.
  window->Tree->selectionModel()->clearSelection();
  RestoreSelected(*window, app::TPlacement::Relative, Path("ru"));
  EXPECT_TRUE(window->StatusLine().startsWith(QStringLiteral(" Восстановлено: 6 ")))
      << window->StatusLine().toStdString();
  EXPECT_EQ(window->Gauge->Progress(), 100);
  form->MLangEnglishClick();
  EXPECT_TRUE(window->StatusLine().startsWith(" Restored: 6 "))
      << window->StatusLine().toStdString();
  EXPECT_EQ(window->ButtonTest->text(), "&Test");
}

// A long run that ends while no window of the application is active is
// told of on the desktop; one the user watched is not.
TEST_F(ArchiveWindowTest, ALongRunEndingUnwatchedSendsANotification) {
  MakeTree();
  auto form = MakeForm();
  form->NotifyAfterSeconds = 0;
  form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";
  form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_TRUE(notifications[0].Caption.startsWith("Backup: done"));
  EXPECT_TRUE(notifications[0].Text.startsWith("out.bkp\n"));
  EXPECT_TRUE(notifications[0].Text.contains("Files backed up: 6"));

  form->NotifyAfterSeconds = 3600;
  form->ButtonBackup->click();
  EXPECT_EQ(notifications.size(), 1u) << "a short run is not announced";

  form->NotifyAfterSeconds = 0;
  form->show();
  QApplication::setActiveWindow(form.get());
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->ButtonBackup->click();
  EXPECT_EQ(notifications.size(), 1u) << "the user saw it end";
}

}  // namespace
}  // namespace kelmora::test
