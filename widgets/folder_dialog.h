// SPDX-License-Identifier: GPL-3.0-or-later
//
// TFolderDialog: lets the user pick a folder and hands back its path. The
// picker opens on a starting folder, with an optional caption and title line,
// at one of three screen placements.
#pragma once

#include <QFlags>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>

class QFileDialog;

namespace kelmora::widgets {

enum TDialogPosition { fdpDefault, fdpScreenCenter, fdpXY };

// One bit per member, in member order; ShellFlags() maps them to the browse
// flag values that callers and stored settings know.
enum TOption {
  fdoBrowseForComputer = 1 << 0,
  fdoBrowseForPrinter = 1 << 1,
  fdoDontgoBelowDomain = 1 << 2,
  fdoReturnFSAncestors = 1 << 3,
  fdoReturnOnlyFSDirs = 1 << 4,
  fdoStatusText = 1 << 5,
  fdoNewDialogStyle = 1 << 6,
  fdoNoNewFolderButton = 1 << 7,
  fdoEditBox = 1 << 8,
};
Q_DECLARE_FLAGS(TFolderOptions, TOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TFolderOptions)

class TFolderDialog : public QObject {
  Q_OBJECT

 public:
  explicit TFolderDialog(QObject* Owner = nullptr);

  QString Caption() const { return caption_; }
  void SetCaption(const QString& Value) { caption_ = Value; }
  QString Title() const { return title_; }
  void SetTitle(const QString& Value) { title_ = Value; }
  QString Directory() const { return directory_; }
  void SetDirectory(const QString& Value) { directory_ = Value; }
  TFolderOptions Options() const { return options_; }
  void SetOptions(TFolderOptions Value) { options_ = Value; }
  int DialogX() const { return dialogX_; }
  void SetDialogX(int X) { dialogX_ = X; }
  int DialogY() const { return dialogY_; }
  void SetDialogY(int Y) { dialogY_ = Y; }
  TDialogPosition DialogPosition() const { return dialogPosition_; }
  void SetDialogPosition(TDialogPosition Position) { dialogPosition_ = Position; }
  // No image list exists on this platform, so this stays 0.
  int ImageIndex() const { return imageIndex_; }

  // Opens the modal picker. True when the user chose a folder; Directory then
  // holds it. Otherwise Directory keeps its value, or the current directory
  // when it did not name an existing folder.
  bool Execute();

  QString GetVersion() const;
  uint32_t GetVersionNr() const;
  // The browse flags word: OR of the flag values of the options present.
  int ShellFlags() const;

  // Top left corner for a window with the given frame rectangle.
  static QPoint PlaceWindow(TDialogPosition Position, QRect WindowRect, QSize VirtualDesktop, int X,
                            int Y);

 protected:
  // Runs the prepared dialog modally and returns whether it was accepted.
  // Tests override this to answer the dialog without a person.
  virtual bool RunDialog(QFileDialog& Dialog);

 private:
  QString caption_;
  QString title_;
  QString directory_;
  TFolderOptions options_ = fdoNewDialogStyle;
  int imageIndex_ = 0;
  int dialogX_ = 0;
  int dialogY_ = 0;
  TDialogPosition dialogPosition_ = fdpDefault;
};

}  // namespace kelmora::widgets
