#include "shell/CheckListModel.h"

#include <QHeaderView>
#include <algorithm>

#include "shell/QtText.h"

namespace brenvik {

CheckListModel::CheckListModel(QStringList headers, bool checkable, QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)), checkable_(checkable) {}

int CheckListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CheckListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant CheckListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const ListRow& r = rows_[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
    const QString cell = index.column() < r.cells.size() ? r.cells[index.column()] : QString();
    return translatedColumns_.contains(index.column()) ? Tr(cell) : cell;
  }
  if (role == Qt::CheckStateRole && checkable_ && index.column() == 0) return r.checked ? Qt::Checked : Qt::Unchecked;
  if (role == Qt::UserRole) return r.data;
  return {};
}

bool CheckListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || !checkable_ || index.column() != 0) return false;
  setChecked(index.row(), value.toInt() == Qt::Checked);
  return true;
}

QVariant CheckListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < headers_.size()) return Tr(headers_[section]);
  return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags CheckListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (checkable_ && index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

void CheckListModel::appendRow(ListRow row) {
  const int at = static_cast<int>(rows_.size());
  beginInsertRows({}, at, at);
  rows_.push_back(std::move(row));
  endInsertRows();
}

void CheckListModel::appendRows(std::vector<ListRow> rows) {
  if (rows.empty()) return;
  const int at = static_cast<int>(rows_.size());
  beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
  for (auto& r : rows) rows_.push_back(std::move(r));
  endInsertRows();
}

void CheckListModel::clear() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

void CheckListModel::removeCheckedRows() {
  std::vector<int> checked;
  for (int row = 0; row < rowCount(); ++row)
    if (isChecked(row)) checked.push_back(row);
  removeRowsAt(std::move(checked));
}

void CheckListModel::removeRowsAt(std::vector<int> rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.empty()) return;
  // One reset instead of a removal per row: Delete may drop hundreds of thousands of rows.
  beginResetModel();
  std::deque<ListRow> kept;
  auto next = rows.begin();
  for (int i = 0; i < static_cast<int>(rows_.size()); ++i) {
    while (next != rows.end() && *next < i) ++next;
    if (next != rows.end() && *next == i) continue;
    kept.push_back(std::move(rows_[static_cast<size_t>(i)]));
  }
  rows_.swap(kept);
  endResetModel();
}

void CheckListModel::setChecked(int index, bool checked) {
  if (index < 0 || index >= rowCount()) return;
  rows_[static_cast<size_t>(index)].checked = checked;
  const QModelIndex cell = this->index(index, 0);
  emit dataChanged(cell, cell, {Qt::CheckStateRole});
}

void CheckListModel::setAllChecked(bool checked) {
  if (rows_.empty()) return;
  for (auto& r : rows_) r.checked = checked;
  emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

void CheckListModel::setCell(int rowIndex, int column, const QString& text) {
  if (rowIndex < 0 || rowIndex >= rowCount()) return;
  QStringList& cells = rows_[static_cast<size_t>(rowIndex)].cells;
  while (cells.size() <= column) cells.append(QString());
  cells[column] = text;
  const QModelIndex cell = index(rowIndex, column);
  emit dataChanged(cell, cell, {Qt::DisplayRole});
}

CheckListView::CheckListView(CheckListModel* model, QWidget* parent) : QTableView(parent), model_(model) {
  setModel(model);
  setShowGrid(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  horizontalHeader()->setHighlightSections(false);
  setWordWrap(false);
  setContextMenuPolicy(Qt::CustomContextMenu);
  // Tab leaves the list for the next control (the arrow keys move between rows); otherwise Tab
  // walks the cells and keyboard focus never gets past a filled list.
  setTabKeyNavigation(false);
}

void CheckListView::setColumnWidths(const std::vector<int>& widths) {
  for (size_t i = 0; i < widths.size(); ++i) {
    if (widths[i] >= 0) {
      setColumnWidth(static_cast<int>(i), widths[i]);
    } else {
      horizontalHeader()->setStretchLastSection(true);
    }
  }
}

}  // namespace brenvik
