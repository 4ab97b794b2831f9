// SPDX-License-Identifier: GPL-3.0-or-later
//
// TRestoreDialog: where the files chosen in a contents window go, asked
// before they are restored: a folder, and whether they keep their stored
// folders there, leave out the folders they share, or go back to the
// places they were backed up from.
#pragma once

#include <QDialog>
#include <functional>

#include "app/dialogs.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kelmora::app {

class TRestoreDialog : public QDialog {
  Q_OBJECT

 public:
  TRestoreDialog(const TRestoreRequest& Request, const TTextSource& Text, QWidget* Parent);

  QLabel* LabelChosen;
  QLabel* LabelFolder;
  QLineEdit* EditFolder;
  QPushButton* ButtonBrowse;
  QRadioButton* RadioOriginal;
  QRadioButton* RadioWithFolders;
  QRadioButton* RadioRelative;
  QLabel* LabelMode;
  QDialogButtonBox* Buttons;

  // The request as the dialog now holds it.
  TRestoreRequest Request() const;
  // Browse...: the folder picked from Start, "" when cancelled. Tests
  // replace it.
  std::function<QString(const QString& Start)> PickFolder;

 private:
  void PlacementChanged();

  TRestoreRequest request_;
};

}  // namespace kelmora::app
