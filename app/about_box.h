// SPDX-License-Identifier: GPL-3.0-or-later
//
// TAboutBox: the modal About dialog with the product's name, a description,
// an author line, a contact address, a web address that works as a link and
// the licence.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class QFrame;
class QLabel;
class QPushButton;

namespace kelmora::app {

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 321;
  static constexpr int kClientHeight = 161;
  static inline const QString kCaption = QStringLiteral("About Program");
  static inline const QString kAuthor = QStringLiteral("by the Kelmora team");
  static inline const QString kEmail = QStringLiteral("info@kelmora.org");
  static inline const QString kSite = QStringLiteral("https://kelmora.org");
  static inline const QString kLicense =
      QStringLiteral("Free software: GNU GPL version 3 or later");
  static inline const QColor kLinkColor{0, 0, 255};
  static inline const QColor kLinkHoverColor{255, 0, 0};

  explicit TAboutBox(QWidget* Parent = nullptr);

  QFrame* Panel1;
  QLabel* ProgramIcon;
  QLabel* LabelTitle;
  QLabel* LabelAbout;
  QLabel* LabelAuthor;
  QLabel* LabelEmail;
  QLabel* LabelSite;
  QLabel* LabelLicense;
  QPushButton* OKButton;

  // Opens a link text with the desktop's default handler; tests replace it.
  std::function<void(const QString& Text)> OpenUrl;

  // Sets a label's text; the label's width follows it (the e-mail label
  // wraps within its width instead).
  void SetCaption(QLabel* Label, const QString& Text);
  QColor LinkColor() const;

  void LabelSiteMouseMove();
  void LabelSiteMouseDown();
  void Panel1MouseMove();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void SetLinkColor(const QColor& Color);
};

}  // namespace kelmora::app
