#include "raid/RaidPlotPainter.h"

#include "core/Translation.h"

#include <QBuffer>
#include <QImage>
#include <QPainterPath>
#include <QSvgGenerator>
#include <algorithm>
#include <array>
#include <cmath>

namespace brenvik {
namespace {

// The catalogue's text for the current language; the drawing links QtGui only, never the shell.
QString Tr(std::u16string_view text) { return QString::fromStdU16String(Translate(text)); }
QString Tr(const QString& text) { return Tr(std::u16string_view(text.toStdU16String())); }

// Room around the inner plot: the legend on top, the record axis on the left, the sector axis
// below.
constexpr double kLeftRoom = 84;
constexpr double kRightRoom = 16;
constexpr double kTopRoom = 46;
constexpr double kBottomRoom = 44;
constexpr double kMarkerSize = 7;
// Markers are drawn for each record while records lie at least this many pixels apart, else
// only at the ends of a run; at most kMaxMarkers in one picture.
constexpr double kMarkerSpacing = 6;
constexpr size_t kMaxMarkers = 60000;
// More stripe rows or expected-line pieces than this in view are not drawn (they would merge).
constexpr size_t kMaxStripeLines = 1500;
constexpr size_t kMaxLinePieces = 3000;

const QColor kStripeLine(200, 200, 200);
const QColor kAxis(60, 60, 60);

enum class Marker { Circle, Square, Triangle, Diamond, Cross, Plus };

Marker MemberMarker(size_t member) { return static_cast<Marker>(member % 6); }

void DrawMarker(QPainter& painter, QPointF at, Marker marker, const QColor& colour) {
  const double r = kMarkerSize / 2;
  painter.setPen(QPen(colour, marker == Marker::Cross || marker == Marker::Plus ? 2 : 1));
  painter.setBrush(colour);
  switch (marker) {
    case Marker::Circle: painter.drawEllipse(at, r, r); break;
    case Marker::Square: painter.drawRect(QRectF(at.x() - r, at.y() - r, 2 * r, 2 * r)); break;
    case Marker::Triangle:
      painter.drawPolygon(QPolygonF({at + QPointF(0, -r), at + QPointF(r, r), at + QPointF(-r, r)}));
      break;
    case Marker::Diamond:
      painter.drawPolygon(QPolygonF({at + QPointF(0, -r), at + QPointF(r, 0), at + QPointF(0, r), at + QPointF(-r, 0)}));
      break;
    case Marker::Cross:
      painter.drawLine(at + QPointF(-r, -r), at + QPointF(r, r));
      painter.drawLine(at + QPointF(-r, r), at + QPointF(r, -r));
      break;
    case Marker::Plus:
      painter.drawLine(at + QPointF(-r, 0), at + QPointF(r, 0));
      painter.drawLine(at + QPointF(0, -r), at + QPointF(0, r));
      break;
  }
}

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks over `span`.
double TickStep(double span, int count) {
  const double raw = std::max(span / count, 1.0);
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (factor * power >= raw) return factor * power;
  return 10 * power;
}

QString Number(double value) { return QString::number(value, 'f', 0); }

// Calls draw(value) for each multiple of a tick step between `from` and `to`: a counted loop, so
// that a step too small to change a huge value cannot keep it going.
template <class Draw>
void ForEachTick(double from, double to, Draw draw) {
  const double step = TickStep(to - from, 8);
  const double first = std::ceil(from / step) * step;
  for (int i = 0; i <= 20 && first + i * step <= to; ++i) draw(first + i * step);
}

void DrawAxes(QPainter& painter, const RaidPlotFrame& frame) {
  const QRectF& inner = frame.inner();
  const RaidPlotBounds& b = frame.bounds();
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(kAxis, 1));
  painter.drawRect(inner);
  const QFontMetricsF metrics(painter.font());
  ForEachTick(b.sectorFrom, b.sectorTo, [&](double sector) {
    const double x = frame.toPixel(sector, b.recordFrom).x();
    painter.drawLine(QPointF(x, inner.bottom()), QPointF(x, inner.bottom() + 4));
    const QString label = Number(sector);
    painter.drawText(QPointF(x - metrics.horizontalAdvance(label) / 2, inner.bottom() + 4 + metrics.ascent()), label);
  });
  ForEachTick(b.recordFrom, b.recordTo, [&](double record) {
    const double y = frame.toPixel(b.sectorFrom, record).y();
    painter.drawLine(QPointF(inner.left() - 4, y), QPointF(inner.left(), y));
    const QString label = Number(record);
    painter.drawText(QPointF(inner.left() - 6 - metrics.horizontalAdvance(label), y + metrics.ascent() / 2 - 1), label);
  });
  const QString across = Tr(QStringLiteral("Sector on the members"));
  painter.drawText(QPointF(inner.center().x() - metrics.horizontalAdvance(across) / 2, inner.bottom() + 8 + 2 * metrics.height()),
                   across);
  painter.save();
  painter.translate(inner.left() - kLeftRoom + 4 + metrics.ascent(), inner.center().y());
  painter.rotate(-90);
  const QString up = Tr(QStringLiteral("MFT record number"));
  painter.drawText(QPointF(-metrics.horizontalAdvance(up) / 2, 0), up);
  painter.restore();
}

void DrawLegend(QPainter& painter, const QRectF& area, const RaidPlotModel& model) {
  const QFontMetricsF metrics(painter.font());
  double x = area.left() + kLeftRoom;
  const double y = area.top() + 6 + metrics.ascent();
  if (!model.caption.empty()) {
    painter.setPen(kAxis);
    painter.drawText(QPointF(x, y), Tr(model.caption));
  }
  const double row = y + metrics.height() + 2;
  for (size_t member = 0; member < model.members; ++member) {
    DrawMarker(painter, QPointF(x + kMarkerSize / 2, row - metrics.ascent() / 2 + 1), MemberMarker(member), MemberColour(member));
    const QString name = Tr(QStringLiteral("Member %1").arg(member + 1));
    painter.setPen(kAxis);
    painter.drawText(QPointF(x + kMarkerSize + 4, row), name);
    x += kMarkerSize + 16 + metrics.horizontalAdvance(name);
  }
  if (!model.geometry) return;
  painter.setPen(QPen(kAxis, 1, Qt::DashLine));
  painter.drawLine(QPointF(x, row - metrics.ascent() / 2), QPointF(x + 18, row - metrics.ascent() / 2));
  painter.setPen(kAxis);
  const QString expected = QStringLiteral("expected");
  painter.drawText(QPointF(x + 22, row), expected);
  x += 34 + metrics.horizontalAdvance(expected);
  painter.setPen(QPen(kStripeLine, 2));
  painter.drawLine(QPointF(x, row - metrics.ascent()), QPointF(x, row));
  painter.setPen(kAxis);
  painter.drawText(QPointF(x + 6, row), Tr(QStringLiteral("stripe rows")));
}

void DrawGeometry(QPainter& painter, const RaidPlotFrame& frame, const RaidPlotModel& model) {
  const RaidGeometryGuess& geometry = *model.geometry;
  const RaidPlotBounds& b = frame.bounds();
  const auto from = static_cast<int64_t>(std::floor(b.sectorFrom));
  const auto to = static_cast<int64_t>(std::ceil(b.sectorTo));
  painter.setPen(QPen(kStripeLine, 1));
  for (int64_t sector : StripeBoundaries(geometry, from, to, kMaxStripeLines)) {
    const double x = frame.toPixel(static_cast<double>(sector), 0).x();
    painter.drawLine(QPointF(x, frame.inner().top()), QPointF(x, frame.inner().bottom()));
  }
  for (size_t member = 0; member < model.members; ++member) {
    painter.setPen(QPen(MemberColour(member), 1, Qt::DashLine));
    for (const RaidPlotSegment& piece : ExpectedRecordLine(geometry, member, from, to, kMaxLinePieces))
      painter.drawLine(frame.toPixel(static_cast<double>(piece.sectorFrom), piece.recordFrom),
                       frame.toPixel(static_cast<double>(piece.sectorTo), piece.recordTo));
  }
}

void DrawRecords(QPainter& painter, const RaidPlotFrame& frame, const RaidPlotModel& model) {
  const RaidPlotBounds& b = frame.bounds();
  size_t markers = 0;
  for (const RaidRecordRun& run : model.runs) {
    const double lastSector = static_cast<double>(run.sector + 2 * int64_t{run.length - 1});
    const double lastRecord = static_cast<double>(run.record) + run.length - 1;
    if (lastSector < b.sectorFrom || static_cast<double>(run.sector) > b.sectorTo) continue;
    if (lastRecord < b.recordFrom || static_cast<double>(run.record) > b.recordTo) continue;
    const QColor colour = MemberColour(run.member);
    const QPointF first = frame.toPixel(static_cast<double>(run.sector), run.record);
    const QPointF last = frame.toPixel(lastSector, lastRecord);
    if (run.length > 1) {
      painter.setPen(QPen(colour, 2));
      painter.drawLine(first, last);
    }
    const Marker marker = MemberMarker(run.member);
    const double spacing = run.length > 1 ? QLineF(first, last).length() / (run.length - 1) : 0;
    if (run.length > 1 && spacing >= kMarkerSpacing) {
      // Each record in view.
      const double fromIndex = std::max(0.0, std::ceil((b.sectorFrom - static_cast<double>(run.sector)) / 2));
      const double toIndex = std::min<double>(run.length - 1, std::floor((b.sectorTo - static_cast<double>(run.sector)) / 2));
      for (double i = fromIndex; i <= toIndex && markers < kMaxMarkers; ++i, ++markers)
        DrawMarker(painter, first + (last - first) * (i / (run.length - 1)), marker, colour);
    } else if (markers < kMaxMarkers) {
      DrawMarker(painter, first, marker, colour);
      ++markers;
      if (run.length > 1) DrawMarker(painter, last, marker, colour), ++markers;
    }
  }
}

}  // namespace

