#pragma once
// The rescue map drawn: a grid of cells over the source, coloured by each cell's worst state,
// with a legend and the totals, in a window of its own that the N.S Image page opens with its
// "Map" button. It follows the running copy or shows a map file (File > Open Map, or a ".map"
// file dropped on the page or the window).
#include <QColor>
#include <QMainWindow>
#include <QString>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <memory>

#include "disk/RescueMapModel.h"

class QLabel;

namespace brenvik {

// The colour of a state. Their lightness differs too, so that the states stay apart for
// colour-blind eyes and in grey.
QColor CellColor(CellState state);
// The outline of the cells a copy limited to a domain reads.
QColor DomainColor();

// Makes `target` take ".map" files dropped on it, each handed to `open`.
void AcceptMapDrops(QWidget* target, std::function<void(const QString&)> open);

class RescueMapView : public QWidget {
  Q_OBJECT
 public:
  explicit RescueMapView(QWidget* parent = nullptr);

  void setMap(std::shared_ptr<const RescueMapSnapshot> map);
  const RescueMapSnapshot* map() const { return map_.get(); }
  const MapCells& cells() const;
  // Where cell `index` is drawn; empty when it is not.
  QRect cellRect(size_t index) const;
  // The hover text at `point`: the cell's sector range and state; empty off the cells.
  QString textAt(QPoint point) const;

  QSize sizeHint() const override { return {640, 320}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private:
  int columns() const { return std::max(1, width() / kPitch); }

  static constexpr int kPitch = 8;  // a cell of 7 pixels and a gap of 1

  std::shared_ptr<const RescueMapSnapshot> map_;
  mutable MapCells cells_;
  mutable bool stale_ = true;  // cells are built when next needed, so a hidden view costs nothing
};

class RescueMapWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit RescueMapWindow(QWidget* parent);

  RescueMapView* view() const { return view_; }
  QLabel* totals() const { return totals_; }
  // Whether the window follows the running copy rather than showing a file.
  bool followsCopy() const { return followsCopy_; }
  // Shows the running copy's map (none yet: an empty grid).
  void followCopy(std::shared_ptr<const RescueMapSnapshot> map);
  // Shows the map of a file, by its name.
  void showFile(std::shared_ptr<const RescueMapSnapshot> map, const QString& path);
  // A newer map of the copy it follows.
  void showCopyProgress(std::shared_ptr<const RescueMapSnapshot> map);

 signals:
  void openRequested();  // File > Open Map

 private:
  void display(std::shared_ptr<const RescueMapSnapshot> map);

  RescueMapView* view_ = nullptr;
  QLabel* totals_ = nullptr;
  bool followsCopy_ = true;
};

}  // namespace brenvik
