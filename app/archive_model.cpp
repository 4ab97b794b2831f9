// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/archive_model.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QStyle>
#include <algorithm>
#include <cctype>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "app/name_filter.h"
#include "kelmora/helpers.h"

namespace kelmora::app {

namespace {

constexpr const char* kHeaderKeys[] = {"Contents->Name", "Contents->Size", "Contents->Packed",
                                       "Contents->Date", "Contents->Volume"};

// "/" for a Linux name, "C:\" for one written on Windows, "" for a name
// without a root: the top rows of the tree.
std::string RootOf(const std::string& Stored) {
  if (Stored.size() >= 3 && std::isalpha(static_cast<unsigned char>(Stored[0])) &&
      Stored[1] == ':' && (Stored[2] == '\\' || Stored[2] == '/')) {
    return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(Stored[0])))) +
           ":\\";
  }
  if (!Stored.empty() && (Stored[0] == '/' || Stored[0] == '\\')) return "/";
  return {};
}

// Names compare without regard to ASCII case, then byte by byte; UTF-8
// bytes order as the characters' code points.
int CompareNames(std::string_view A, std::string_view B) {
  const size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    const int a = std::tolower(static_cast<unsigned char>(A[i]));
    const int b = std::tolower(static_cast<unsigned char>(B[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  if (A.size() != B.size()) return A.size() < B.size() ? -1 : 1;
  return A.compare(B);
}

std::vector<std::string> Components(const std::string& Path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < Path.size()) {
    size_t end = Path.find('/', start);
    if (end == std::string::npos) end = Path.size();
    parts.push_back(Path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

TArchiveModel::TArchiveModel(TTextSource Text, QObject* Parent)
    : QAbstractItemModel(Parent), text_(std::move(Text)) {
  QStyle* style = QApplication::style();
  folderIcon_ = style->standardIcon(QStyle::SP_DirIcon);
  fileIcon_ = style->standardIcon(QStyle::SP_FileIcon);
  damagedIcon_ = style->standardIcon(QStyle::SP_MessageBoxWarning);
  Clear();
}

void TArchiveModel::Clear() {
  beginResetModel();
  entries_.clear();
  storedNames_.clear();
  nodes_.assign(1, Node{});
  nodes_[0].Folder = 0;
  folders_.assign(1, Folder{});
  segments_.clear();
  visible_.assign(1, 1);
  filtered_ = false;
  all_ = TArchiveTotals{};
  endResetModel();
}

void TArchiveModel::Append(const TArchiveEntry& E) {
  Entry e;
  e.NameAt = storedNames_.size();
  e.NameLength = static_cast<uint32_t>(E.Name.size());
  storedNames_ += E.Name;
  e.Stamp = E.Stamp;
  e.Packed = E.Packed;
  e.Size = E.Size;
  e.Chunks = E.Chunks;
  e.Volume = E.Volume;
  entries_.push_back(e);
}

std::string TArchiveModel::StoredName(int32_t Index) const {
  const Entry& e = entries_[Index];
  return storedNames_.substr(e.NameAt, e.NameLength);
}

TArchiveEntry TArchiveModel::EntryAt(int32_t Index) const {
  const Entry& e = entries_[Index];
  TArchiveEntry out;
  out.Name = StoredName(Index);
  out.Stamp = e.Stamp;
  out.Volume = e.Volume;
  out.Chunks = e.Chunks;
  out.Packed = e.Packed;
  out.Size = e.Size;
  return out;
}

int32_t TArchiveModel::AddNode(int32_t Parent, const std::string& Name, int32_t EntryIndex) {
  Node node;
  node.Parent = Parent;
  node.Entry = EntryIndex;
  node.NameAt = static_cast<uint32_t>(segments_.size());
  node.NameLength = static_cast<uint32_t>(Name.size());
  segments_ += Name;
  const int32_t index = static_cast<int32_t>(nodes_.size());
  nodes_.push_back(node);
  folders_[nodes_[Parent].Folder].Children.push_back(index);
  return index;
}

int32_t TArchiveModel::FolderNode(int32_t Parent, const std::string& Name) {
  const int32_t index = AddNode(Parent, Name, -1);
  nodes_[index].Folder = static_cast<int32_t>(folders_.size());
  folders_.emplace_back();
  return index;
}

void TArchiveModel::Build() {
  beginResetModel();
  nodes_.resize(1);
  folders_.resize(1);
  folders_[0] = Folder{};
  segments_.clear();
  // Folder path (root, NUL, path) -> its node, for the build only. The
  // files of a folder come one after another, so the last one is tried
  // before the map.
  std::unordered_map<std::string, int32_t> known;
  std::string lastKey;
  int32_t lastFolder = 0;
  for (int32_t i = 0; i < static_cast<int32_t>(entries_.size()); ++i) {
    const std::string stored = StoredName(i);
    const std::string path = StoredPath(stored);
    int32_t parent = 0;
    std::string leaf = stored;  // a name never restored shows as it is
    if (!path.empty()) {
      const std::string root = RootOf(stored);
      const std::string folder = FolderPart(path);
      leaf = folder.empty() ? path : path.substr(folder.size() + 1);
      std::string key = root + '\0' + folder;
      if (key == lastKey) {
        parent = lastFolder;
      } else if (const auto found = known.find(key); found != known.end()) {
        parent = found->second;
      } else {
        // Made folder by folder from the top, each one once.
        std::string sofar = root + '\0';
        if (!root.empty()) {
          const auto top = known.find(sofar);
          parent = top != known.end() ? top->second : (known[sofar] = FolderNode(0, root));
        }
        for (const std::string& part : Components(folder)) {
          sofar += sofar.back() == '\0' ? part : "/" + part;
          const auto step = known.find(sofar);
          parent = step != known.end() ? step->second : (known[sofar] = FolderNode(parent, part));
        }
      }
      lastKey = std::move(key);
      lastFolder = parent;
    }
    entries_[i].Node = AddNode(parent, leaf, i);
  }
  all_ = TArchiveTotals{};
  all_.Folders = static_cast<int32_t>(folders_.size()) - 1;
  for (const Entry& e : entries_) {
    ++all_.Files;
    all_.Size += SizeOf(e);
    all_.Estimated += SizeKnown(e) ? 0 : 1;
    all_.Packed += e.Packed;
  }
  visible_.assign(nodes_.size(), 1);
  filtered_ = false;
  // The folder sums come first: a sort by size or date reads them.
  ApplyVisibility();
  for (int32_t f = 0; f < static_cast<int32_t>(folders_.size()); ++f) SortChildren(f);
  ApplyVisibility();
  endResetModel();
}

int64_t TArchiveModel::SizeOf(const Entry& E) const {
  if (E.Size >= 0) return E.Size;
  if (E.Chunks <= 0) return 0;
  // Midway between the least and the most the chunks can hold.
  return (int64_t{E.Chunks} - 1) * kPieceBytes + kPieceBytes / 2;
}

void TArchiveModel::SetSize(int32_t Index, int64_t Size) {
  entries_[Index].Size = Size < 0 ? -1 : Size;
  // The totals of every folder above it change too.
  ApplyVisibility();
  for (QModelIndex row = IndexOfEntry(Index); row.isValid(); row = row.parent()) {
    const QModelIndex size = row.siblingAtColumn(ColumnSize);
    emit dataChanged(size, size);
  }
}

void TArchiveModel::MarkDamaged(const std::vector<std::string>& Stored) {
  const std::unordered_set<std::string> names(Stored.begin(), Stored.end());
  for (int32_t i = 0; i < static_cast<int32_t>(entries_.size()); ++i) {
    const bool damaged = names.count(StoredName(i)) != 0;
    if (damaged == entries_[i].Damaged) continue;
    entries_[i].Damaged = damaged;
    const QModelIndex row = IndexOfEntry(i);
    if (row.isValid()) emit dataChanged(row, row);
  }
}

void TArchiveModel::SetFilter(const TNameFilter& Filter) {
  beginResetModel();
  filtered_ = !Filter.Empty();
  visible_.assign(nodes_.size(), filtered_ ? 0 : 1);
  if (filtered_) {
    visible_[0] = 1;
    // Children come after their folders: one pass from the end carries a
    // file's visibility up to every folder above it.
    for (const Entry& e : entries_) {
      if (Filter.Accepts(storedNames_.substr(e.NameAt, e.NameLength))) visible_[e.Node] = 1;
    }
    for (size_t n = nodes_.size() - 1; n > 0; --n)
      if (visible_[n]) visible_[nodes_[n].Parent] = 1;
  }
  ApplyVisibility();
  endResetModel();
}

void TArchiveModel::ApplyVisibility() {
  for (Folder& f : folders_) {
    f.Sum = Summary{};
    f.Shown.clear();
    if (filtered_) {
      for (const int32_t child : f.Children)
        if (visible_[child]) f.Shown.push_back(child);
      f.Shown.shrink_to_fit();
    }
  }
  for (Folder& f : folders_) {
    const std::vector<int32_t>& shown = filtered_ ? f.Shown : f.Children;
    for (size_t row = 0; row < shown.size(); ++row) nodes_[shown[row]].Row = static_cast<int>(row);
  }
  // Every node comes after its folder: from the end, each adds itself to
  // the folder above.
  for (size_t n = nodes_.size() - 1; n > 0; --n) {
    if (!visible_[n]) continue;
    const Node& node = nodes_[n];
    Summary& up = folders_[nodes_[node.Parent].Folder].Sum;
    Summary here;
    if (node.Entry >= 0) {
      const Entry& e = entries_[node.Entry];
      here.Totals.Files = 1;
      here.Totals.Size = SizeOf(e);
      here.Totals.Estimated = SizeKnown(e) ? 0 : 1;
      here.Totals.Packed = e.Packed;
      here.Stamp = static_cast<uint32_t>(e.Stamp);
      here.FirstVolume = here.LastVolume = e.Volume;
    } else {
      here = folders_[node.Folder].Sum;
      here.Totals.Folders += 1;
    }
    up.Totals.Files += here.Totals.Files;
    up.Totals.Folders += here.Totals.Folders;
    up.Totals.Size += here.Totals.Size;
    up.Totals.Estimated += here.Totals.Estimated;
    up.Totals.Packed += here.Totals.Packed;
    up.Stamp = std::max(up.Stamp, here.Stamp);
    if (here.FirstVolume != 0 && (up.FirstVolume == 0 || here.FirstVolume < up.FirstVolume))
      up.FirstVolume = here.FirstVolume;
    up.LastVolume = std::max(up.LastVolume, here.LastVolume);
  }
}

TArchiveTotals TArchiveModel::ShownTotals() const {
  return folders_[0].Sum.Totals;
}

const std::vector<int32_t>& TArchiveModel::ShownChildren(int32_t NodeIndex) const {
  const Folder& f = folders_[nodes_[NodeIndex].Folder];
  return filtered_ ? f.Shown : f.Children;
}

void TArchiveModel::SortChildren(int32_t FolderIndex) {
  const auto key = [this](int32_t N) -> std::pair<int64_t, int64_t> {
    const Node& node = nodes_[N];
    const bool file = node.Entry >= 0;
    const Summary* sum = file ? nullptr : &folders_[node.Folder].Sum;
    const Entry* e = file ? &entries_[node.Entry] : nullptr;
    switch (sortColumn_) {
      case ColumnSize:
        return {file ? SizeOf(*e) : sum->Totals.Size, 0};
      case ColumnPacked:
        return {file ? e->Packed : sum->Totals.Packed, 0};
      case ColumnDate:
        return {file ? static_cast<uint32_t>(e->Stamp) : sum->Stamp, 0};
      case ColumnVolume:
        return {file ? e->Volume : sum->FirstVolume, file ? e->Volume : sum->LastVolume};
      default:
        return {0, 0};
    }
  };
  const bool descending = sortOrder_ == Qt::DescendingOrder;
  std::vector<int32_t>& children = folders_[FolderIndex].Children;
  std::stable_sort(children.begin(), children.end(), [&](int32_t A, int32_t B) {
    const bool aFolder = nodes_[A].Entry < 0, bFolder = nodes_[B].Entry < 0;
    // Folders stay above files whichever way a column is sorted.
    if (aFolder != bFolder) return aFolder;
    const auto ka = key(A), kb = key(B);
    int order = ka < kb ? -1 : (kb < ka ? 1 : 0);
    if (order == 0) {
      order =
          CompareNames(std::string_view(segments_).substr(nodes_[A].NameAt, nodes_[A].NameLength),
                       std::string_view(segments_).substr(nodes_[B].NameAt, nodes_[B].NameLength));
    }
    return descending ? order > 0 : order < 0;
  });
}

void TArchiveModel::sort(int Column, Qt::SortOrder Order) {
  if (Column < 0 || Column >= ColumnCount) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  sortColumn_ = Column;
  sortOrder_ = Order;
  // The folder sums are those of the shown files, which a filter left in place.
  for (int32_t f = 0; f < static_cast<int32_t>(folders_.size()); ++f) SortChildren(f);
  ApplyVisibility();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& old : before) {
    const auto n = static_cast<int32_t>(old.internalId());
    after << (visible_[n] ? createIndex(nodes_[n].Row, old.column(), quintptr(n)) : QModelIndex());
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::vector<int32_t> TArchiveModel::FilesUnder(const QModelIndexList& Indexes) const {
  std::vector<int32_t> files;
  std::vector<int32_t> pending;
  if (Indexes.isEmpty()) pending.push_back(0);
  for (const QModelIndex& index : Indexes)
    if (index.isValid() && index.model() == this)
      pending.push_back(static_cast<int32_t>(index.internalId()));
  std::vector<bool> seen(nodes_.size(), false);
  while (!pending.empty()) {
    const int32_t n = pending.back();
    pending.pop_back();
    if (seen[n] || !visible_[n]) continue;
    seen[n] = true;
    if (nodes_[n].Entry >= 0) {
      files.push_back(nodes_[n].Entry);
    } else {
      const std::vector<int32_t>& shown = ShownChildren(n);
      pending.insert(pending.end(), shown.begin(), shown.end());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string TArchiveModel::CommonFolder(const std::vector<int32_t>& Entries) const {
  std::vector<std::string> common;
  bool first = true;
  for (const int32_t i : Entries) {
    const std::vector<std::string> folder = Components(FolderPart(StoredPath(StoredName(i))));
    if (first) {
      common = folder;
      first = false;
      continue;
    }
    size_t same = 0;
    while (same < common.size() && same < folder.size() && common[same] == folder[same]) ++same;
    common.resize(same);
  }
  std::string joined;
  for (const std::string& part : common) joined += (joined.empty() ? "" : "/") + part;
  return joined;
}

QModelIndex TArchiveModel::IndexOfEntry(int32_t Index) const {
  if (Index < 0 || Index >= EntryCount()) return {};
  const int32_t n = entries_[Index].Node;
  if (n < 0 || !visible_[n]) return {};
  return createIndex(nodes_[n].Row, 0, quintptr(n));
}

QModelIndexList TArchiveModel::LeadingFolders() const {
  QModelIndexList chain;
  int32_t n = 0;
  for (;;) {
    const std::vector<int32_t>& shown = ShownChildren(n);
    // The last folder opened is the first that holds more than one row.
    if (shown.size() != 1 || nodes_[shown[0]].Entry >= 0) return chain;
    n = shown[0];
    chain << createIndex(nodes_[n].Row, 0, quintptr(n));
  }
}

void TArchiveModel::Retranslate() {
  emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
  emit layoutChanged();
}

QModelIndex TArchiveModel::index(int Row, int Column, const QModelIndex& Parent) const {
  if (Column < 0 || Column >= ColumnCount || Row < 0) return {};
  const int32_t parent = Parent.isValid() ? static_cast<int32_t>(Parent.internalId()) : 0;
  if (nodes_[parent].Folder < 0) return {};
  const std::vector<int32_t>& shown = ShownChildren(parent);
  if (Row >= static_cast<int>(shown.size())) return {};
  return createIndex(Row, Column, quintptr(shown[Row]));
}

QModelIndex TArchiveModel::parent(const QModelIndex& Child) const {
  if (!Child.isValid()) return {};
  const int32_t up = nodes_[static_cast<int32_t>(Child.internalId())].Parent;
  if (up <= 0) return {};
  return createIndex(nodes_[up].Row, 0, quintptr(up));
}

int TArchiveModel::rowCount(const QModelIndex& Parent) const {
  if (Parent.isValid() && Parent.column() != 0) return 0;
  const int32_t n = Parent.isValid() ? static_cast<int32_t>(Parent.internalId()) : 0;
  if (nodes_[n].Folder < 0) return 0;
  return static_cast<int>(ShownChildren(n).size());
}

int TArchiveModel::columnCount(const QModelIndex&) const {
  return ColumnCount;
}

QString TArchiveModel::NameOf(int32_t N) const {
  return QString::fromUtf8(segments_.data() + nodes_[N].NameAt,
                           static_cast<qsizetype>(nodes_[N].NameLength));
}

QString TArchiveModel::SizeText(int64_t Bytes, bool Estimated) const {
  const QString size = FormatSize(Bytes, text_);
  return Estimated ? text_(QStringLiteral("Contents->Estimate")).arg(size) : size;
}

QString TArchiveModel::FileSizeText(const Entry& E) const {
  if (SizeKnown(E)) return FormatSize(SizeOf(E), text_);
  // A few chunks say little about the last one: the most the file can
  // hold is said rather than a middle that may be far off.
  if (E.Chunks < kFewChunks)
    return text_(QStringLiteral("Contents->AtMost"))
        .arg(FormatSize(int64_t{E.Chunks} * kPieceBytes, text_));
  return SizeText(SizeOf(E), true);
}

QString TArchiveModel::DateText(uint32_t Stamp) const {
  std::time_t t = 0;
  if (!UnpackStamp(static_cast<int32_t>(Stamp), t)) return {};
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(t)),
                            QLocale::ShortFormat);
}

QVariant TArchiveModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  const auto n = static_cast<int32_t>(Index.internalId());
  const Node& node = nodes_[n];
  const Entry* e = node.Entry >= 0 ? &entries_[node.Entry] : nullptr;
  const Summary* sum = e ? nullptr : &folders_[node.Folder].Sum;
  const int column = Index.column();
  switch (Role) {
    case Qt::DisplayRole:
      switch (column) {
        case ColumnName:
          return NameOf(n);
        case ColumnSize:
          return e ? FileSizeText(*e) : SizeText(sum->Totals.Size, sum->Totals.Estimated > 0);
        case ColumnPacked:
          return FormatSize(e ? e->Packed : sum->Totals.Packed, text_);
        case ColumnDate:
          return DateText(e ? static_cast<uint32_t>(e->Stamp) : sum->Stamp);
        case ColumnVolume:
          if (e) return QString::number(e->Volume);
          if (sum->FirstVolume == sum->LastVolume) return QString::number(sum->FirstVolume);
          return QStringLiteral("%1–%2").arg(sum->FirstVolume).arg(sum->LastVolume);
      }
      return {};
    case Qt::DecorationRole:
      if (column != ColumnName) return {};
      if (e) return e->Damaged ? damagedIcon_ : fileIcon_;
      return folderIcon_;
    case Qt::TextAlignmentRole:
      if (column == ColumnName || column == ColumnDate)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
      return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (column == ColumnName && e) {
        const QString name = QString::fromStdString(StoredName(node.Entry));
        return e->Damaged ? text_(QStringLiteral("Contents->DamagedTip")).arg(name) : name;
      }
      if (column == ColumnSize && e && !SizeKnown(*e)) {
        return text_(QStringLiteral("Contents->SizeTip"))
            .arg(FormatCount((int64_t{e->Chunks} - 1) * kPieceBytes + 1))
            .arg(FormatCount(int64_t{e->Chunks} * kPieceBytes));
      }
      return {};
    case StoredNameRole:
      return e ? QString::fromStdString(StoredName(node.Entry)) : QString();
    default:
      return {};
  }
}

QVariant TArchiveModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Section < 0 || Section >= ColumnCount) return {};
  if (Role == Qt::DisplayRole) return text_(QString::fromLatin1(kHeaderKeys[Section]));
  if (Role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Section == ColumnName || Section == ColumnDate
                                   ? Qt::AlignLeft | Qt::AlignVCenter
                                   : Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

}  // namespace kelmora::app
