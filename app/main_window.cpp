// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QTranslator>

#include "app/about_box.h"
#include "app/application.h"
#include "app/archive_window.h"
#include "app/compact_combo_style.h"
#include "app/paths.h"
#include "app/resources.h"
#include "app/run_record.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"
#include "widgets/winxp.h"

namespace kelmora::app {

namespace {

QLabel* MakeLabel(QWidget* Parent, int X, int Y, int H, const QString& Text) {
  auto* label = new QLabel(Parent);
  label->setTextFormat(Qt::PlainText);
  label->move(X, Y);
  label->resize(label->width(), H);
  SetLabelCaption(label, Text);
  return label;
}

QLineEdit* MakeEdit(QWidget* Parent, int X, int Y, int W, int H) {
  auto* edit = new QLineEdit(Parent);
  edit->setGeometry(X, Y, W, H);
  return edit;
}

QPushButton* MakeButton(QWidget* Parent, int X, int Y, int W, int H, const QString& Text) {
  auto* button = new QPushButton(Text, Parent);
  button->setGeometry(X, Y, W, H);
  button->setAutoDefault(false);
  return button;
}

QComboBox* MakeList(QWidget* Parent, int X, int Y, int W, int H, const QStringList& Items) {
  auto* list = new QComboBox(Parent);
  list->setEditable(false);
  list->addItems(Items);
  list->setGeometry(X, Y, W, H);
  return list;
}

QCheckBox* MakeCheckBox(QWidget* Parent, int X, int Y, int W, int H, const QString& Text) {
  auto* box = new QCheckBox(Text, Parent);
  box->setGeometry(X, Y, W, H);
  return box;
}

}  // namespace

void SetLabelCaption(QLabel* Label, const QString& Caption) {
  Label->setText(Caption);
  // A label with a buddy draws its mnemonic marker as an underline, in no
  // room of its own.
  QString drawn = Caption;
  if (Label->buddy() != nullptr) {
    drawn.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    drawn.remove('&');
    drawn.replace(QChar(1), QChar('&'));
  }
  Label->resize(Label->fontMetrics().horizontalAdvance(drawn) + 1, Label->height());
}

TForm1::TForm1(const QString& SettingsFile, const QString& ProgramFolder, QWidget* Parent)
    : QMainWindow(Parent), SettingsPath(SettingsFile) {
  InitResources();
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setAttribute(Qt::WA_WindowPropagation);
  setFont(InterfaceFont());
  Dialogs = StandardDialogs(this, TextSource());
  // An archive dropped on the window opens in a contents window.
  setAcceptDrops(true);
  BuildMenu();
  BuildControls();
  SetTabOrder();
  FolderDialog1 = new widgets::TFolderDialog(this);
  FolderDialog1->setObjectName(QStringLiteral("FolderDialog1"));
  FolderDialog1->SetDialogPosition(widgets::fdpScreenCenter);
  FolderDialog1->SetDialogX(0);
  FolderDialog1->SetDialogY(0);
  ExecuteFolderDialog = [this] { return FolderDialog1->Execute(); };
  WinXP1 = new widgets::TWinXP(this);
  WinXP1->setObjectName(QStringLiteral("WinXP1"));

  // The engine lets the window process its messages from the first moment
  // of a run, the walk over the folders included, so Stop and the status
  // line work then too.
  BackupEngine.Hooks.ProcessMessages = [this] {
    QCoreApplication::processEvents();
    ShowSelection();
  };
  BackupEngine.Hooks.ShowError = [this](const std::string& Caption, const std::string& Message) {
    Dialogs.ShowError(QString::fromStdString(Caption), EngineText(Message));
  };
  BackupEngine.Hooks.AskOkCancel = [this](const std::string& Caption, const std::string& Question) {
    return Dialogs.AskOkCancel(QString::fromStdString(Caption), QString::fromStdString(Question));
  };

  // The fixed client area lies below the menu bar.
  setFixedSize(kClientWidth, menuBar()->sizeHint().height() + kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  AppFolder = ProgramFolder;
  if (!AppFolder.isEmpty() && !AppFolder.endsWith('/')) AppFolder += '/';
  FormCreate();
  ConnectHandlers();
}

TForm1::~TForm1() {
  // Contents windows ask this window for their texts: they go first.
  for (const QPointer<TArchiveWindow>& window : archiveWindows_) delete window.data();
}

void TForm1::BuildMenu() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  MFile = file->menuAction();
  MOpenArchive = file->addAction(QStringLiteral("&Open Archive..."));
  MOpenArchive->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  MShowContents = file->addAction(QStringLiteral("&Contents of the Backup File"));
  MShowContents->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  MTestArchive = file->addAction(QStringLiteral("&Test the Backup File"));
  MTestArchive->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  recentMenu_ = file->addMenu(QStringLiteral("&Recent Archives"));
  MRecent = recentMenu_->menuAction();
  file->addSeparator();
  MExit = file->addAction(QStringLiteral("E&xit"));
  QMenu* settings = menuBar()->addMenu(QStringLiteral("&Settings"));
  MSettings = settings->menuAction();
  QMenu* language = settings->addMenu(QStringLiteral("&Language"));
  MLanguage = language->menuAction();
  MLangEnglish = language->addAction(QStringLiteral("&English"));
  MLangEnglish->setCheckable(true);
  MLangEnglish->setChecked(true);
  MLangRussian = language->addAction(QStringLiteral("&Russian"));
  MLangRussian->setCheckable(true);
  QMenu* recovery = settings->addMenu(QStringLiteral("&Recovery Record"));
  MRecovery = recovery->menuAction();
  MRecovery->setObjectName(QStringLiteral("MRecovery"));
  auto* recoveryGroup = new QActionGroup(this);
  for (const int32_t percent : kRecoveryChoices) {
    QAction* choice = recovery->addAction(percent == 0 ? QStringLiteral("&None")
                                                       : QStringLiteral("%1 %").arg(percent));
    choice->setCheckable(true);
    choice->setChecked(percent == 0);
    choice->setObjectName(QStringLiteral("MRecovery%1").arg(percent));
    recoveryGroup->addAction(choice);
    MRecoveryChoices << choice;
  }
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  MHelp = help->menuAction();
  MAbout = help->addAction(QStringLiteral("&About"));
  MExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  MAbout->setShortcut(QKeySequence(Qt::Key_F1));
  MFile->setObjectName(QStringLiteral("MFile"));
  MOpenArchive->setObjectName(QStringLiteral("MOpenArchive"));
  MShowContents->setObjectName(QStringLiteral("MShowContents"));
  MTestArchive->setObjectName(QStringLiteral("MTestArchive"));
  MRecent->setObjectName(QStringLiteral("MRecent"));
  MExit->setObjectName(QStringLiteral("MExit"));
  MSettings->setObjectName(QStringLiteral("MSettings"));
  MLanguage->setObjectName(QStringLiteral("MLanguage"));
  MLangEnglish->setObjectName(QStringLiteral("MLangEnglish"));
  MLangRussian->setObjectName(QStringLiteral("MLangRussian"));
  MHelp->setObjectName(QStringLiteral("MHelp"));
  MAbout->setObjectName(QStringLiteral("MAbout"));
}

void TForm1::BuildControls() {
  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight - 19);
  setCentralWidget(client);

