#include "invalid_files/page/CBadFileDlg.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "core/TextHelpers.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "platform/Shell.h"

namespace brenvik {
namespace {

enum ControlId {
  kPathBox = 3801,
  kBrowseButton = 3802,
  kResultList = 3803,
  kCheckButton = 3804,
  kDeleteButton = 3805,
  kStopButton = 3806,
  kNameRuleList = 3808,
  kExtensionList = 3809,
  kPatternBox = 3810,
  kPercentBox = 3811,
  kContentBox = 3812,
  kProgressLine = 3813,
  kMarkAll = 3814,
  kStateLine = 3815,
  kUnmarkAll = 3816,
  kGotoPath = 3817,
  kRemoveFiles = 3818,
  kSaveText = 3819,
  kDeleteEmptyBox = 3820,
  kSizeBox = 3821,
  kSizeMinimumBox = 3822,
  kSizeMaximumBox = 3823,
  kHeaderBox = 3824,
  kDamagedBox = 3825,
  kDuplicatesBox = 3826,
  kThumbnailsBox = 3827,
};

enum ResultColumn { kIndexColumn = 0, kSizeColumn = 1, kStatusColumn = 2, kPathColumn = 3, kReasonColumn = 4 };

// Removed rows are taken out of a long list at most this often while Delete runs.
constexpr qint64 kRemovalIntervalMs = 250;

// A row's data: the file's identity, then its verdict.
QVariant RowData(Verdict verdict, FileIdentity identity) {
  QVariantList data = IdentityData(identity).toList();
  data.append(static_cast<int>(verdict));
  return data;
}

Verdict VerdictOf(const ListRow& row) {
  const QVariantList data = row.data.toList();
  return data.size() == 3 ? static_cast<Verdict>(data[2].toInt()) : Verdict::Valid;
}

ListRow MakeResultRow(const ResultRow& row) {
  // Shared texts, so a million rows do not hold a million copies of "size".
  static const QString kStatus[] = {QString(),
                                    QStringLiteral("char"),
                                    QStringLiteral("type"),
                                    QStringLiteral("content"),
                                    QStringLiteral("size"),
                                    QStringLiteral("damaged"),
                                    QStringLiteral("tail"),
                                    QStringLiteral("duplicate"),
                                    QStringLiteral("thumbnail")};
  static_assert(std::size(kStatus) == static_cast<size_t>(kLastVerdict) + 1);
  ListRow list;
  list.cells = {QString::number(row.index), ToQString(FormatSizeText(row.size)),
                kStatus[static_cast<int>(row.verdict)], PathToQString(row.path), ToQString(row.reason)};
  // A tail row's file holds a whole original: it is shown unmarked and Delete passes over it.
  list.checked = IsRemovable(row.verdict);
  list.data = RowData(row.verdict, row.identity);
  return list;
}

}  // namespace

// Turns the job's reports into channel posts; runs on the worker thread and never touches a widget.
class CBadFileDlg::PageReporter : public InvalidFileReporter {
 public:
  explicit PageReporter(CBadFileDlg& page) : page_(page) {}
  void AddRow(const ResultRow& row) override { page_.rowChannel_.post({RowEvent::Add, MakeResultRow(row), -1}); }
  void RowDone(int32_t position) override { page_.rowChannel_.post({RowEvent::Remove, {}, position}); }
  void ClearRows() override { page_.rowChannel_.post({RowEvent::Clear, {}, -1}); }
  void Tally(const ScanTally& tally) override { page_.progressChannel_.post(tally); }
  void TallyFailure(std::u16string_view text) override { page_.progressChannel_.post(std::u16string(text)); }
  void Status(std::u16string_view text) override { page_.stateChannel_.post(ToQString(text)); }

