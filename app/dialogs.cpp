#include "app/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>

namespace kelmora::app {

namespace {

int RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  QMessageBox box(icon, caption, text, buttons, parent);
  box.setDefaultButton(defaultButton);
  return box.exec();
}

}  // namespace

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
