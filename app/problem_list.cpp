// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/problem_list.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace kelmora::app {

TProblemList::TProblemList(const QString& Caption, const QString& Text,
                           const std::vector<TProblem>& Problems, const TTextSource& Texts,
                           QWidget* Parent)
    : QDialog(Parent) {
  setObjectName(QStringLiteral("ProblemList"));
  setWindowTitle(Caption);
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  LabelText = new QLabel(Text, this);
  LabelText->setWordWrap(true);
  LabelText->setTextFormat(Qt::PlainText);
  List = new QTreeWidget(this);
  List->setRootIsDecorated(false);
  List->setHeaderLabels(
      {Texts(QStringLiteral("Problems->File")), Texts(QStringLiteral("Problems->Volume")),
       Texts(QStringLiteral("Problems->Offset")), Texts(QStringLiteral("Problems->Reason"))});
  for (const TProblem& p : Problems) {
    auto* row = new QTreeWidgetItem(List);
    row->setText(0, p.File);
    row->setToolTip(0, p.File);
    if (p.Volume > 0) row->setText(1, QString::number(p.Volume));
    if (p.Offset >= 0) row->setText(2, FormatCount(p.Offset));
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(3, p.Reason);
    row->setToolTip(3, p.Reason);
  }
  int width = 0;
  for (int c = 0; c < 4; ++c) {
    List->resizeColumnToContents(c);
    width += List->columnWidth(c);
  }
  // Wide enough for every column where the screen allows, so the reasons
  // are read without scrolling.
  const QRect screen =
      Parent != nullptr ? Parent->screen()->availableGeometry() : QRect(0, 0, 1024, 768);
  List->setMinimumSize(std::clamp(width + 24, 560, screen.width() * 4 / 5), 140);
  Buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addWidget(LabelText, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(List, 1);
  layout->addWidget(Buttons);
}

}  // namespace kelmora::app
