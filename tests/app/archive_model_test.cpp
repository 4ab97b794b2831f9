// SPDX-License-Identifier: GPL-3.0-or-later
//
// The contents window's model on its own: the tree it makes of stored names
// of every kind, sizes it must estimate and sizes learnt later, sorting that
// keeps rows the view holds, filtering, and the files a selection stands
// for. Qt's model tester watches every change for broken model rules.
#include "app/archive_model.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QPersistentModelIndex>

#include "app/name_filter.h"
#include "form_fixture.h"

namespace kelmora::test {
namespace {

using app::TArchiveModel;

TArchiveEntry Entry(const std::string& Name, int32_t Chunks, int64_t Packed, int64_t Size,
                    uint16_t Volume = 1, int32_t Stamp = 0x58A40000) {
  TArchiveEntry e;
  e.Name = Name;
  e.Chunks = Chunks;
  e.Packed = Packed;
  e.Size = Size;
  e.Volume = Volume;
  e.Stamp = Stamp;
  return e;
}

QStringList ChildNames(const QAbstractItemModel& M, const QModelIndex& Parent) {
  QStringList names;
  for (int r = 0; r < M.rowCount(Parent); ++r) names << M.index(r, 0, Parent).data().toString();
  return names;
}

QModelIndex Child(const QAbstractItemModel& M, const QModelIndex& Parent, const QString& Name) {
  for (int r = 0; r < M.rowCount(Parent); ++r)
    if (M.index(r, 0, Parent).data().toString() == Name) return M.index(r, 0, Parent);
  return {};
}

class ArchiveModelTest : public ::testing::Test {
 protected:
  const app::TTextSource text = [](const QString& Key) {
    if (Key == "Contents->Estimate") return QStringLiteral("≈ %1");
    if (Key == "Contents->AtMost") return QStringLiteral("≤ %1");
    if (Key == "Contents->DamagedTip") return QStringLiteral("%1 (damaged)");
    if (Key.startsWith("Unit->")) return QStringLiteral("%1 ") + Key.mid(6);
    return Key;
  };
  TArchiveModel model{text};
  QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};