  LabelBackupFile = MakeLabel(client, 8, 12, 13, QStringLiteral("Backup To F&ile:"));
  EditBackupFile = MakeEdit(client, 112, 8, 249, 21);
  ButtonBackupFile = MakeButton(client, 368, 8, 73, 21, QStringLiteral("Change"));
  LabelBackupFolder = MakeLabel(client, 8, 36, 13, QStringLiteral("Backup F&older:"));
  EditBackupFolder = MakeEdit(client, 112, 32, 249, 21);
  ButtonBackupFolder = MakeButton(client, 368, 32, 73, 21, QStringLiteral("Select"));
  LabelRestoreFolder = MakeLabel(client, 8, 60, 13, QStringLiteral("Restore Fol&der:"));
  EditRestoreFolder = MakeEdit(client, 112, 56, 249, 21);
  ButtonRestoreFolder = MakeButton(client, 368, 56, 73, 21, QStringLiteral("Select"));
  // The path edits only show what the pickers chose.
  EditBackupFile->setEnabled(false);
  EditBackupFolder->setEnabled(false);
  EditRestoreFolder->setEnabled(false);

  GroupBoxOptions = new QGroupBox(QStringLiteral(" Options "), client);
  GroupBoxOptions->setGeometry(8, 88, 433, 81);
  LabelCompressionLevel =
      MakeLabel(GroupBoxOptions, 16, 24, 13, QStringLiteral("Compression &Level:"));
  ComboBoxCompressionLevel = MakeList(GroupBoxOptions, 120, 20, 113, 21,
                                      {QStringLiteral("Default"), QStringLiteral("Fastest"),
                                       QStringLiteral("Max"), QStringLiteral("None")});
  LabelRestoreMode = MakeLabel(GroupBoxOptions, 16, 48, 13, QStringLiteral("Restore &Mode:"));
  ComboBoxRestoreMode =
      MakeList(GroupBoxOptions, 120, 44, 113, 21,
               {QStringLiteral("All"), QStringLiteral("No Overwrite"), QStringLiteral("Newer"),
                QStringLiteral("Existing"), QStringLiteral("Existing Newer")});
  CheckBoxSubDirs =
      MakeCheckBox(GroupBoxOptions, 240, 46, 105, 17, QStringLiteral("s&ub-directories"));
  CheckBoxSubDirs->setChecked(true);
  // Beside sub-directories, which it goes with: both say what the walk enters.
  CheckBoxHidden = MakeCheckBox(GroupBoxOptions, 348, 46, 76, 17, QStringLiteral("hidde&n"));
  EditSize = MakeEdit(GroupBoxOptions, 320, 20, 54, 21);
  EditSize->setText(QStringLiteral("10"));
  ComboBoxSize = MakeList(GroupBoxOptions, 376, 20, 41, 21,
                          {QStringLiteral("Kb"), QStringLiteral("Mb"), QStringLiteral("Gb")});
  // At 41 pixels the theme's arrow would leave no room for the unit.
  MakeCompact(ComboBoxSize);
  CheckBoxSize = MakeCheckBox(GroupBoxOptions, 240, 22, 73, 17, QStringLiteral("Limit si&ze"));

