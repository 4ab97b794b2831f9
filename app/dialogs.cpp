#include "app/dialogs.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>

namespace kelmora::app {

namespace {

int RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(icon, caption, text, buttons, parent);
  box.setDefaultButton(defaultButton);
  FitCaption(box);
  return box.exec();
}

}  // namespace

int CaptionWidth(const QString& caption) {
  // The window manager draws the caption in its own title font, beside an
  // icon and up to three buttons; the platform's title font stands in for
  // it, and a button's room is taken as a square of the caption's height.
  QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
  font.setBold(true);
  const QFontMetrics metrics(font);
  return metrics.horizontalAdvance(caption) + 4 * metrics.height() + 32;
}

void FitCaption(QMessageBox& box) {
  // A message box sizes itself to its text and ignores a minimum width;
  // a spacer across its grid is what widens it.
  const int width = CaptionWidth(box.windowTitle());
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  } else {
    box.setMinimumWidth(width);
  }
}

QStringList FileDialogFilters(const QString& filter) {
  const QStringList parts = filter.split('|');
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString description = parts[i].trimmed();
    const QString patterns = parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ').trimmed();
    // The dialog takes its patterns from the last parentheses of each entry.
    if (description.endsWith("(" + patterns + ")"))
      result << description;
    else
      result << QStringLiteral("%1 (%2)").arg(description, patterns);
  }
  if (result.isEmpty()) result << QStringLiteral("* (*)");
  return result;
}

TDialogs StandardDialogs(QWidget* parent) {
  QPointer<QWidget> owner(parent);
  TDialogs d;
  d.ShowMessage = [owner](const QString& caption, const QString& text) {
    RunBox(owner, QMessageBox::NoIcon, caption, text, QMessageBox::Ok, QMessageBox::Ok);
  };
  d.ShowError = [owner](const QString& caption, const QString& text) {
    RunBox(owner, QMessageBox::Critical, caption, text, QMessageBox::Ok, QMessageBox::Ok);
  };
  d.AskYesNo = [owner](const QString& caption, const QString& text) {
    return RunBox(owner, QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                  QMessageBox::Yes) == QMessageBox::Yes;
  };
  d.AskOkCancel = [owner](const QString& caption, const QString& text) {
    return RunBox(owner, QMessageBox::Information, caption, text,
                  QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) == QMessageBox::Ok;
  };
  d.AskSaveFile = [owner](const QString& folder, const QString& name, const QString& filter) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The caller appends the extension itself and never asks before
    // replacing an archive name.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    dialog.setNameFilters(FileDialogFilters(filter));
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().front();
  };
  return d;
}

}  // namespace kelmora::app
