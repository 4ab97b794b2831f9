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

TCDirectoryOutline::TCDirectoryOutline(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  connect(this, &QTreeWidget::itemExpanded, this, &TCDirectoryOutline::ReadChildren);
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    const QString path = item != nullptr ? PathOf(item) : QString();
    if (path == current_path_) return;
    current_path_ = path;
    emit CurrentPathChanged(path);
  });
}

QString TCDirectoryOutline::PathOf(const QTreeWidgetItem* item) {
  return item->data(0, kPathRole).toString();
}

QTreeWidgetItem* TCDirectoryOutline::MakeItem(const QString& path, const QString& name) {
  auto* item = new QTreeWidgetItem(QStringList{name});
  item->setData(0, kPathRole, path);
  item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
  // The expand mark is offered before anything is read; reading decides.
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

void TCDirectoryOutline::SetRootPath(const QString& path) {
  clear();
  root_path_ = path.isEmpty() ? QString() : QDir::cleanPath(QDir(path).absolutePath());
  if (root_path_.isEmpty()) return;
  const QString name = QFileInfo(root_path_).fileName();
  addTopLevelItem(MakeItem(root_path_, name.isEmpty() ? root_path_ : name));
}

void TCDirectoryOutline::ReadChildren(QTreeWidgetItem* item) {
  if (item->data(0, kReadRole).toBool()) return;
  item->setData(0, kReadRole, true);
  // Without QDir::Hidden the dot-named folders stay out. A folder that cannot
  // be opened lists nothing, which is all the user needs to see of it.
  const QFileInfoList entries =
      QDir(PathOf(item)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  for (const QFileInfo& entry : entries) {
    if (entry.isSymLink()) continue;
    item->addChild(MakeItem(entry.absoluteFilePath(), entry.fileName()));
  }
  item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

QTreeWidgetItem* TCDirectoryOutline::WalkTo(const QString& path, bool read_on_the_way) const {
  if (topLevelItemCount() == 0) return nullptr;
  const QString relative = QDir(root_path_).relativeFilePath(QDir(path).absolutePath());
  if (relative == QLatin1String("..") || relative.startsWith(QLatin1String("../")) ||
      QDir::isAbsolutePath(relative))
    return nullptr;
  QTreeWidgetItem* item = topLevelItem(0);
  QString walked = root_path_;
  for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (part == QLatin1String(".")) continue;
    if (read_on_the_way) item->setExpanded(true);  // reads the folder if it was not read yet
    walked = QDir(walked).filePath(part);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < item->childCount() && next == nullptr; ++i)
      if (PathOf(item->child(i)) == walked) next = item->child(i);
    if (next == nullptr) return nullptr;
    item = next;
  }
  return item;
}

QTreeWidgetItem* TCDirectoryOutline::ItemForPath(const QString& path) const {
  return WalkTo(path, false);
}

void TCDirectoryOutline::SetCurrentPath(const QString& path) {
  if (QTreeWidgetItem* item = WalkTo(path, true)) {
    setCurrentItem(item);
    scrollToItem(item);
  }
}

}  // namespace kelmora::widgets