  void Fill() {
    model.Append(Entry("/home/ann/docs/b.txt", 3, 900, -1, 1, 0x58A40000));
    model.Append(Entry("/home/ann/docs/a.txt", 1, 100, 100, 1, 0x58A50000));
    model.Append(Entry("/home/ann/docs/sub/c.bin", 2, 20000, 20000, 2, 0x58A30000));
    model.Append(Entry("c:\\Work\\q.txt", 1, 50, 50, 2));
    model.Append(Entry("rel/name.txt", 0, 0, 0, 3));
    model.Append(Entry("/home/../escape", 1, 10, 10, 3));
    model.Build();
  }
};

TEST_F(ArchiveModelTest, StoredNamesOfEveryKindMakeOneTree) {
  Fill();
  EXPECT_EQ(ChildNames(model, {}), (QStringList{"/", "C:\\", "rel", "/home/../escape"}))
      << "roots and relative folders first, a name never restored as it is";
  const QModelIndex docs = Child(model, Child(model, Child(model, {}, "/"), "home"), "ann");
  ASSERT_TRUE(docs.isValid());
  const QModelIndex d = Child(model, docs, "docs");
  EXPECT_EQ(ChildNames(model, d), (QStringList{"sub", "a.txt", "b.txt"}));
  EXPECT_EQ(model.AllTotals().Files, 6);
  EXPECT_EQ(model.AllTotals().Folders, 8) << "/ home ann docs sub, C:\\ Work, rel";
  EXPECT_EQ(model.LeadingFolders().size(), 0) << "the top holds more than one row";
}

TEST_F(ArchiveModelTest, UnknownSizesAreEstimatedUntilLearnt) {
  Fill();
  const int32_t b = 0;
  EXPECT_FALSE(model.SizeIsKnown(b));
  EXPECT_EQ(model.SizeOrEstimate(b), 2 * app::kPieceBytes + app::kPieceBytes / 2);
  const QModelIndex row = model.IndexOfEntry(b);
  EXPECT_EQ(row.siblingAtColumn(TArchiveModel::ColumnSize).data().toString(), "≤ 48.0 KB")
      << "three chunks hold at most 48 KB";
  EXPECT_FALSE(row.siblingAtColumn(TArchiveModel::ColumnSize).data(Qt::ToolTipRole).isNull());
  const QModelIndex docs = row.parent();
  EXPECT_TRUE(docs.siblingAtColumn(TArchiveModel::ColumnSize).data().toString().startsWith("≈ "));
  EXPECT_EQ(model.AllTotals().Estimated, 1);
  EXPECT_TRUE(model.SizeIsKnown(4)) << "no chunks: an empty file";

  // A companion index gives the exact size later: the row and every folder
  // above it show it, without an estimate.
  model.SetSize(b, 33000);
  EXPECT_TRUE(model.SizeIsKnown(b));
  EXPECT_EQ(row.siblingAtColumn(TArchiveModel::ColumnSize).data().toString(),
            app::FormatSize(33000, text));
  EXPECT_EQ(docs.siblingAtColumn(TArchiveModel::ColumnSize).data().toString(),
            app::FormatSize(33000 + 100 + 20000, text));
  EXPECT_EQ(model.SizeOrEstimate(b), 33000);
}

TEST_F(ArchiveModelTest, SortingMovesRowsAndKeepsTheOnesTheViewHolds) {
  Fill();
  const QModelIndex docs = model.IndexOfEntry(1).parent();
  const QPersistentModelIndex held(model.IndexOfEntry(0));  // b.txt
  model.sort(TArchiveModel::ColumnPacked, Qt::DescendingOrder);
  EXPECT_EQ(ChildNames(model, docs), (QStringList{"sub", "b.txt", "a.txt"}));
  ASSERT_TRUE(held.isValid());
  EXPECT_EQ(held.data(TArchiveModel::StoredNameRole).toString(), "/home/ann/docs/b.txt");
  EXPECT_EQ(held.row(), 1);
  model.sort(TArchiveModel::ColumnDate, Qt::AscendingOrder);
  EXPECT_EQ(ChildNames(model, docs), (QStringList{"sub", "b.txt", "a.txt"}));
  model.sort(TArchiveModel::ColumnName, Qt::DescendingOrder);
  EXPECT_EQ(ChildNames(model, docs), (QStringList{"sub", "b.txt", "a.txt"}));
  model.sort(TArchiveModel::ColumnName, Qt::AscendingOrder);
  EXPECT_EQ(ChildNames(model, docs), (QStringList{"sub", "a.txt", "b.txt"}));
  EXPECT_EQ(held.row(), 2);
  EXPECT_EQ(model.IndexOfEntry(2).parent().siblingAtColumn(TArchiveModel::ColumnVolume).data(),
            "2");
  EXPECT_EQ(docs.siblingAtColumn(TArchiveModel::ColumnVolume).data(), "1–2");
}

TEST_F(ArchiveModelTest, AFilterNarrowsTheTreeAndTheFilesASelectionStandsFor) {
  Fill();
  model.SetFilter(app::TNameFilter("*.txt; sub"));
  EXPECT_EQ(model.ShownTotals().Files, 5) << "every .txt and what sub holds";
  EXPECT_FALSE(model.IndexOfEntry(5).isValid()) << "the escaping name is no .txt";
  model.SetFilter(app::TNameFilter("docs/*.txt"));
  EXPECT_EQ(ChildNames(model, {}), QStringList{"/"});
  EXPECT_EQ(model.LeadingFolders().size(), 4) << "/ home ann docs, the chain down to the files";
  const QModelIndex docs = model.IndexOfEntry(1).parent();
  EXPECT_EQ(ChildNames(model, docs), (QStringList{"a.txt", "b.txt"}));
  // A folder and a file in it stand for the folder's shown files, once.
  EXPECT_EQ(model.FilesUnder({docs, model.IndexOfEntry(1)}), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(model.FilesUnder({}), (std::vector<int32_t>{0, 1}));
  model.SetFilter(app::TNameFilter(""));
  EXPECT_EQ(model.FilesUnder({}).size(), 6u);
  EXPECT_EQ(model.FilesUnder({docs}), (std::vector<int32_t>{0, 1, 2}));

  EXPECT_EQ(model.CommonFolder({0, 1}), "home/ann/docs");
  EXPECT_EQ(model.CommonFolder({0, 2}), "home/ann/docs");
  EXPECT_EQ(model.CommonFolder({2}), "home/ann/docs/sub");
  EXPECT_EQ(model.CommonFolder({0, 3}), "");
}

TEST_F(ArchiveModelTest, DamagedFilesAreMarkedByName) {
  Fill();
  model.MarkDamaged({"/home/ann/docs/a.txt", "/not/in/it"});
  EXPECT_TRUE(model.IsDamaged(1));
  EXPECT_FALSE(model.IsDamaged(0));
  EXPECT_TRUE(model.IndexOfEntry(1).data(Qt::ToolTipRole).toString().contains("a.txt"));
  model.MarkDamaged({});
  EXPECT_FALSE(model.IsDamaged(1));
}

}  // namespace
}  // namespace kelmora::test
