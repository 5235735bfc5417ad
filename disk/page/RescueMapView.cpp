#include "disk/page/RescueMapView.h"

#include <QAction>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>

#include "shell/Controls.h"
#include "shell/QtText.h"

namespace brenvik {

QColor CellColor(CellState state) {
  // Relative luminance from dark to light: being read 0.01, bad 0.08, non-scraped 0.17,
  // finished 0.29, non-trimmed 0.54, not tried 0.81.
  switch (state) {
    case CellState::Reading: return QColor(0x1E, 0x1E, 0x1E);
    case CellState::Bad: return QColor(0xA1, 0x00, 0x00);
    case CellState::NonScraped: return QColor(0x6C, 0x5C, 0xE7);
    case CellState::Finished: return QColor(0x38, 0xA8, 0x46);
    case CellState::NonTrimmed: return QColor(0xF5, 0xB8, 0x00);
    case CellState::NotTried: break;
  }
  return QColor(0xE8, 0xE8, 0xE8);
}

QColor DomainColor() { return QColor(0x00, 0x66, 0xFF); }

namespace {

// The local ".map" file among dropped data, or an empty text.
QString DroppedMapFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return {};
  for (const QUrl& url : data->urls())
    if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".map"), Qt::CaseInsensitive))
      return url.toLocalFile();
  return {};
}

class MapDrops : public QObject {
 public:
  MapDrops(QWidget* target, std::function<void(const QString&)> open) : QObject(target), open_(std::move(open)) {}

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::DragEnter && event->type() != QEvent::Drop) return false;
    auto* drop = static_cast<QDropEvent*>(event);  // a drag-enter event is a drop event too
    const QString path = DroppedMapFile(drop->mimeData());
    if (path.isEmpty()) return false;
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) open_(path);
    return true;
  }

 private:
  std::function<void(const QString&)> open_;
};

}  // namespace

void AcceptMapDrops(QWidget* target, std::function<void(const QString&)> open) {
  target->setAcceptDrops(true);
  target->installEventFilter(new MapDrops(target, std::move(open)));
}

// ---- the grid ----

RescueMapView::RescueMapView(QWidget* parent) : QWidget(parent) {
  SetControlId(this, 2013, QStringLiteral("Rescue map"));
  setMouseTracking(true);
  setMinimumSize(kPitch * 16, kPitch * 8);
}

void RescueMapView::setMap(std::shared_ptr<const RescueMapSnapshot> map) {
  map_ = std::move(map);
  stale_ = true;
  // Assistive technology reads the map as its totals.
  setAccessibleDescription(map_ ? ToQString(RescueTotalsText(*map_)) : QString());
  update();
}

const MapCells& RescueMapView::cells() const {
  if (stale_) {
    const int64_t rows = std::max(1, height() / kPitch);
    cells_ = map_ ? BuildMapCells(*map_, rows * columns()) : MapCells{};
    stale_ = false;
  }
  return cells_;
}

QRect RescueMapView::cellRect(size_t index) const {
  if (index >= cells().cells.size()) return {};
  const int column = static_cast<int>(index % static_cast<size_t>(columns()));
  const int row = static_cast<int>(index / static_cast<size_t>(columns()));
  return {column * kPitch, row * kPitch, kPitch - 1, kPitch - 1};
}

QString RescueMapView::textAt(QPoint point) const {
  if (!map_ || point.x() < 0 || point.y() < 0 || point.x() >= columns() * kPitch) return {};
  const size_t index = static_cast<size_t>(point.y() / kPitch) * static_cast<size_t>(columns()) +
                       static_cast<size_t>(point.x() / kPitch);
  return ToQString(DescribeCell(*map_, cells(), index));
}

void RescueMapView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const std::vector<CellState>& states = cells().cells;
  if (states.empty())
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap,
                     Tr(QStringLiteral("No map yet: start a copy, or open a map file (File > Open Map).")));
  for (size_t i = 0; i < states.size(); ++i) painter.fillRect(cellRect(i), CellColor(states[i]));
  // The part a copy limited to a domain reads now is outlined, over whatever state it is in.
  const std::vector<bool>& domain = cells().inDomain;
  painter.setPen(DomainColor());
  for (size_t i = 0; i < domain.size(); ++i)
    if (domain[i]) painter.drawRect(cellRect(i).adjusted(0, 0, -1, -1));
}

