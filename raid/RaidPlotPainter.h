#pragma once
// Draws the Raid Analysis plot (raid/RaidPlot.h) with QPainter, for the page's view and for the
// PNG and SVG files that both front ends write: axes, the stripe rows and each member's expected
// record line of the geometry, and the records found, one colour and marker per member.
#include <QByteArray>
#include <QColor>
#include <QPainter>
#include <QRectF>
#include <QSize>

#include "raid/RaidPlot.h"

namespace brenvik {

// The colour of a member's records; colours differ in lightness as well as hue, and each member
// also has its own marker, so members stay apart without colour vision.
QColor MemberColour(size_t member);

// Maps the plane's stretch `bounds` onto the part of `area` inside the axes.
class RaidPlotFrame {
 public:
  RaidPlotFrame(const QRectF& area, const RaidPlotBounds& bounds);
  // Inside the axes, where the records are drawn.
  const QRectF& inner() const { return inner_; }
  const RaidPlotBounds& bounds() const { return bounds_; }
  QPointF toPixel(double sector, double record) const;
  double sectorAt(double x) const;
  double recordAt(double y) const;

 private:
  QRectF inner_;
  RaidPlotBounds bounds_;
};

// Draws `model` as seen through `bounds` into `area`.
void PaintRaidPlot(QPainter& painter, const QRectF& area, const RaidPlotModel& model, const RaidPlotBounds& bounds);

// The plot as a picture of `size` pixels, encoded as PNG or SVG.
QByteArray RenderRaidPlot(const RaidPlotModel& model, const RaidPlotBounds& bounds, PlotFormat format,
                          QSize size = QSize(1200, 800));

}  // namespace brenvik
