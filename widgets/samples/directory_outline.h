// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCDirectoryOutline: the folders below a root as a tree. A folder's children
// are read only when it is expanded, so a root with a deep tree under it opens
// at once. Hidden folders and links to folders are left out, as a backup's
// selection leaves them out; a folder that cannot be read simply has no
// children.
#pragma once

#include <QString>
#include <QTreeWidget>

namespace kelmora::widgets {

class TCDirectoryOutline : public QTreeWidget {
  Q_OBJECT
  Q_PROPERTY(QString RootPath READ RootPath WRITE SetRootPath)
  Q_PROPERTY(QString CurrentPath READ CurrentPath WRITE SetCurrentPath NOTIFY CurrentPathChanged)

 public:
  explicit TCDirectoryOutline(QWidget* Parent = nullptr);

  QString RootPath() const { return rootPath_; }
  // Shows the root as the one top item, not yet read.
  void SetRootPath(const QString& Path);
  QString CurrentPath() const { return currentPath_; }
  // Expands the way down to a folder below the root and selects it. A path
  // outside the root, or one the tree does not show, is refused.
  void SetCurrentPath(const QString& Path);

  // The item standing for a folder path, or null when that folder is not
  // read into the tree yet.
  QTreeWidgetItem* ItemForPath(const QString& Path) const;
  static QString PathOf(const QTreeWidgetItem* Item);

 signals:
  void CurrentPathChanged(const QString& Path);

 private:
  QTreeWidgetItem* MakeItem(const QString& Path, const QString& Name);
  // Follows a path down from the root item; with ReadOnTheWay, expands
  // (and so reads) every folder it passes.
  QTreeWidgetItem* WalkTo(const QString& Path, bool ReadOnTheWay) const;
  void ReadChildren(QTreeWidgetItem* Item);

  QString rootPath_;
  QString currentPath_;
};

}  // namespace kelmora::widgets
