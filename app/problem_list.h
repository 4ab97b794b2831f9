// SPDX-License-Identifier: GPL-3.0-or-later
//
// TProblemList: the files a run found damaged or could not restore, one
// row each with the volume and offset where that is known, under a line
// that says what the run did with the others.
#pragma once

#include <QDialog>
#include <vector>

#include "app/dialogs.h"

class QDialogButtonBox;
class QLabel;
class QTreeWidget;

namespace kelmora::app {

class TProblemList : public QDialog {
  Q_OBJECT

 public:
  TProblemList(const QString& Caption, const QString& Text, const std::vector<TProblem>& Problems,
               const TTextSource& Texts, QWidget* Parent);

  QLabel* LabelText;
  QTreeWidget* List;
  QDialogButtonBox* Buttons;
};

}  // namespace kelmora::app