  CGauge1 = new widgets::TCGauge(client);
  CGauge1->setGeometry(8, 176, 433, 17);
  ButtonBackup = MakeButton(client, 80, 200, 89, 25, QStringLiteral("&Backup"));
  ButtonRestore = MakeButton(client, 176, 200, 89, 25, QStringLiteral("&Restore"));
  ButtonStop = MakeButton(client, 272, 200, 89, 25, QStringLiteral("S&top"));

  // A label's mnemonic works its row's picker or list; the path edits
  // only show what was picked.
  LabelBackupFile->setBuddy(ButtonBackupFile);
  LabelBackupFolder->setBuddy(ButtonBackupFolder);
  LabelRestoreFolder->setBuddy(ButtonRestoreFolder);
  LabelCompressionLevel->setBuddy(ComboBoxCompressionLevel);
  LabelRestoreMode->setBuddy(ComboBoxRestoreMode);
  for (QLabel* label : {LabelBackupFile, LabelBackupFolder, LabelRestoreFolder,
                        LabelCompressionLevel, LabelRestoreMode})
    SetLabelCaption(label, label->text());

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setFixedHeight(19);
  StatusText = new QLabel(StatusBar1);
  StatusText->setTextFormat(Qt::PlainText);
  // The label takes the room the bar gives it, not what its text asks for.
  StatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  StatusBar1->addWidget(StatusText, 1);
  setStatusBar(StatusBar1);

  const std::pair<QObject*, const char*> names[] = {
      {LabelBackupFile, "LabelBackupFile"},
      {EditBackupFile, "EditBackupFile"},
      {ButtonBackupFile, "ButtonBackupFile"},
      {LabelBackupFolder, "LabelBackupFolder"},
      {EditBackupFolder, "EditBackupFolder"},
      {ButtonBackupFolder, "ButtonBackupFolder"},
      {LabelRestoreFolder, "LabelRestoreFolder"},
      {EditRestoreFolder, "EditRestoreFolder"},
      {ButtonRestoreFolder, "ButtonRestoreFolder"},
      {GroupBoxOptions, "GroupBoxOptions"},
      {LabelCompressionLevel, "LabelCompressionLevel"},
      {ComboBoxCompressionLevel, "ComboBoxCompressionLevel"},
      {LabelRestoreMode, "LabelRestoreMode"},
      {ComboBoxRestoreMode, "ComboBoxRestoreMode"},
      {CheckBoxSubDirs, "CheckBoxSubDirs"},
      {CheckBoxHidden, "CheckBoxHidden"},
      {EditSize, "EditSize"},
      {ComboBoxSize, "ComboBoxSize"},
      {CheckBoxSize, "CheckBoxSize"},
      {CGauge1, "CGauge1"},
      {ButtonBackup, "ButtonBackup"},
      {ButtonRestore, "ButtonRestore"},
      {ButtonStop, "ButtonStop"},
      {StatusBar1, "StatusBar1"},
  };
  for (const auto& [object, name] : names) object->setObjectName(QString::fromLatin1(name));
}

