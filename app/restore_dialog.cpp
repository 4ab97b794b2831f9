// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/restore_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace kelmora::app {

TRestoreDialog::TRestoreDialog(const TRestoreRequest& Request, const TTextSource& Text,
                               QWidget* Parent)
    : QDialog(Parent), request_(Request) {
  setObjectName(QStringLiteral("RestoreDialog"));
  setWindowTitle(Text(QStringLiteral("RestoreDialog->Caption")));
  const QString size = FormatSize(Request.Bytes, Text);
  LabelChosen = new QLabel(
      Text(QStringLiteral("RestoreDialog->Chosen"))
          .arg(FormatCount(Request.Files),
               Request.Estimated ? Text(QStringLiteral("Contents->Estimate")).arg(size) : size),
      this);
  LabelFolder = new QLabel(Text(QStringLiteral("RestoreDialog->Folder")), this);
  EditFolder = new QLineEdit(Request.Folder, this);
  EditFolder->setMinimumWidth(320);
  LabelFolder->setBuddy(EditFolder);
  ButtonBrowse = new QPushButton(Text(QStringLiteral("RestoreDialog->Browse")), this);
  ButtonBrowse->setAutoDefault(false);
  RadioWithFolders = new QRadioButton(Text(QStringLiteral("RestoreDialog->WithFolders")), this);
  RadioRelative = new QRadioButton(Text(QStringLiteral("RestoreDialog->Relative")), this);
  RadioOriginal = new QRadioButton(Text(QStringLiteral("RestoreDialog->Original")), this);
  LabelMode = new QLabel(Text(QStringLiteral("RestoreDialog->Mode")).arg(Request.Mode), this);
  LabelMode->setWordWrap(true);
  Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  switch (Request.Placement) {
    case TPlacement::OriginalPlaces:
      RadioOriginal->setChecked(true);
      break;
    case TPlacement::Relative:
      RadioRelative->setChecked(true);
      break;
    case TPlacement::WithFolders:
      RadioWithFolders->setChecked(true);
      break;
  }

  auto* folderRow = new QGridLayout;
  folderRow->addWidget(LabelFolder, 0, 0);
  folderRow->addWidget(EditFolder, 0, 1);
  folderRow->addWidget(ButtonBrowse, 0, 2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(LabelChosen);
  layout->addLayout(folderRow);
  layout->addWidget(RadioWithFolders);
  layout->addWidget(RadioRelative);
  layout->addWidget(RadioOriginal);
  layout->addWidget(LabelMode);
  layout->addWidget(Buttons);

  PickFolder = [this](const QString& Start) {
    QFileDialog picker(this, LabelFolder->text().remove('&'), Start);
    picker.setFileMode(QFileDialog::Directory);
    picker.setOption(QFileDialog::ShowDirsOnly, true);
    DateFilesInInterfaceLocale(picker);
    if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty()) return QString();
    return picker.selectedFiles().front();
  };
  connect(ButtonBrowse, &QPushButton::clicked, this, [this] {
    const QString folder = PickFolder(EditFolder->text());
    if (!folder.isEmpty()) EditFolder->setText(folder);
  });
  for (QRadioButton* radio : {RadioOriginal, RadioWithFolders, RadioRelative})
    connect(radio, &QRadioButton::toggled, this, [this] { PlacementChanged(); });
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  PlacementChanged();
}

void TRestoreDialog::PlacementChanged() {
  // Back at their original places the files need no folder.
  const bool needsFolder = !RadioOriginal->isChecked();
  EditFolder->setEnabled(needsFolder);
  ButtonBrowse->setEnabled(needsFolder);
  LabelFolder->setEnabled(needsFolder);
}

TRestoreRequest TRestoreDialog::Request() const {
  TRestoreRequest r = request_;
  r.Folder = EditFolder->text().trimmed();
  if (!r.Folder.isEmpty() && !r.Folder.endsWith('/')) r.Folder += '/';
  r.Placement = RadioOriginal->isChecked()   ? TPlacement::OriginalPlaces
                : RadioRelative->isChecked() ? TPlacement::Relative
                                             : TPlacement::WithFolders;
  return r;
}

}  // namespace kelmora::app
