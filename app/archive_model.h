// SPDX-License-Identifier: GPL-3.0-or-later
//
// TArchiveModel: the stored folders and files of one archive as a Qt item
// model. The view asks only for the rows it shows, so an archive of a
// hundred thousand files costs a few compact arrays here and a screenful of
// rows in the view, never a widget per file.
//
// Entries are kept in archive order with their names in one pool; the tree
// is a node per stored folder and file, a folder's children listed in the
// current sort order, and the rows shown under a filter listed beside them.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QModelIndexList>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/units.h"
#include "kelmora/backup_file.h"

namespace kelmora::app {

class TNameFilter;

// The pieces a file is cut into: a file of N chunks holds more than N - 1
// pieces' worth of bytes and at most N.
inline constexpr int64_t kPieceBytes = 16384;

struct TArchiveTotals {
  int32_t Files = 0;
  int32_t Folders = 0;
  int64_t Size = 0;       // exact sizes, with an estimate for each unknown one
  int32_t Estimated = 0;  // files whose size is an estimate
  int64_t Packed = 0;
};

class TArchiveModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum TColumn { ColumnName, ColumnSize, ColumnPacked, ColumnDate, ColumnVolume, ColumnCount };
  // The stored name of a file row; empty for a folder.
  static constexpr int StoredNameRole = Qt::UserRole + 1;

  // Text gives the headers and units in the window's language.
  explicit TArchiveModel(TTextSource Text, QObject* Parent = nullptr);

  // Entries arrive in archive order while the archive is read; Build then
  // makes the tree of them, every file shown.
  void Clear();
  void Append(const TArchiveEntry& Entry);
  void Build();

  int32_t EntryCount() const { return static_cast<int32_t>(entries_.size()); }
  std::string StoredName(int32_t Entry) const;
  TArchiveEntry EntryAt(int32_t Entry) const;
  // Its size when the archive tells it, else an estimate from its chunks.
  int64_t SizeOrEstimate(int32_t Entry) const { return SizeOf(entries_[Entry]); }
  bool SizeIsKnown(int32_t Entry) const { return SizeKnown(entries_[Entry]); }
  // A size learnt elsewhere than from the listing, a companion index say;
  // -1 makes it unknown again.
  void SetSize(int32_t Entry, int64_t Size);
  // Shows the entries of these stored names as damaged (a test found them).
  void MarkDamaged(const std::vector<std::string>& Stored);
  bool IsDamaged(int32_t Entry) const { return entries_[Entry].Damaged; }

  // Shows only the files Filter accepts and the folders that hold them.
  void SetFilter(const TNameFilter& Filter);
  // Of what is shown, and of the whole archive.
  TArchiveTotals ShownTotals() const;
  TArchiveTotals AllTotals() const { return all_; }

  // The files shown under Indexes, a folder standing for every file shown
  // in it, in archive order; every file shown when Indexes is empty.
  std::vector<int32_t> FilesUnder(const QModelIndexList& Indexes) const;
  // The stored folder, without its root, that every one of Entries lies
  // in ("home/ann/docs"); "" when they share none.
  std::string CommonFolder(const std::vector<int32_t>& Entries) const;
  // The row showing Entry; invalid while it is filtered out.
  QModelIndex IndexOfEntry(int32_t Entry) const;
  // The folders from the top down to the first that holds more than one
  // row: what a window opens out to show the files at once.
  QModelIndexList LeadingFolders() const;

  // The language changed: headers and texts are asked for again.
  void Retranslate();

  QModelIndex index(int Row, int Column, const QModelIndex& Parent) const override;
  QModelIndex parent(const QModelIndex& Child) const override;
  int rowCount(const QModelIndex& Parent) const override;
  int columnCount(const QModelIndex& Parent) const override;
  QVariant data(const QModelIndex& Index, int Role) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;
  void sort(int Column, Qt::SortOrder Order) override;

 private:
  struct Entry {
    uint64_t NameAt = 0;  // the stored name in storedNames_
    uint32_t NameLength = 0;
    int32_t Stamp = 0;
    int64_t Packed = 0;
    int64_t Size = -1;
    int32_t Chunks = 0;
    uint16_t Volume = 1;
    bool Damaged = false;
    int32_t Node = -1;
  };
  struct Node {
    int32_t Parent = -1;
    int32_t Row = 0;      // among the parent's shown children
    int32_t Entry = -1;   // a file's entry; -1 for a folder
    int32_t Folder = -1;  // a folder's place in folders_; -1 for a file
    uint32_t NameAt = 0;  // the name shown, in segments_
    uint32_t NameLength = 0;
  };
  // What a folder holds, counted over its shown files.
  struct Summary {
    TArchiveTotals Totals;
    uint32_t Stamp = 0;  // the latest, compared as packed dates order
    uint16_t FirstVolume = 0;
    uint16_t LastVolume = 0;
  };
  struct Folder {
    std::vector<int32_t> Children;  // every child, in the sort order
    std::vector<int32_t> Shown;     // those a filter lets through
    Summary Sum;                    // of the shown files under it
  };

  int32_t AddNode(int32_t Parent, const std::string& Name, int32_t Entry);
  int32_t FolderNode(int32_t Parent, const std::string& Name);
  const std::vector<int32_t>& ShownChildren(int32_t NodeIndex) const;
  QString NameOf(int32_t NodeIndex) const;
  // A file's size, or its estimate from the number of its chunks.
  int64_t SizeOf(const Entry& E) const;
  bool SizeKnown(const Entry& E) const { return E.Size >= 0 || E.Chunks == 0; }
  QString SizeText(int64_t Bytes, bool Estimated) const;
  QString FileSizeText(const Entry& E) const;
  // Below this many chunks a file's unknown size is shown as its most.
  static constexpr int32_t kFewChunks = 8;
  QString DateText(uint32_t Stamp) const;
  // Shown children lists, rows and folder summaries from visible_.
  void ApplyVisibility();
  void SortChildren(int32_t FolderIndex);

  TTextSource text_;
  std::vector<Entry> entries_;
  std::string storedNames_;
  std::vector<Node> nodes_;  // node 0 is the invisible top
  std::vector<Folder> folders_;
  std::string segments_;
  std::vector<uint8_t> visible_;  // per node
  bool filtered_ = false;
  TArchiveTotals all_;
  int sortColumn_ = ColumnName;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  QIcon folderIcon_, fileIcon_, damagedIcon_;
};

}  // namespace kelmora::app
