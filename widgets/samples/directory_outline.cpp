// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/directory_outline.h"

#include <QDir>
#include <QFileInfo>

namespace kelmora::widgets {

namespace {

constexpr int kPathRole = Qt::UserRole;
// Set once an item's folder has been read, so collapsing and expanding again
// does not add the children twice.
constexpr int kReadRole = Qt::UserRole + 1;

}  // namespace

TCDirectoryOutline::TCDirectoryOutline(QWidget* Parent) : QTreeWidget(Parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  connect(this, &QTreeWidget::itemExpanded, this, &TCDirectoryOutline::ReadChildren);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* Item) {
    const QString path = Item != nullptr ? PathOf(Item) : QString();
    if (path == currentPath_) return;
    currentPath_ = path;
    emit CurrentPathChanged(path);
  });
}

QString TCDirectoryOutline::PathOf(const QTreeWidgetItem* Item) {
  return Item->data(0, kPathRole).toString();
}

QTreeWidgetItem* TCDirectoryOutline::MakeItem(const QString& Path, const QString& Name) {
  auto* item = new QTreeWidgetItem(QStringList{Name});
  item->setData(0, kPathRole, Path);
  item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
  // The expand mark is offered before anything is read; reading decides.
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

void TCDirectoryOutline::SetRootPath(const QString& Path) {
  clear();
  rootPath_ = Path.isEmpty() ? QString() : QDir::cleanPath(QDir(Path).absolutePath());
  if (rootPath_.isEmpty()) return;
  const QString name = QFileInfo(rootPath_).fileName();
  addTopLevelItem(MakeItem(rootPath_, name.isEmpty() ? rootPath_ : name));
}

void TCDirectoryOutline::ReadChildren(QTreeWidgetItem* Item) {
  if (Item->data(0, kReadRole).toBool()) return;
  Item->setData(0, kReadRole, true);
  // Without QDir::Hidden the dot-named folders stay out. A folder that cannot
  // be opened lists nothing, which is all the user needs to see of it.
  const QFileInfoList entries =
      QDir(PathOf(Item)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  for (const QFileInfo& entry : entries) {
    if (entry.isSymLink()) continue;
    Item->addChild(MakeItem(entry.absoluteFilePath(), entry.fileName()));
  }
  Item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

QTreeWidgetItem* TCDirectoryOutline::WalkTo(const QString& Path, bool ReadOnTheWay) const {
  if (topLevelItemCount() == 0) return nullptr;
  const QString relative = QDir(rootPath_).relativeFilePath(QDir(Path).absolutePath());
  if (relative == QLatin1String("..") || relative.startsWith(QLatin1String("../")) ||
      QDir::isAbsolutePath(relative))
    return nullptr;
  QTreeWidgetItem* item = topLevelItem(0);
  QString walked = rootPath_;
  for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (part == QLatin1String(".")) continue;
    if (ReadOnTheWay) item->setExpanded(true);  // reads the folder if it was not read yet
    walked = QDir(walked).filePath(part);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < item->childCount() && next == nullptr; ++i)
      if (PathOf(item->child(i)) == walked) next = item->child(i);
    if (next == nullptr) return nullptr;
    item = next;
  }
  return item;
}

QTreeWidgetItem* TCDirectoryOutline::ItemForPath(const QString& Path) const {
  return WalkTo(Path, false);
}

void TCDirectoryOutline::SetCurrentPath(const QString& Path) {
  if (QTreeWidgetItem* item = WalkTo(Path, true)) {
    setCurrentItem(item);
    scrollToItem(item);
  }
}

}  // namespace kelmora::widgets