void RescueMapView::resizeEvent(QResizeEvent* event) {
  stale_ = true;
  QWidget::resizeEvent(event);
}

bool RescueMapView::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QWidget::event(event);
  auto* help = static_cast<QHelpEvent*>(event);
  const QString text = textAt(help->pos());
  if (text.isEmpty()) {
    QToolTip::hideText();
    event->ignore();
  } else {
    QToolTip::showText(help->globalPos(), text, this);
  }
  return true;
}

// ---- the window ----

RescueMapWindow::RescueMapWindow(QWidget* parent) : QMainWindow(parent, Qt::Window) {
  setObjectName(QStringLiteral("RescueMap"));
  setWindowTitle(Tr(QStringLiteral("Rescue Map")));

  QMenu* file = menuBar()->addMenu(Tr(QStringLiteral("&File")));
  QAction* open = file->addAction(Tr(QStringLiteral("&Open Map...")));
  open->setObjectName(QStringLiteral("2015"));
  open->setShortcut(QKeySequence::Open);
  connect(open, &QAction::triggered, this, &RescueMapWindow::openRequested);
  QAction* close = file->addAction(Tr(QStringLiteral("&Close")));
  close->setShortcut(QKeySequence::Close);
  connect(close, &QAction::triggered, this, &QWidget::close);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  view_ = new RescueMapView(central);
  layout->addWidget(view_, 1);

  auto* legend = new QHBoxLayout;
  for (int s = 0; s < kCellStateCount; ++s) {
    const auto state = static_cast<CellState>(s);
    auto* swatch = new QLabel(central);
    QPixmap colour(12, 12);
    colour.fill(CellColor(state));
    swatch->setPixmap(colour);
    const QString name = Tr(CellStateName(state));
    swatch->setAccessibleName(name);
    legend->addWidget(swatch);
    legend->addWidget(new QLabel(name, central));
    legend->addSpacing(12);
  }
  auto* domainSwatch = new QLabel(central);
  QPixmap outline(12, 12);
  outline.fill(Qt::transparent);
  QPainter pen(&outline);
  pen.setPen(DomainColor());
  pen.drawRect(0, 0, 11, 11);
  pen.end();
  domainSwatch->setPixmap(outline);
  domainSwatch->setAccessibleName(Tr(QStringLiteral("Domain")));
  legend->addWidget(domainSwatch);
  legend->addWidget(new QLabel(Tr(QStringLiteral("Domain")), central));
  legend->addStretch(1);
  layout->addLayout(legend);

  totals_ = new QLabel(central);
  totals_->setObjectName(QStringLiteral("2014"));
  totals_->setWordWrap(true);
  totals_->setTextFormat(Qt::PlainText);
  totals_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(totals_);
  setCentralWidget(central);
  resize(720, 460);
}

void RescueMapWindow::display(std::shared_ptr<const RescueMapSnapshot> map) {
  // Lines break between the figures, never inside one.
  QString totals = map ? ToQString(RescueTotalsText(*map)) : QString();
  totals.replace(QChar(' '), QChar(0xA0)).replace(QStringLiteral("\u00A0\u00A0"), QStringLiteral("  "));
  totals_->setText(totals);
  view_->setMap(std::move(map));
}

void RescueMapWindow::followCopy(std::shared_ptr<const RescueMapSnapshot> map) {
  followsCopy_ = true;
  setWindowTitle(Tr(QStringLiteral("Rescue Map - running copy")));
  display(std::move(map));
}

void RescueMapWindow::showCopyProgress(std::shared_ptr<const RescueMapSnapshot> map) {
  if (followsCopy_) display(std::move(map));
}

void RescueMapWindow::showFile(std::shared_ptr<const RescueMapSnapshot> map, const QString& path) {
  followsCopy_ = false;
  setWindowTitle(Tr(QStringLiteral("Rescue Map - ") + QFileInfo(path).fileName()));
  display(std::move(map));
}

}  // namespace brenvik
