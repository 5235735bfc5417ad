#pragma once
// The list views of the tool pages: a table of text rows, optionally with a check mark in the
// first column (rows inserted checked), shown in a grid with full-row selection.
#include <QAbstractTableModel>
#include <QStringList>
#include <QTableView>
#include <QVariant>
#include <deque>
#include <vector>

namespace brenvik {

struct ListRow {
  QStringList cells;
  bool checked = true;
  QVariant data;  // what the page needs to act on the row (a path, an index, ...)
};

class CheckListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  CheckListModel(QStringList headers, bool checkable, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  void appendRow(ListRow row);
  void appendRows(std::vector<ListRow> rows);
  void clear();
  // Removes the rows with the given indices (any order, duplicates allowed).
  void removeRowsAt(std::vector<int> rows);
  void removeCheckedRows();  // the list menus' "Remove files"

  const ListRow& row(int index) const { return rows_[static_cast<size_t>(index)]; }
  bool isChecked(int index) const { return rows_[static_cast<size_t>(index)].checked; }
  void setChecked(int index, bool checked);
  void setAllChecked(bool checked);  // Mark All / Unmark All
  void setCell(int rowIndex, int column, const QString& text);
  // Columns whose cells are texts for people (message rows, kinds), shown in the user's language;
  // the rows keep the source texts, so the page reads back what it stored. Other columns hold
  // names and numbers and are shown as they are.
  void setTranslatedColumns(QList<int> columns) { translatedColumns_ = std::move(columns); }
  const QList<int>& translatedColumns() const { return translatedColumns_; }

 private:
  QStringList headers_;
  bool checkable_;
  QList<int> translatedColumns_;
  // A deque, so a list growing to a million rows never stalls the GUI moving them all at once.
  std::deque<ListRow> rows_;
};

// A QTableView set up as the tools' list views: grid lines, full-row selection, no row header.
class CheckListView : public QTableView {
  Q_OBJECT
 public:
  CheckListView(CheckListModel* model, QWidget* parent);
  CheckListModel* listModel() const { return model_; }
  // Fixed column widths in pixels; the last column may be -1 to take the remaining width.
  void setColumnWidths(const std::vector<int>& widths);

 private:
  CheckListModel* model_;
};

}  // namespace brenvik
