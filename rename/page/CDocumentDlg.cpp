#include "rename/page/CDocumentDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "shell/Controls.h"
#include "shell/QtText.h"
#include "platform/Shell.h"

namespace brenvik {
namespace {

struct TypeBox {
  int id;
  uint32_t bit;
};
// The type boxes in their order on the page: a document type's caption is its extension, a media
// kind's its name. The document types are ticked when the page opens; photos, songs and videos
// only when the user asks for them.
constexpr std::array<TypeBox, 11> kTypeBoxes{{{4801, kRenameDoc},
                                              {4802, kRenameXls},
                                              {4803, kRenameDocx},
                                              {4804, kRenameXlsx},
                                              {4805, kRenameZip},
                                              {4806, kRenameRar},
                                              {4807, kRenamePdf},
                                              {4815, kRenameTxt},
                                              {4818, kRenamePhotos},
                                              {4819, kRenameMusic},
                                              {4820, kRenameVideos}}};

QString TypeCaption(uint32_t bit) {
  for (size_t i = 0; i < kRenameTypeExtensions.size(); ++i)
    if (bit == uint32_t{1} << i) return QString::fromLatin1(kRenameTypeExtensions[i]);
  for (const RenameMediaKind& kind : kRenameMediaKinds)
    if (bit == kind.bit) return QString::fromLatin1(kind.caption);
  return {};
}

const QString kErrorCaption = QStringLiteral("Error");

ListRow MakeRow(int32_t index, const std::u16string& path, FileIdentity identity) {
  ListRow row;
  row.cells = {QString::number(index), ToQString(path)};
  row.data = IdentityData(identity);
  return row;
}

}  // namespace

// Turns the passes' reports into channel posts; the channels apply them on the GUI thread.
class CDocumentDlg::PageReporter : public RenameReporter {
 public:
  explicit PageReporter(CDocumentDlg& page) : page_(page) {}
  void AddRow(const RenameRow& row) override { page_.rowChannel_.post(MakeRow(row.index, row.path, row.identity)); }
  void RowDone(int32_t position) override { page_.doneChannel_.post(position); }
  void Status(std::u16string_view text) override { page_.statusChannel_.post({ToQString(text)}); }
  void Tally(const RenameNumbers& tally) override {
    page_.statusChannel_.post({QString(), tally.count, tally.total});
  }