 private:
  CBadFileDlg& page_;
};

CBadFileDlg::CBadFileDlg(PageHost& host, QWidget* parent)
    : ToolPage(host, QStringLiteral("Invalid Files"), parent),
      rowChannel_(this, [this](std::vector<RowEvent> events) { applyRowEvents(std::move(events)); }),
      progressChannel_(this, [this](const ProgressLine& line) { showProgressLine(line); }),
      stateChannel_(this, [this](const QString& text) { state_->setText(Tr(text)); }),
      reporter_(std::make_unique<PageReporter>(*this)) {
  buildControls();
}

CBadFileDlg::~CBadFileDlg() { stopAndWait(); }

CheckListView* CBadFileDlg::makeList(int id, const QString& label, QStringList headers, QRect rect) {
  auto* model = new CheckListModel(std::move(headers), true, this);
  auto* view = new CheckListView(model, this);
  view->setGeometry(rect);
  SetControlId(view, id, label);
  connect(view, &QWidget::customContextMenuRequested, this,
          [this, view](const QPoint& position) { showMenu(view, position); });
  return view;
}

void CBadFileDlg::buildControls() {
  MakeLabel(this, 0, QStringLiteral("Path:"), DluRect(7, 8, 20, 8));
  path_ = MakeEdit(this, kPathBox, QStringLiteral("Path:"), DluRect(30, 6, 330, 13), true);
  connect(MakeButton(this, kBrowseButton, QStringLiteral("..."), DluRect(364, 6, 20, 13)), &QPushButton::clicked,
          this, [this] { pickFolderInto(path_); });
  connect(MakeButton(this, kCheckButton, QStringLiteral("Check"), DluRect(394, 5, 50, 15)), &QPushButton::clicked,
          this, &CBadFileDlg::check);
  connect(MakeButton(this, kDeleteButton, QStringLiteral("Delete"), DluRect(452, 5, 50, 15)), &QPushButton::clicked,
          this, &CBadFileDlg::deleteFiles);
  connect(MakeButton(this, kStopButton, QStringLiteral("Stop"), DluRect(510, 5, 50, 15)), &QPushButton::clicked,
          this, [this] { stopFlag() = 1; });

  resultView_ = makeList(kResultList, QStringLiteral("Results"),
                         {QStringLiteral("Index"), QStringLiteral("Size"), QStringLiteral("Status"),
                          QStringLiteral("Path"), QStringLiteral("Reason")},
                         DluRect(7, 24, 437, 262));
  results_ = resultView_->listModel();
  // The size's unit ("17 Bytes"), the kind of invalid file, and why a file is damaged.
  results_->setTranslatedColumns({kSizeColumn, kStatusColumn, kReasonColumn});
  resultView_->setColumnWidths({100, 100, 100, 260, -1});

  const QString nameLabel = QStringLiteral("File Name(Invalid char):");
  MakeLabel(this, 0, nameLabel, DluRect(452, 24, 193, 8));
  nameRuleView_ = makeList(kNameRuleList, nameLabel, {QStringLiteral("String"), QStringLiteral("Type")},
                           DluRect(452, 33, 193, 82));
  nameRules_ = nameRuleView_->listModel();
  nameRules_->setTranslatedColumns({1});  // where in the name the string is looked for
  for (const NameRuleRow& rule : kDefaultNameRules)
    nameRules_->appendRow({{ToQString(rule.text), ToQString(rule.type)}, true, {}});

  const QString typeLabel = QStringLiteral("File Type(Extension):");
  MakeLabel(this, 0, typeLabel, DluRect(452, 119, 193, 8));
  extensionView_ = makeList(kExtensionList, typeLabel, {QStringLiteral("Index"), QStringLiteral("String")},
                            DluRect(452, 128, 193, 82));
  extensions_ = extensionView_->listModel();
  int index = 1;
  for (std::u16string_view extension : kDefaultExtensions)
    extensions_->appendRow({{QString::number(index++), ToQString(extension)}, true, {}});
  for (CheckListView* halves : {nameRuleView_, extensionView_}) halves->setColumnWidths({DluX(193) / 2, -1});

  sizeBox_ = MakeCheckBox(this, kSizeBox, QStringLiteral("Size:"), DluRect(452, 215, 32, 10), true);
  sizeMinimum_ = MakeDigitEdit(this, kSizeMinimumBox, QStringLiteral("Size minimum"), DluRect(486, 214, 64, 12));
  MakeLabel(this, 0, QStringLiteral("--"), DluRect(554, 216, 8, 8));
  sizeMaximum_ = MakeDigitEdit(this, kSizeMaximumBox, QStringLiteral("Size maximum"), DluRect(564, 214, 64, 12));
  sizeMinimum_->setText(QStringLiteral("0"));
  sizeMaximum_->setText(QStringLiteral("0"));
  connect(sizeBox_, &QCheckBox::toggled, this, [this](bool on) {
    sizeMinimum_->setEnabled(on);
    sizeMaximum_->setEnabled(on);
  });

  contentBox_ = MakeCheckBox(this, kContentBox, QStringLiteral("Content(4 Bytes):"), DluRect(452, 231, 88, 10), false);
  headerBox_ = MakeCheckBox(this, kHeaderBox, QStringLiteral("FileHeader"), DluRect(544, 231, 60, 10), true);
  MakeLabel(this, 0, QStringLiteral("Content:"), DluRect(452, 248, 36, 8));
  pattern_ = MakeEdit(this, kPatternBox, QStringLiteral("Content:"), DluRect(490, 246, 60, 12));
  pattern_->setText(QStringLiteral("DEADDEAD"));
  MakeLabel(this, 0, QStringLiteral("Percent:"), DluRect(555, 248, 36, 8));
  percent_ = MakeDigitEdit(this, kPercentBox, QStringLiteral("Percent:"), DluRect(592, 246, 36, 12));
  percent_->setText(QStringLiteral("50"));
  pattern_->setEnabled(false);
  percent_->setEnabled(false);
  connect(contentBox_, &QCheckBox::toggled, this, [this](bool on) {
    pattern_->setEnabled(on);
    percent_->setEnabled(on);
  });

  deleteEmptyBox_ =
      MakeCheckBox(this, kDeleteEmptyBox, QStringLiteral("Delete Empty Folders"), DluRect(452, 264, 100, 10), true);
  damagedBox_ = MakeCheckBox(this, kDamagedBox, QStringLiteral("Damaged"), DluRect(560, 264, 70, 10), false);
  duplicatesBox_ = MakeCheckBox(this, kDuplicatesBox, QStringLiteral("Duplicates"), DluRect(452, 277, 70, 10), false);
  thumbnailsBox_ = MakeCheckBox(this, kThumbnailsBox, QStringLiteral("Thumbnails"), DluRect(560, 277, 70, 10), false);

  progress_ = MakeStatusLine(this, kProgressLine, QStringLiteral("Progress"), QString(), DluRect(7, 292, 437, 10));
  state_ = MakeStatusLine(this, kStateLine, QStringLiteral("State"), QString(), DluRect(7, 305, 437, 10));

  menu_ = new QMenu(QStringLiteral("filename"), this);
  AddMenuItem(menu_, this, kMarkAll, QStringLiteral("Mark All"), [this] { setMenuTargetChecked(true); });
  AddMenuItem(menu_, this, kUnmarkAll, QStringLiteral("Unmark All"), [this] { setMenuTargetChecked(false); });
  AddMenuItem(menu_, this, kGotoPath, QStringLiteral("Goto Path"), [this] { gotoPath(); });
  AddMenuItem(menu_, this, kRemoveFiles, QStringLiteral("Remove Files"), [this] { removeFiles(); });
  AddMenuItem(menu_, this, kSaveText, QStringLiteral("Save Txt"), [this] { saveText(); });
  // A deletion keeps no journal; only moving aside can be undone.
  addUndoLastJobItem(
      menu_, [this] { return detector_.root.empty() ? QStringToPath(path_->text()) : detector_.root; },
      kInvalidFilesJournalTool,
      QStringLiteral("Files deleted without moving them aside cannot be brought back; only a Delete that moves "
                     "them aside to DEAD_DEAD_DEAD can be undone."));
}

CriteriaInput CBadFileDlg::criteriaFromControls() const {
  CriteriaInput input;
  input.root = ToText(path_->text());
  for (int row = 0; row < nameRules_->rowCount(); ++row)
    if (nameRules_->isChecked(row)) input.checkedNameRules.push_back(kDefaultNameRules[static_cast<size_t>(row)]);
  for (int row = 0; row < extensions_->rowCount(); ++row)
    if (extensions_->isChecked(row)) input.checkedExtensions.push_back(ToText(extensions_->row(row).cells[1]));
  input.sizeChecked = sizeBox_->isChecked();
  input.sizeMinimumText = ToText(sizeMinimum_->text());
  input.sizeMaximumText = ToText(sizeMaximum_->text());
  input.contentChecked = contentBox_->isChecked();
  input.patternText = ToText(pattern_->text());
  input.percentText = ToText(percent_->text());
  input.headerChecked = headerBox_->isChecked();
  input.damagedChecked = damagedBox_->isChecked();
  input.duplicatesChecked = duplicatesBox_->isChecked();
  input.thumbnailsChecked = thumbnailsBox_->isChecked();
  input.emptyFoldersFromLastDelete = emptyFoldersFromLastDelete_;
  return input;
}

void CBadFileDlg::check() {
  if (refuseIfBusy()) return;
  results_->clear();
  detector_.Reset();
  const CriteriaRefusal refusal = CollectCriteria(criteriaFromControls(), detector_);
  if (refusal != CriteriaRefusal::None) {
    detector_.Reset();
    showValidation(ToQString(RefusalText(refusal)));
    return;
  }
  const ScanRequest request{detector_, static_cast<CacheMode>(settings().cacheMode), settings().temporaryFolder};
  resultMode_ = request.mode;
  resultFile_.clear();
  startJob([this, request] { return RunInvalidFileScan(request, stopFlag(), *reporter_); },
           [this](const ScanOutcome& outcome) {
             resultFile_ = outcome.resultFile;
             scannedRootIdentity_ = outcome.rootIdentity;
             if (outcome.end == ScanEnd::Refused) showValidation(ToQString(RefusalText(CriteriaRefusal::Path)));
             if (EndsCompleted(outcome.end))
               showCompletion(ToQString(kDetectCompletedText));
           });
}

void CBadFileDlg::deleteFiles() {
  if (refuseIfBusy()) return;
  // Without a scanned root there is nothing to delete, and no folder to move into or clean up.
  if (detector_.root.empty()) {
    showValidation(ToQString(RefusalText(CriteriaRefusal::Path)));
    return;
  }
  emptyFoldersFromLastDelete_ = deleteEmptyBox_->isChecked();
  DeleteRequest request;
  request.root = detector_.root;
  request.rootIdentity = scannedRootIdentity_;
  request.moveAside = settings().cutToDead != 0;
  request.removeEmptyFolders = emptyFoldersFromLastDelete_;
  request.mode = resultMode_;
  request.resultFile = resultFile_;
  if (resultMode_ == kCacheModeList) {
    for (int row = 0; row < results_->rowCount(); ++row)
      if (results_->isChecked(row)) request.markedRows.push_back(markedRow(row));
  }
  pendingRemovals_.clear();
  lastRemovalApplied_ = QDateTime::currentMSecsSinceEpoch();
  startJob([this, request = std::move(request)] { return RunInvalidFileDelete(request, stopFlag(), *reporter_); },
           [this](const DeleteOutcome& outcome) {
             applyRemovals();
             // The cache-mode result is consumed (or could not be read; it is not tried again).
             if (resultMode_ == kCacheModeFiles) resultFile_.clear();
             // A failed Delete ends on its failure text alone.
             if (!EndsCompleted(outcome.end)) return;
             QString text = ToQString(kDeleteCompletedText);
             if (outcome.judgedKept > 0)
               text += QStringLiteral("\n") + ToQString(JudgedMovedAsideText(outcome.judgedKept));
             showCompletion(text);
           });
}

MarkedRow CBadFileDlg::markedRow(int row) const {
  const ListRow& listed = results_->row(row);
  return {row, QStringToPath(listed.cells[kPathColumn]), IdentityFromData(listed.data), VerdictOf(listed)};
}

void CBadFileDlg::showProgressLine(const ProgressLine& line) {
  if (const auto* tally = std::get_if<ScanTally>(&line)) {
    progress_->setText(Tr(FormatTallyText(*tally)));
  } else {
    progress_->setText(Tr(std::get<std::u16string>(line)));
  }
}

void CBadFileDlg::applyRowEvents(std::vector<RowEvent> events) {
  std::vector<ListRow> added;
  const auto appendAdded = [&] {
    results_->appendRows(std::move(added));
    added.clear();
  };
  for (RowEvent& event : events) {
    if (event.kind != RowEvent::Add) appendAdded();
    switch (event.kind) {
      case RowEvent::Add: added.push_back(std::move(event.row)); break;
      case RowEvent::Remove: pendingRemovals_.push_back(event.position); break;
      case RowEvent::Clear:
        pendingRemovals_.clear();
        results_->clear();
        break;
    }
  }
  appendAdded();
  // Removal rebuilds the list, so a long Delete takes rows out in batches; the last batch goes
  // when the job ends.
  if (QDateTime::currentMSecsSinceEpoch() - lastRemovalApplied_ >= kRemovalIntervalMs) applyRemovals();
}

void CBadFileDlg::applyRemovals() {
  lastRemovalApplied_ = QDateTime::currentMSecsSinceEpoch();
  if (pendingRemovals_.empty()) return;
  results_->removeRowsAt(std::move(pendingRemovals_));
  pendingRemovals_.clear();
}

void CBadFileDlg::showMenu(CheckListView* view, const QPoint& position) {
  // Off the rows only the undo is offered: a job may have emptied the list.
  const bool onRow = view->indexAt(position).isValid();
  menuTarget_ = view;
  const bool onResults = view == resultView_;
  for (QAction* action : menu_->actions()) {
    const int id = action->objectName().toInt();
    const bool undo = action->objectName() == QStringLiteral("undoLastJob");
    action->setEnabled(undo ? onResults : onRow && (onResults || id == kMarkAll || id == kUnmarkAll));
  }
  menu_->popup(view->viewport()->mapToGlobal(position));
}

void CBadFileDlg::setMenuTargetChecked(bool checked) {
  if (menuTarget_ != nullptr) menuTarget_->listModel()->setAllChecked(checked);
}

void CBadFileDlg::gotoPath() {
  const QModelIndex current = resultView_->currentIndex();
  if (!current.isValid()) return;
  ShowInFileManager(QStringToPath(results_->row(current.row()).cells[kPathColumn]));
}

void CBadFileDlg::removeFiles() {
  // Delete takes rows out of the list while it runs; the two must not meet.
  if (refuseIfBusy()) return;
  InvalidFileRemover remover(detector_.root, false, scannedRootIdentity_);
  std::vector<int> removed;
  for (int row = results_->rowCount() - 1; row >= 0; --row) {
    if (!results_->isChecked(row)) continue;
    const MarkedRow marked = markedRow(row);
    if (IsRemovable(marked.verdict) && remover.Delete(marked.path, marked.identity, marked.verdict)) removed.push_back(row);
  }
  results_->removeRowsAt(std::move(removed));
}

void CBadFileDlg::saveText() {
  const QString name = host().ui().chooseSaveFile(this, QStringLiteral("Save As"),
                                                  QStringLiteral("txt Files (*.txt);;All Files (*.*)"),
                                                  ToQString(MakeTimeStampName()), QStringLiteral("txt"));
  if (name.isEmpty()) return;
  std::vector<std::pair<std::u16string, std::u16string>> rows;
  rows.reserve(static_cast<size_t>(results_->rowCount()));
  for (int row = 0; row < results_->rowCount(); ++row) {
    const QStringList& cells = results_->row(row).cells;
    rows.emplace_back(ToText(cells[kSizeColumn]), ToText(cells[kPathColumn]));
  }
  if (!SaveResultList(QStringToPath(name), rows)) {
    showMessage(QStringLiteral("Failed to create file"), QStringLiteral("Error"), MessageIcon::Error);
    return;
  }
  showMessage(QStringLiteral("Save invalid files completed"), QStringLiteral("Tips"), MessageIcon::Information);
}

}  // namespace brenvik