void TForm1::SetTabOrder() {
  // The window's own order first (Backup, Restore, Stop, then the path rows
  // and the group box), then the group box's.
  QWidget* const order[] = {ButtonBackup,
                            ButtonRestore,
                            ButtonStop,
                            EditBackupFile,
                            ButtonBackupFile,
                            EditBackupFolder,
                            ButtonBackupFolder,
                            EditRestoreFolder,
                            ButtonRestoreFolder,
                            GroupBoxOptions,
                            ComboBoxCompressionLevel,
                            ComboBoxRestoreMode,
                            CheckBoxSubDirs,
                            CheckBoxHidden,
                            EditSize,
                            ComboBoxSize,
                            CheckBoxSize};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  ButtonBackup->setFocus();
}

void TForm1::ConnectHandlers() {
  connect(MExit, &QAction::triggered, this, [this] { Guard([this] { MExitClick(); }); });
  connect(MOpenArchive, &QAction::triggered, this,
          [this] { Guard([this] { MOpenArchiveClick(); }); });
  connect(MShowContents, &QAction::triggered, this,
          [this] { Guard([this] { MShowContentsClick(); }); });
  connect(MTestArchive, &QAction::triggered, this,
          [this] { Guard([this] { MTestArchiveClick(); }); });
  connect(MAbout, &QAction::triggered, this, [this] { Guard([this] { MAboutClick(); }); });
  connect(MLangEnglish, &QAction::triggered, this,
          [this] { Guard([this] { MLangEnglishClick(); }); });
  connect(MLangRussian, &QAction::triggered, this,
          [this] { Guard([this] { MLangRussianClick(); }); });
  for (int i = 0; i < MRecoveryChoices.size(); ++i) {
    const int32_t percent = kRecoveryChoices[i];
    connect(MRecoveryChoices[i], &QAction::triggered, this,
            [this, percent] { Guard([this, percent] { MRecoveryClick(percent); }); });
  }
  const std::pair<QPushButton*, void (TForm1::*)()> buttons[] = {
      {ButtonBackup, &TForm1::ButtonBackupClick},
      {ButtonRestore, &TForm1::ButtonRestoreClick},
      {ButtonStop, &TForm1::ButtonStopClick},
      {ButtonBackupFile, &TForm1::ButtonBackupFileClick},
      {ButtonBackupFolder, &TForm1::ButtonBackupFolderClick},
      {ButtonRestoreFolder, &TForm1::ButtonRestoreFolderClick},
  };
  for (const auto& [button, handler] : buttons) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Guard([this, handler] { (this->*handler)(); }); });
  }
  // Only a user's choice runs a list's change handler, not a selection
  // made from code.
  connect(ComboBoxCompressionLevel, &QComboBox::activated, this,
          [this] { Guard([this] { ComboBoxCompressionLevelChange(); }); });
  connect(ComboBoxRestoreMode, &QComboBox::activated, this,
          [this] { Guard([this] { ComboBoxRestoreModeChange(); }); });
  connect(ComboBoxSize, &QComboBox::activated, this,
          [this] { Guard([this] { ComboBoxSizeChange(); }); });
  connect(EditSize, &QLineEdit::textChanged, this, [this] { Guard([this] { EditSizeChange(); }); });
  connect(CheckBoxSize, &QCheckBox::toggled, this,
          [this] { Guard([this] { CheckBoxSizeClick(); }); });
  connect(CheckBoxSubDirs, &QCheckBox::toggled, this,
          [this] { Guard([this] { CheckBoxSubDirsClick(); }); });
  connect(CheckBoxHidden, &QCheckBox::toggled, this,
          [this] { Guard([this] { CheckBoxHiddenClick(); }); });
}

void TForm1::FormCreate() {
  SetApplicationTitle(windowTitle());
  AboutBox = std::make_unique<TAboutBox>();
  Values = ReadSettings(SettingsPath, DefaultDataFolder(AppFolder));
  ShowValues();
  LoadLanguage(Values.LanguageName);
  BackupEngine.OnError = [this](TBackupFile& Sender, int32_t Error, const std::string& ErrString) {
    EngineError(Sender, Error, ErrString);
  };
  BackupEngine.OnProgress = [this](TBackupFile& Sender, const std::string& Name,
                                   TPercentage Percent,
                                   bool& GoOn) { EngineProgress(Sender, Name, Percent, GoOn); };
  BackupEngine.OnNeedDisk = [this](TBackupFile& Sender, uint16_t Disk, bool& GoOn) {
    EngineNeedDisk(Sender, Disk, GoOn);
  };
  BackupEngine.OnDamage = [this](TBackupFile& Sender, const TDamage& Damage) {
    EngineDamage(Sender, Damage);
  };
  BackupEngine.OnNameClash = [this](TBackupFile& Sender, const std::string& Stored,
                                    const std::string& Earlier, const std::string& Target) {
    EngineNameClash(Sender, Stored, Earlier, Target);
  };
  BackupEngine.OnRestoreFile = [this](TBackupFile& Sender, std::string& Name, int32_t Stamp,
                                      bool& DoRestore) {
    EngineRestoreFile(Sender, Name, Stamp, DoRestore);
  };
  RebuildRecentMenu();
}

