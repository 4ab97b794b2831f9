// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/archive_window.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/archive_model.h"
#include "app/main_window.h"
#include "app/name_filter.h"
#include "app/resources.h"
#include "widgets/cgauge.h"

namespace kelmora::app {

namespace {

// Typing pauses this long before the tree is narrowed: a hundred thousand
// names are not matched again on every key.
constexpr int kFilterPauseMs = 250;
// A filter that leaves this few files shows them all, every folder open.
constexpr int32_t kOpenAllBelow = 500;

}  // namespace

TArchiveWindow::TArchiveWindow(TForm1& Owner, const QString& Archive)
    : QMainWindow(&Owner, Qt::Window), owner_(Owner), archive_(Archive) {
  setObjectName(QStringLiteral("ArchiveWindow"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowIcon(ApplicationIcon());
  Model = new TArchiveModel(owner_.TextSource(), this);
  Build();
  Retranslate();
  resize(780, 520);
}

TArchiveWindow::~TArchiveWindow() = default;

void TArchiveWindow::Build() {
  auto* client = new QWidget(this);
  setCentralWidget(client);
  LabelFilter = new QLabel(client);
  EditFilter = new QLineEdit(client);
  EditFilter->setClearButtonEnabled(true);
  LabelFilter->setBuddy(EditFilter);
  ButtonRestore = new QPushButton(client);
  ButtonTest = new QPushButton(client);
  ButtonStop = new QPushButton(client);
  ButtonStop->setEnabled(false);
  for (QPushButton* b : {ButtonRestore, ButtonTest, ButtonStop}) b->setAutoDefault(false);
  LabelNotice = new QLabel(client);
  LabelNotice->setWordWrap(true);
  LabelNotice->setTextFormat(Qt::PlainText);
  LabelNotice->setStyleSheet(QStringLiteral(
      "QLabel { background: #fff4ce; color: #3a2f00; border: 1px solid #d8b850; padding: 4px; }"));
  LabelNotice->hide();
  Tree = new QTreeView(client);
  Tree->setModel(Model);
  // Every row the same height: the view then never measures rows it does
  // not show.
  Tree->setUniformRowHeights(true);
  Tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  Tree->setSortingEnabled(true);
  Tree->sortByColumn(TArchiveModel::ColumnName, Qt::AscendingOrder);
  Tree->setAllColumnsShowFocus(true);
  QHeaderView* header = Tree->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(TArchiveModel::ColumnName, QHeaderView::Stretch);
  const QFontMetrics metrics = Tree->fontMetrics();
  header->resizeSection(TArchiveModel::ColumnSize, metrics.horizontalAdvance("≈ 999.9 MB") + 24);
  header->resizeSection(TArchiveModel::ColumnPacked, metrics.horizontalAdvance("999.9 MB") + 24);
  header->resizeSection(TArchiveModel::ColumnDate,
                        metrics.horizontalAdvance("00.00.0000 00:00") + 24);
  header->resizeSection(TArchiveModel::ColumnVolume, metrics.horizontalAdvance("000–000") + 24);
  LabelTotals = new QLabel(client);
  LabelTotals->setTextFormat(Qt::PlainText);
  Gauge = new widgets::TCGauge(client);
  Gauge->setFixedHeight(17);
  // Shown from the first run started here on; idle it would only say 0%.
  Gauge->hide();

  auto* top = new QHBoxLayout;
  top->addWidget(LabelFilter);
  top->addWidget(EditFilter, 1);
  top->addWidget(ButtonRestore);
  top->addWidget(ButtonTest);
  top->addWidget(ButtonStop);
  auto* layout = new QVBoxLayout(client);
  layout->setContentsMargins(8, 8, 8, 4);
  layout->addLayout(top);
  layout->addWidget(LabelNotice);
  layout->addWidget(Tree, 1);
  layout->addWidget(LabelTotals);
  layout->addWidget(Gauge);

  Status = new QStatusBar(this);
  Status->setSizeGripEnabled(true);
  StatusText = new QLabel(Status);
  StatusText->setTextFormat(Qt::PlainText);
  StatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  Status->addWidget(StatusText, 1);
  setStatusBar(Status);

  filterTimer_ = new QTimer(this);
  filterTimer_->setSingleShot(true);
  filterTimer_->setInterval(kFilterPauseMs);
  connect(filterTimer_, &QTimer::timeout, this, [this] { ApplyFilter(); });
  connect(EditFilter, &QLineEdit::textChanged, filterTimer_, qOverload<>(&QTimer::start));
  connect(ButtonRestore, &QPushButton::clicked, this,
          [this] { owner_.Guard([this] { owner_.RestoreChosen(*this, ChosenEntries()); }); });
  connect(ButtonTest, &QPushButton::clicked, this,
          [this] { owner_.Guard([this] { owner_.TestArchive(archive_, this); }); });
  connect(ButtonStop, &QPushButton::clicked, this,
          [this] { owner_.Guard([this] { owner_.ButtonStopClick(); }); });
}

bool TArchiveWindow::Load() {
  loading_ = true;
  const bool read = owner_.ListArchive(*this);
  loading_ = false;
  if (!read) return false;
  setWindowTitle(RestingTitle());
  ShowTotals();
  OpenLeadingFolders();
  return true;
}

void TArchiveWindow::ApplyFilter() {
  filterTimer_->stop();
  Model->SetFilter(TNameFilter(EditFilter->text()));
  if (!EditFilter->text().trimmed().isEmpty() && Model->ShownTotals().Files <= kOpenAllBelow)
    Tree->expandAll();
  else
    OpenLeadingFolders();
  ShowTotals();
}

void TArchiveWindow::OpenLeadingFolders() {
  for (const QModelIndex& folder : Model->LeadingFolders()) Tree->expand(folder);
}

std::vector<int32_t> TArchiveWindow::ChosenEntries() const {
  // A pending filter counts: what the field says is what is chosen from.
  if (filterTimer_->isActive()) const_cast<TArchiveWindow*>(this)->ApplyFilter();
  return Model->FilesUnder(Tree->selectionModel()->selectedRows(TArchiveModel::ColumnName));
}

void TArchiveWindow::ShowTotals() {
  const TArchiveTotals all = Model->AllTotals();
  const TArchiveTotals shown = Model->ShownTotals();
  const TTextSource text = owner_.TextSource();
  const auto size = [&text](const TArchiveTotals& T) {
    const QString bytes = FormatSize(T.Size, text);
    return T.Estimated > 0 ? text(QStringLiteral("Contents->Estimate")).arg(bytes) : bytes;
  };
  QString line;
  if (!Title.empty())
    line = owner_.Text("Contents->Title").arg(QString::fromStdString(Title)) + " - ";
  if (shown.Files == all.Files) {
    line += owner_.Text("Contents->Totals")
                .arg(FormatCount(all.Files), FormatCount(all.Folders), size(all),
                     FormatSize(all.Packed, text), FormatCount(Volumes));
  } else {
    line += owner_.Text("Contents->Shown")
                .arg(FormatCount(shown.Files), FormatCount(all.Files), size(shown),
                     FormatSize(shown.Packed, text));
  }
  LabelTotals->setText(line);
}

void TArchiveWindow::SetNotice(std::function<QString()> Text) {
  noticeText_ = std::move(Text);
  LabelNotice->setVisible(static_cast<bool>(noticeText_));
  LabelNotice->setText(noticeText_ ? noticeText_() : QString());
}

QString TArchiveWindow::Notice() const {
  return noticeText_ ? noticeText_() : QString();
}

void TArchiveWindow::ShowStatus(std::function<QString()> Text) {
  statusText_ = std::move(Text);
  statusLine_ = statusText_();
  const int room = StatusText->contentsRect().width();
  StatusText->setText(StatusText->isVisible() && room > 0
                          ? StatusText->fontMetrics().elidedText(statusLine_, Qt::ElideMiddle, room)
                          : statusLine_);
  StatusText->setToolTip(StatusText->text() == statusLine_ ? QString() : statusLine_);
}

QString TArchiveWindow::RestingTitle() const {
  QString title = QFileInfo(archive_).fileName();
  if (!Title.empty()) title += " - " + QString::fromStdString(Title);
  return title + " - " + TForm1::kCaption;
}

void TArchiveWindow::Retranslate() {
  LabelFilter->setText(owner_.Text("Contents->Filter"));
  EditFilter->setPlaceholderText(owner_.Text("Contents->FilterHint"));
  ButtonRestore->setText(owner_.Text("Contents->Restore"));
  ButtonTest->setText(owner_.Text("Contents->Test"));
  ButtonStop->setText(owner_.Text("Contents->Stop"));
  Model->Retranslate();
  ShowTotals();
  if (noticeText_) LabelNotice->setText(noticeText_());
  if (statusText_) ShowStatus(statusText_);
}

void TArchiveWindow::SetCommandsEnabled(bool Enabled) {
  ButtonRestore->setEnabled(Enabled);
  ButtonTest->setEnabled(Enabled);
}

void TArchiveWindow::SetRunShown(bool Shown) {
  runShown_ = Shown;
  ButtonStop->setEnabled(Shown);
  // A listing shows its count in the status line; a restore or test, the
  // gauge as well, which then keeps showing how the last one ended.
  if (Shown && !loading_) Gauge->show();
}

void TArchiveWindow::closeEvent(QCloseEvent* Event) {
  // The run shown here goes on inside a handler of this window: it is
  // stopped first, and the window closes when asked again.
  if (runShown_) {
    owner_.ButtonStopClick();
    Event->ignore();
    return;
  }
  QMainWindow::closeEvent(Event);
}

}  // namespace kelmora::app