 private:
  CDocumentDlg& page_;
};

CDocumentDlg::CDocumentDlg(PageHost& host, QWidget* parent, std::optional<ContentReaders> readers)
    : ToolPage(host, QStringLiteral("File Rename"), parent),
      showInFileManager(ShowInFileManager),
      readers_(readers ? std::move(*readers) : DocumentContentReaders(&stopFlag())),
      statusChannel_(this,
                     [this](const StatusLine& line) {
                       if (line.count < 0) status_->setText(Tr(line.text));
                       else if (line.total < 0) status_->setText(Tr(NumbersText(line.count)));
                       else status_->setText(Tr(NumbersText(line.count, line.total)));
                     }),
      rowChannel_(this, [this](std::vector<ListRow> rows) { model_->appendRows(std::move(rows)); }),
      doneChannel_(this, [this](std::vector<int32_t> rows) {
        for (int32_t row : rows) model_->setChecked(row, false);
      }),
      reporter_(std::make_unique<PageReporter>(*this)) {
  MakeGroup(this, QStringLiteral("Extension"), DluRect(7, 3, 447, 27));
  for (size_t i = 0; i < kTypeBoxes.size(); ++i) {
    const bool document = (kTypeBoxes[i].bit & kRenameDocumentTypes) != 0;
    // The media names are longer than the extensions.
    const int x = i < 8 ? 15 + 36 * static_cast<int>(i) : 303 + 48 * static_cast<int>(i - 8);
    typeBoxes_[i] = MakeCheckBox(this, kTypeBoxes[i].id, TypeCaption(kTypeBoxes[i].bit),
                                 DluRect(x, 14, i < 8 ? 34 : 46, 10), document);
  }

  MakeLabel(this, 0, QStringLiteral("Path:"), DluRect(460, 15, 20, 8));
  pathEdit_ = MakeEdit(this, 4808, QStringLiteral("Path:"), DluRect(482, 13, 135, 13));
  QPushButton* browse = MakeButton(this, 4809, QStringLiteral("..."), DluRect(621, 13, 24, 13));
  connect(browse, &QPushButton::clicked, this, [this] { pickFolderInto(pathEdit_); });

  model_ = new CheckListModel({QStringLiteral("Index"), QStringLiteral("Path")}, true, this);
  list_ = new CheckListView(model_, this);
  list_->setGeometry(DluRect(7, 34, 638, 252));
  SetControlId(list_, 4810, QStringLiteral("File list"));
  list_->setColumnWidths({100, -1});
  connect(list_, &QWidget::customContextMenuRequested, this, &CDocumentDlg::showRowMenu);
  connect(model_, &QAbstractItemModel::dataChanged, this, &CDocumentDlg::followCheckMarks);

  rowMenu_ = new QMenu(this);
  SetControlId(rowMenu_, 4816, QStringLiteral("File menu"));
  QAction* gotoAction = rowMenu_->addAction(Tr(QStringLiteral("Goto Path")));
  gotoAction->setObjectName(QStringLiteral("4817"));
  connect(gotoAction, &QAction::triggered, this, &CDocumentDlg::gotoPath);
  addUndoLastJobItem(
      rowMenu_, [this] { return checkedRoot_.path.empty() ? QStringToPath(pathEdit_->text()) : checkedRoot_.path; },
      kRenameJournalTool);

  status_ = MakeStatusLine(this, 4814, QStringLiteral("Status"), QString(), DluRect(7, 295, 400, 10));
  connect(MakeButton(this, 4811, QStringLiteral("Check"), DluRect(485, 291, 50, 16)), &QPushButton::clicked, this,
          &CDocumentDlg::check);
  connect(MakeButton(this, 4812, QStringLiteral("Rename"), DluRect(540, 291, 50, 16)), &QPushButton::clicked, this,
          &CDocumentDlg::rename);
  connect(MakeButton(this, 4813, QStringLiteral("Stop"), DluRect(595, 291, 50, 16)), &QPushButton::clicked, this,
          [this] { stopFlag() = 1; });
}

// The worker uses the channels and the reporter: it must end before they go.
CDocumentDlg::~CDocumentDlg() { stopAndWait(); }

void CDocumentDlg::refusePath() {
  showMessage(ToQString(kSetPathCorrectlyText), kErrorCaption, MessageIcon::Error);
}

void CDocumentDlg::check() {
  if (refuseIfBusy()) return;
  model_->clear();
  choices_ = {};  // a Check numbers from 1 again, and selects only what its boxes say
  const QString root = pathEdit_->text();
  for (size_t i = 0; i < kTypeBoxes.size(); ++i)
    if (typeBoxes_[i]->isChecked()) choices_.selectedTypes |= kTypeBoxes[i].bit;
  if (const std::u16string_view refusal = RenameCheckRefusal(QStringToPath(root), choices_.selectedTypes);
      !refusal.empty()) {
    showMessage(ToQString(refusal), kErrorCaption, MessageIcon::Error);
    return;
  }
  choices_.settings = settings();

  checkedRoot_ = {QStringToPath(root), {}};
  startJob([this, request = RenameCheckRequest{choices_, checkedRoot_.path}] {
             return RunRenameCheck(request, stopFlag(), *reporter_);
           },
           [this](const RenameCheckOutcome& outcome) {
             checkedRoot_.identity = outcome.rootIdentity;
             if (choices_.settings.cacheMode == kCacheModeFiles) resultFile_ = outcome.resultFile;
             if (outcome.end == RenameCheckEnd::Refused) refusePath();
             if (EndsCompleted(outcome.end))
               showCompletion(QStringLiteral("Detect File Rename completed"));
           });
}

void CDocumentDlg::rename() {
  if (refuseIfBusy()) return;
  // The numbering and the selected types stay as the last Check left them.
  choices_.settings = settings();
  // A pass without a result file or journal ends on its failure text alone.
  const auto done = [this](RenameEnd end) {
    if (EndsCompleted(end)) showCompletion(QStringLiteral("File rename completed"));
  };

  if (choices_.settings.cacheMode == kCacheModeFiles) {
    startJob([this, request = RenameRequest{readers_, choices_, true, nullptr, resultFile_, checkedRoot_}] {
               return RunRename(request, stopFlag(), *reporter_);
             },
             [this, done](const RenamePassOutcome& outcome) {
               choices_.nextNumber = outcome.nextNumber;
               if (outcome.end != RenameEnd::ResultFileUnreadable) {
                 // The file is gone; forgetting its name keeps a later Rename off any namesake.
                 resultFile_.clear();
                 model_->clear();
               }
               done(outcome.end);
             });
    return;
  }

  // Rows stay, with their old paths; their check marks are followed while the pass runs.
  std::vector<std::u16string> paths;
  std::vector<FileIdentity> identities;
  paths.reserve(static_cast<size_t>(model_->rowCount()));
  identities.reserve(static_cast<size_t>(model_->rowCount()));
  for (int i = 0; i < model_->rowCount(); ++i) {
    paths.push_back(ToText(model_->row(i).cells[1]));
    identities.push_back(IdentityFromData(model_->row(i).data));
  }
  renamingRows_ = std::make_shared<ListRows>(std::move(paths), checkedRoot_, std::move(identities));
  for (int i = 0; i < model_->rowCount(); ++i) renamingRows_->checked[static_cast<size_t>(i)] = model_->isChecked(i);
  // The pass reads the rows through the request; holding them keeps them alive until it ends.
  startJob([this, rows = renamingRows_, request = RenameRequest{readers_, choices_, false, renamingRows_.get(), {}}] {
             return RunRename(request, stopFlag(), *reporter_);
           },
           [this, done](const RenamePassOutcome& outcome) {
             choices_.nextNumber = outcome.nextNumber;
             renamingRows_.reset();
             done(outcome.end);
           });
}

void CDocumentDlg::followCheckMarks(const QModelIndex& first, const QModelIndex& last, const QList<int>& roles) {
  if (!renamingRows_ || (!roles.isEmpty() && !roles.contains(Qt::CheckStateRole))) return;
  for (int row = first.row(); row <= last.row() && row < static_cast<int>(renamingRows_->checked.size()); ++row)
    renamingRows_->checked[static_cast<size_t>(row)] = model_->isChecked(row);
}

void CDocumentDlg::showRowMenu(const QPoint& position) {
  // Off the rows only the undo is offered: a cache-mode Rename empties the list.
  const QModelIndex index = list_->indexAt(position);
  if (index.isValid()) list_->setCurrentIndex(index);
  for (QAction* action : rowMenu_->actions())
    action->setEnabled(index.isValid() || action->objectName() == QStringLiteral("undoLastJob"));
  rowMenu_->popup(list_->viewport()->mapToGlobal(position));
}

void CDocumentDlg::gotoPath() {
  const QModelIndex index = list_->currentIndex();
  if (!index.isValid() || index.row() >= model_->rowCount()) return;
  showInFileManager(QStringToPath(model_->row(index.row()).cells[1]));
}

}  // namespace brenvik
