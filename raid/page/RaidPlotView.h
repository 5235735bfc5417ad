#pragma once
// The Raid Analysis plot on screen: the records of the last run drawn by RaidPlotPainter, zoomed
// with the mouse wheel around the pointer, moved by dragging, shown whole again by a double click.
#include <QWidget>
#include <memory>

#include "raid/RaidPlot.h"

namespace brenvik {

class RaidPlotView : public QWidget {
  Q_OBJECT
 public:
  explicit RaidPlotView(QWidget* parent = nullptr);

  // Shows `model` whole.
  void setModel(std::shared_ptr<const RaidPlotModel> model);
  const RaidPlotBounds& bounds() const { return bounds_; }
  void setBounds(const RaidPlotBounds& bounds);
  void showWhole();
  // Zooms by `factor` (below 1 zooms in) keeping the plane's point under `at` in place.
  void zoom(double factor, QPointF at);
  // Where the plane's point lands in the widget.
  QPointF toPixel(double sector, double record) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  // What a screen reader tells of the view: the answer and the stretch in view.
  void describe();

  std::shared_ptr<const RaidPlotModel> model_;
  RaidPlotBounds bounds_;
  bool dragging_ = false;
  QPointF dragFrom_;
};

}  // namespace brenvik