QColor MemberColour(size_t member) {
  // A palette made for colour-blind readers, ordered so neighbours differ in lightness too.
  static const std::array<QColor, 8> kColours = {QColor(0, 114, 178),  QColor(230, 159, 0),  QColor(0, 158, 115),
                                                 QColor(204, 121, 167), QColor(0, 0, 0),      QColor(86, 180, 233),
                                                 QColor(213, 94, 0),   QColor(160, 140, 0)};
  return kColours[member % kColours.size()];
}

RaidPlotFrame::RaidPlotFrame(const QRectF& area, const RaidPlotBounds& bounds)
    : inner_(area.adjusted(kLeftRoom, kTopRoom, -kRightRoom, -kBottomRoom)), bounds_(bounds) {
  if (bounds_.sectorTo <= bounds_.sectorFrom) bounds_.sectorTo = bounds_.sectorFrom + 1;
  if (bounds_.recordTo <= bounds_.recordFrom) bounds_.recordTo = bounds_.recordFrom + 1;
}

QPointF RaidPlotFrame::toPixel(double sector, double record) const {
  return {inner_.left() + (sector - bounds_.sectorFrom) / (bounds_.sectorTo - bounds_.sectorFrom) * inner_.width(),
          inner_.bottom() - (record - bounds_.recordFrom) / (bounds_.recordTo - bounds_.recordFrom) * inner_.height()};
}