void TForm1::ShowValues() {
  EditBackupFile->setText(Values.BackupFileName);
  EditBackupFolder->setText(Values.BackupFolder);
  EditRestoreFolder->setText(Values.RestoreFolder);
  EditSize->setText(QString::number(Values.SizeValue));
  CheckBoxSize->setChecked(Values.LimitSize);
  for (int i = 0; i < MRecoveryChoices.size(); ++i)
    MRecoveryChoices[i]->setChecked(kRecoveryChoices[i] == Values.RecoveryPercent);
  EditSize->setEnabled(Values.LimitSize);
  ComboBoxSize->setEnabled(Values.LimitSize);
  CheckBoxSubDirs->setChecked(Values.SubDirs);
  CheckBoxHidden->setChecked(Values.Hidden);
}

void TForm1::SelectListItems() {
  // An index outside a list leaves it without a selection.
  ComboBoxSize->setCurrentIndex(Values.SizeUnit);
  ComboBoxCompressionLevel->setCurrentIndex(Values.LevelIndex);
  ComboBoxRestoreMode->setCurrentIndex(Values.ModeIndex);
}

void TForm1::FormShow() {
  SelectListItems();
}

void TForm1::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  // Before the bar was laid out the line could not be fitted to it.
  if (statusText_) SetStatus(statusText_());
  if (!Event->spontaneous()) Guard([this] { FormShow(); });
}

void TForm1::FormClose() {
  QString error;
  if (!WriteSettings(SettingsPath, Values, error))
    Dialogs.ShowError(ApplicationTitle(), Text("Message->SettingsNotWritten").arg(SettingsPath));
}

void TForm1::closeEvent(QCloseEvent* Event) {
  // Settings are written when the close is asked for; a close that only
  // completes after a running operation does not write them again.
  if (!settingsWritten_) Guard([this] { FormClose(); });
  if (BackupEngine.Busy() || running_ != TOperation::None) {
    // The operation runs on inside its button handler; the window closes
    // when that returns.
    settingsWritten_ = true;
    closeRequested_ = true;
    Event->ignore();
    return;
  }
  settingsWritten_ = false;
  for (const QPointer<TArchiveWindow>& window : archiveWindows_)
    if (window) window->close();
  Event->accept();
}

void TForm1::MExitClick() {
  close();
}

void TForm1::Guard(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (const std::exception& error) {
    Dialogs.ShowError(ApplicationTitle(), EngineText(error.what()));
  }
  // A close asked for during an operation ends the application only after
  // the command, and any failure it had to show, is over: an error box runs
  // its own event loop, and a close queued earlier would sweep it away.
  if (closeRequested_ && running_ == TOperation::None) {
    closeRequested_ = false;
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void TForm1::SetStatus(const QString& Line) {
  // A path and the system's reason may not fit the fixed window: the middle
  // of the line gives way, and the whole of it is the tip. Before the bar
  // is laid out there is no width to fit; the line is fitted when shown.
  statusLine_ = Line;
  const int room = StatusText->contentsRect().width();
  StatusText->setText(StatusText->isVisible() && room > 0
                          ? StatusText->fontMetrics().elidedText(Line, Qt::ElideMiddle, room)
                          : Line);
  StatusText->setToolTip(StatusText->text() == Line ? QString() : Line);
}

QString TForm1::StatusLine() const {
  return statusLine_;
}

void TForm1::ShowStatus(std::function<QString()> Text) {
  statusText_ = std::move(Text);
  SetStatus(statusText_());
}

widgets::TCGauge* TForm1::RunGauge() {
  return CGauge1;
}

void TForm1::SetRunShown(bool) {
  // The main window's Stop button is always there.
}

TTextSource TForm1::TextSource() const {
  return [this](const QString& Key) { return Text(Key); };
}

TErrorText TForm1::ErrorTextSource() const {
  return [this](int32_t Code) { return ErrorText(Code); };
}

TEngineText TForm1::EngineTextSource() const {
  return [this](const std::string& English) { return EngineText(English); };
}

}  // namespace kelmora::app
