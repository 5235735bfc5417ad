#include "raid/page/RaidPlotView.h"

#include "shell/QtText.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <cmath>

#include "raid/RaidPlotPainter.h"

namespace brenvik {
namespace {

// One wheel notch zooms by this factor.
constexpr double kZoomPerNotch = 0.8;
constexpr double kWidest = 1e13;

}  // namespace

RaidPlotView::RaidPlotView(QWidget* parent) : QWidget(parent) {
  setMinimumSize(480, 320);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(Tr(QStringLiteral("MFT record plot")));
}

void RaidPlotView::setModel(std::shared_ptr<const RaidPlotModel> model) {
  model_ = std::move(model);
  showWhole();
}

void RaidPlotView::setBounds(const RaidPlotBounds& bounds) {
  bounds_ = bounds;
  describe();
  update();
}

void RaidPlotView::showWhole() { setBounds(model_ ? WholePlot(*model_) : RaidPlotBounds{}); }

void RaidPlotView::zoom(double factor, QPointF at) {
  const RaidPlotFrame frame(rect(), bounds_);
  const double sector = frame.sectorAt(at.x());
  const double record = frame.recordAt(at.y());
  RaidPlotBounds zoomed;
  zoomed.sectorFrom = sector - (sector - frame.bounds().sectorFrom) * factor;
  zoomed.sectorTo = sector + (frame.bounds().sectorTo - sector) * factor;
  zoomed.recordFrom = record - (record - frame.bounds().recordFrom) * factor;
  zoomed.recordTo = record + (frame.bounds().recordTo - record) * factor;
  // Never closer than a few sectors and records across, nor wider than any disk and record count.
  const double sectors = zoomed.sectorTo - zoomed.sectorFrom;
  const double records = zoomed.recordTo - zoomed.recordFrom;
  if (sectors < 4 || records < 2 || sectors > kWidest || records > kWidest) return;
  setBounds(zoomed);
}

QPointF RaidPlotView::toPixel(double sector, double record) const {
  return RaidPlotFrame(rect(), bounds_).toPixel(sector, record);
}

void RaidPlotView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  static const RaidPlotModel kEmpty;
  PaintRaidPlot(painter, rect(), model_ ? *model_ : kEmpty, bounds_);
}

void RaidPlotView::wheelEvent(QWheelEvent* event) {
  const double notches = event->angleDelta().y() / 120.0;
  if (notches != 0) zoom(std::pow(kZoomPerNotch, notches), event->position());
  event->accept();
}

void RaidPlotView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = true;
  dragFrom_ = event->position();
  setCursor(Qt::ClosedHandCursor);
}

void RaidPlotView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  const RaidPlotFrame frame(rect(), bounds_);
  const double sectors = frame.sectorAt(dragFrom_.x()) - frame.sectorAt(event->position().x());
  const double records = frame.recordAt(dragFrom_.y()) - frame.recordAt(event->position().y());
  dragFrom_ = event->position();
  RaidPlotBounds moved = frame.bounds();
  moved.sectorFrom += sectors;
  moved.sectorTo += sectors;
  moved.recordFrom += records;
  moved.recordTo += records;
  setBounds(moved);
}

void RaidPlotView::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
  unsetCursor();
}

void RaidPlotView::mouseDoubleClickEvent(QMouseEvent*) { showWhole(); }

void RaidPlotView::describe() {
  QString text = model_ && !model_->caption.empty() ? Tr(model_->caption) + QStringLiteral(". ") : QString();
  text += Tr(QStringLiteral("Sectors %1 to %2, records %3 to %4")
                 .arg(std::llround(bounds_.sectorFrom))
                 .arg(std::llround(bounds_.sectorTo))
                 .arg(std::llround(bounds_.recordFrom))
                 .arg(std::llround(bounds_.recordTo)));
  setAccessibleDescription(text);
}

}  // namespace brenvik