double RaidPlotFrame::sectorAt(double x) const {
  return bounds_.sectorFrom + (x - inner_.left()) / inner_.width() * (bounds_.sectorTo - bounds_.sectorFrom);
}

double RaidPlotFrame::recordAt(double y) const {
  return bounds_.recordFrom + (inner_.bottom() - y) / inner_.height() * (bounds_.recordTo - bounds_.recordFrom);
}

void PaintRaidPlot(QPainter& painter, const QRectF& area, const RaidPlotModel& model, const RaidPlotBounds& bounds) {
  const RaidPlotFrame frame(area, bounds);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillRect(area, Qt::white);
  painter.save();
  painter.setClipRect(frame.inner());
  if (model.geometry) DrawGeometry(painter, frame, model);
  DrawRecords(painter, frame, model);
  painter.restore();
  DrawAxes(painter, frame);
  DrawLegend(painter, area, model);
  painter.restore();
}

QByteArray RenderRaidPlot(const RaidPlotModel& model, const RaidPlotBounds& bounds, PlotFormat format, QSize size) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  const QRectF area(QPointF(0, 0), QSizeF(size));
  if (format == PlotFormat::Svg) {
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(size);
    svg.setViewBox(area);
    svg.setTitle(Tr(QStringLiteral("MFT records on the RAID members")));
    QPainter painter(&svg);
    PaintRaidPlot(painter, area, model, bounds);
    painter.end();
    return bytes;
  }
  QImage image(size, QImage::Format_RGB32);
  QPainter painter(&image);
  PaintRaidPlot(painter, area, model, bounds);
  painter.end();
  image.save(&buffer, "PNG");
  return bytes;
}

}  // namespace brenvik
