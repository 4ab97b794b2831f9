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
  explicit TFolderDialog(QObject* owner = nullptr);

  QString Caption() const { return caption_; }
  void SetCaption(const QString& caption) { caption_ = caption; }
  QString Title() const { return title_; }
  void SetTitle(const QString& title) { title_ = title; }
  QString Directory() const { return directory_; }
  void SetDirectory(const QString& directory) { directory_ = directory; }
  TFolderOptions Options() const { return options_; }
  void SetOptions(TFolderOptions options) { options_ = options; }
  int DialogX() const { return dialog_x_; }
  void SetDialogX(int x) { dialog_x_ = x; }
  int DialogY() const { return dialog_y_; }
  void SetDialogY(int y) { dialog_y_ = y; }
  TDialogPosition DialogPosition() const { return dialog_position_; }
  void SetDialogPosition(TDialogPosition position) { dialog_position_ = position; }
  // No image list exists on this platform, so this stays 0.
  int ImageIndex() const { return image_index_; }

  // Opens the modal picker. True when the user chose a folder; Directory then
  // holds it. Otherwise Directory keeps its value, or the current directory
  // when it did not name an existing folder.
  bool Execute();

  QString GetVersion() const;
  uint32_t GetVersionNr() const;
  // The browse flags word: OR of the flag values of the options present.
  int ShellFlags() const;

  // Top left corner for a window with the given frame rectangle.
  static QPoint PlaceWindow(TDialogPosition position, QRect windowRect, QSize virtualDesktop,
                            int dialogX, int dialogY);

 protected:
  // Runs the prepared dialog modally and returns whether it was accepted.
  // Tests override this to answer the dialog without a person.
  virtual bool RunDialog(QFileDialog& dialog);

 private:
  QString caption_;
  QString title_;
  QString directory_;
  TFolderOptions options_ = fdoNewDialogStyle;
  int image_index_ = 0;
  int dialog_x_ = 0;
  int dialog_y_ = 0;
  TDialogPosition dialog_position_ = fdpDefault;
};

}  // namespace kelmora::widgets
