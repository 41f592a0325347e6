#include "ui/HistoryGraph.h"

#include <QBoxLayout>
#include <QDate>
#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

constexpr TDateTime Minute = 1.0 / 1440;
constexpr TDateTime Hour = 1.0 / 24;
// A zoom stops at ten minutes: finer than that, single probes stand apart.
constexpr TDateTime MinimumView = 10 * Minute;
// Half a millisecond: times that equal on the clock compare equal here.
constexpr TDateTime Slack = 0.5 / 86'400'000;

const QColor LineColour(25, 90, 190);
const QColor BandColour(165, 195, 240);
const QColor LossColour(215, 35, 35);

bool IsLoss(const THistoryProbe& Probe) {
    return Probe.Result != prSuccess;
}

QDateTime ToQDateTime(TDateTime Time) {
    const TDateTimeParts p = DecodeDateTime(Time);
    return {QDate(p.Year, p.Month, p.Day), QTime(p.Hour, p.Minute, p.Second, p.Millisecond)};
}

// The smallest of 1, 2 and 5 times a power of ten that is at least Value.
double NiceStep(double Value) {
    const double power = std::pow(10.0, std::floor(std::log10(Value)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= Value * (1 - 1e-9))
            return m * power;
    return 10 * power;
}

// The first bucket's length: the smallest gap between starts, an hour when
// there is only one.
TDateTime BucketLength(const std::vector<THistoryBucket>& Buckets) {
    TDateTime length = 0;
    for (size_t i = 1; i < Buckets.size(); ++i) {
        const TDateTime gap = Buckets[i].Start - Buckets[i - 1].Start;
        if (gap > Slack && (length == 0 || gap < length))
            length = gap;
    }
    return length > 0 ? length : Hour;
}

// The probes with From <= Time < To.
std::pair<size_t, size_t> ProbesIn(const std::vector<THistoryProbe>& Probes, TDateTime From,
                                   TDateTime To) {
    const auto before = [](const THistoryProbe& p, TDateTime t) { return p.Time < t; };
    const auto first = std::lower_bound(Probes.begin(), Probes.end(), From, before);
    const auto last = std::lower_bound(first, Probes.end(), To, before);
    return {static_cast<size_t>(first - Probes.begin()),
            static_cast<size_t>(last - Probes.begin())};
}

// The buckets that overlap [From, To).
std::pair<size_t, size_t> BucketsIn(const std::vector<THistoryBucket>& Buckets, TDateTime Length,
                                    TDateTime From, TDateTime To) {
    const auto before = [](const THistoryBucket& b, TDateTime t) { return b.Start < t; };
    const auto first =
        std::lower_bound(Buckets.begin(), Buckets.end(), From - Length + Slack, before);
    const auto last = std::lower_bound(first, Buckets.end(), To, before);
    return {static_cast<size_t>(first - Buckets.begin()),
            static_cast<size_t>(last - Buckets.begin())};
}

} // namespace

// ---------------------------------------------------------------------------
// The reader: one thread, the newest request only.

class THistoryGraph::TReader {
public:
    using TDone = std::function<void(THistoryGraphData, uint64_t)>;

    explicit TReader(TDone Done) : FDone(std::move(Done)), FThread([this] { Run(); }) {}
    ~TReader() {
        {
            const std::lock_guard<std::mutex> lock(FLock);
            FStop = true;
        }
        FWake.notify_one();
        FThread.join();
    }
    TReader(const TReader&) = delete;
    TReader& operator=(const TReader&) = delete;

    void Ask(TRequest Request) {
        {
            const std::lock_guard<std::mutex> lock(FLock);
            FPending = std::move(Request);
        }
        FWake.notify_one();
    }

private:
    void Run() {
        for (;;) {
            TRequest request;
            {
                std::unique_lock<std::mutex> lock(FLock);
                FWake.wait(lock, [this] { return FStop || FPending.has_value(); });
                if (FStop)
                    return;
                request = std::move(*FPending);
                FPending.reset();
            }
            THistoryGraphData data;
            data.Raw = request.Raw;
            data.From = request.From;
            data.To = request.To;
            try {
                if (request.Raw)
                    data.Probes = request.Source->Probes(request.Host, request.From, request.To);
                else
                    data.Buckets = request.Source->Buckets(request.Host, request.From, request.To);
            } catch (const std::exception& e) {
                data.Problem = e.what();
            }
            FDone(std::move(data), request.Generation);
        }
    }

    TDone FDone;
    std::mutex FLock;
    std::condition_variable FWake;
    std::optional<TRequest> FPending;
    bool FStop = false;
    std::thread FThread; // last: starts when the rest is ready
};

// ---------------------------------------------------------------------------
// The painted area

class THistoryPlot : public QWidget {
public:
    explicit THistoryPlot(THistoryGraph* Graph) : QWidget(Graph), FGraph(Graph) {
        setMinimumSize(260, 150);
        setCursor(Qt::CrossCursor);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override;
    void wheelEvent(QWheelEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;

private:
    // The round-trip area, and the strip of loss marks under it.
    QRect PlotRect() const {
        const int label = fontMetrics().height();
        return {48, 8, std::max(width() - 48 - 12, 10),
                std::max(height() - 8 - LossStrip - 3 - label - 6, 10)};
    }
    QRect LossRect() const {
        const QRect plot = PlotRect();
        return {plot.left(), plot.bottom() + 4, plot.width(), LossStrip};
    }
    double XOf(TDateTime Time) const {
        const QRect plot = PlotRect();
        return plot.left() +
               (Time - FGraph->ViewFrom()) / (FGraph->ViewTo() - FGraph->ViewFrom()) * plot.width();
    }
    TDateTime TimeAt(double X) const {
        const QRect plot = PlotRect();
        const double share = std::clamp((X - plot.left()) / plot.width(), 0.0, 1.0);
        return FGraph->ViewFrom() + share * (FGraph->ViewTo() - FGraph->ViewFrom());
    }

    double TopMs() const;
    void PaintAxes(QPainter& Painter, double MaxMs) const;
    void PaintTimeAxis(QPainter& Painter) const;
    void PaintProbes(QPainter& Painter, double MaxMs) const;
    void PaintBuckets(QPainter& Painter, double MaxMs) const;
    // One pixel column of records folded together.
    struct TColumn {
        double Low = 0, High = 0, Sum = 0;
        uint64_t Replies = 0, Probes = 0, Losses = 0;
    };
    void PaintColumns(QPainter& Painter, const std::vector<TColumn>& Columns, double MaxMs) const;

    static constexpr int LossStrip = 22;

    THistoryGraph* FGraph;
    QRubberBand* FBand = nullptr;
    int FBandStart = -1;
};

double THistoryPlot::TopMs() const {
    const THistoryGraphData& d = FGraph->Data();
    double top = 0;
    if (d.Raw) {
        const auto [first, last] = ProbesIn(d.Probes, FGraph->ViewFrom(), FGraph->ViewTo());
        for (size_t i = first; i < last; ++i)
            if (!IsLoss(d.Probes[i]))
                top = std::max(top, static_cast<double>(d.Probes[i].RoundTripMs));
    } else {
        const auto [first, last] =
            BucketsIn(d.Buckets, BucketLength(d.Buckets), FGraph->ViewFrom(), FGraph->ViewTo());
        for (size_t i = first; i < last; ++i)
            if (d.Buckets[i].Probes > d.Buckets[i].Losses)
                top = std::max(top, static_cast<double>(d.Buckets[i].MaxRtt));
    }
    // A whole step above the slowest, at least a millisecond.
    const double step = NiceStep(std::max(top, 1.0) / 4);
    return (std::floor(std::max(top, 1.0) / step) + 1) * step;
}

void THistoryPlot::PaintAxes(QPainter& Painter, double MaxMs) const {
    const QRect plot = PlotRect();
    const QRect loss = LossRect();
    QColor grid = palette().color(QPalette::Mid);
    grid.setAlpha(90);
    const double step = NiceStep(MaxMs / 4);
    Painter.setPen(palette().color(QPalette::Text));
    for (double ms = 0; ms <= MaxMs + step / 2; ms += step) {
        const double y = plot.bottom() - ms / MaxMs * plot.height();
        Painter.setPen(grid);
        Painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        Painter.setPen(palette().color(QPalette::Text));
        Painter.drawText(QRectF(0, y - 10, plot.left() - 5, 20), Qt::AlignRight | Qt::AlignVCenter,
                         QLocale().toString(ms) + QStringLiteral(" ms"));
    }
    Painter.setPen(LossColour);
    Painter.drawText(QRect(0, loss.top(), plot.left() - 5, loss.height()),
                     Qt::AlignRight | Qt::AlignVCenter,
                     FGraph->Data().Raw ? QStringLiteral("lost") : QStringLiteral("% lost"));
    Painter.setPen(palette().color(QPalette::Mid));
    Painter.setBrush(Qt::NoBrush);
    Painter.drawRect(plot.adjusted(0, 0, -1, -1));
    Painter.drawRect(loss.adjusted(0, 0, -1, -1));
    PaintTimeAxis(Painter);
}

void THistoryPlot::PaintTimeAxis(QPainter& Painter) const {
    const QRect plot = PlotRect();
    const QRect loss = LossRect();
    const TDateTime from = FGraph->ViewFrom();
    const TDateTime to = FGraph->ViewTo();
    const double room = std::max(2.0, plot.width() / 80.0);
    // Steps in minutes up to a week; beyond, whole months.
    static constexpr std::array<double, 14> Steps = {1,   2,   5,   10,  15,   30,   60,
                                                     120, 180, 360, 720, 1440, 2880, 10080};
    double step = 0;
    for (const double minutes : Steps)
        if ((to - from) / (minutes * Minute) <= room) {
            step = minutes * Minute;
            break;
        }
    std::vector<TDateTime> ticks;
    QString format;
    if (step > 0) {
        for (TDateTime t = std::ceil(from / step - 1e-9) * step; t < to + Slack; t += step)
            ticks.push_back(t);
        format = step < 1 ? QStringLiteral("HH:mm") : QStringLiteral("d MMM");
    } else {
        int months = 1;
        for (const int m : {1, 2, 3, 6, 12}) {
            months = m;
            if ((to - from) / (m * 30.44) <= room)
                break;
        }
        TDateTimeParts p = DecodeDateTime(from);
        int month = (p.Year * 12) + p.Month - 1;
        month = ((month + months - 1) / months) * months; // the first whole step
        for (;; month += months) {
            const TDateTime t = EncodeDateTime({month / 12, (month % 12) + 1, 1});
            if (t < from - Slack)
                continue;
            if (t > to + Slack)
                break;
            ticks.push_back(t);
        }
        format = QStringLiteral("MMM yyyy");
    }
    QColor grid = palette().color(QPalette::Mid);
    grid.setAlpha(60);
    const QLocale locale;
    for (const TDateTime t : ticks) {
        const double x = XOf(t);
        Painter.setPen(grid);
        Painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        Painter.setPen(palette().color(QPalette::Text));
        Painter.drawLine(QPointF(x, loss.bottom()), QPointF(x, loss.bottom() + 3));
        const QDateTime when = ToQDateTime(t);
        // A day's first tick says which day it is.
        const QString text = step > 0 && step < 1 && when.time() == QTime(0, 0)
                                 ? locale.toString(when, QStringLiteral("d MMM"))
                                 : locale.toString(when, format);
        // Centred under the tick, but never cut by the widget's edges.
        const int w = fontMetrics().horizontalAdvance(text) + 2;
        const double left = std::clamp(x - (w / 2.0), 0.0, static_cast<double>(width() - w));
        Painter.drawText(QRectF(left, loss.bottom() + 3, w, fontMetrics().height() + 2),
                         Qt::AlignHCenter | Qt::AlignTop, text);
    }
}

void THistoryPlot::PaintProbes(QPainter& Painter, double MaxMs) const {
    const QRect plot = PlotRect();
    const QRect loss = LossRect();
    const std::vector<THistoryProbe>& probes = FGraph->Data().Probes;
    const auto [first, last] = ProbesIn(probes, FGraph->ViewFrom(), FGraph->ViewTo());
    const auto yOf = [&](double ms) { return plot.bottom() - ms / MaxMs * plot.height(); };
    const auto columnOf = [&](TDateTime t) {
        return std::clamp(static_cast<int>(XOf(t)) - plot.left(), 0, plot.width() - 1);
    };

    // Every lost probe a tick; several in one pixel column are one tick.
    Painter.setPen(QPen(LossColour, 1));
    int lastLossColumn = -1;
    size_t replies = 0;
    for (size_t i = first; i < last; ++i) {
        if (!IsLoss(probes[i])) {
            ++replies;
            continue;
        }
        const int column = columnOf(probes[i].Time);
        if (column == lastLossColumn)
            continue;
        lastLossColumn = column;
        const double x = plot.left() + column + 0.5;
        Painter.drawLine(QPointF(x, loss.top() + 2), QPointF(x, loss.bottom() - 1));
    }

    Painter.setRenderHint(QPainter::Antialiasing, true);
    Painter.setPen(QPen(LineColour, 1.5));
    if (replies <= static_cast<size_t>(plot.width())) {
        // Few enough to draw as they are: a line between replies, broken
        // at each loss, a dot on each reply when there is room for it.
        const bool dots = replies * 6 <= static_cast<size_t>(plot.width());
        QPolygonF line;
        const auto flush = [&] {
            if (line.size() > 1)
                Painter.drawPolyline(line);
            line.clear();
        };
        for (size_t i = first; i < last; ++i) {
            if (IsLoss(probes[i])) {
                flush();
                continue;
            }
            const QPointF at(XOf(probes[i].Time), yOf(probes[i].RoundTripMs));
            line.append(at);
            if (dots) {
                Painter.setBrush(LineColour);
                Painter.drawEllipse(at, 2, 2);
            }
        }
        flush();
        return;
    }
    // Dense: folded to one column per pixel.
    std::vector<TColumn> columns(static_cast<size_t>(plot.width()));
    for (size_t i = first; i < last; ++i) {
        TColumn& c = columns[static_cast<size_t>(columnOf(probes[i].Time))];
        ++c.Probes;
        if (IsLoss(probes[i])) {
            ++c.Losses;
            continue;
        }
        const double ms = probes[i].RoundTripMs;
        c.Low = c.Replies == 0 ? ms : std::min(c.Low, ms);
        c.High = c.Replies == 0 ? ms : std::max(c.High, ms);
        c.Sum += ms;
        ++c.Replies;
    }
    PaintColumns(Painter, columns, MaxMs);
}

void THistoryPlot::PaintColumns(QPainter& Painter, const std::vector<TColumn>& Columns,
                                double MaxMs) const {
    const QRect plot = PlotRect();
    const auto yOf = [&](double ms) { return plot.bottom() - ms / MaxMs * plot.height(); };
    // The spread from fastest to slowest in each column behind the line of
    // the averages, which breaks where a column has no reply.
    Painter.setRenderHint(QPainter::Antialiasing, false);
    Painter.setPen(QPen(BandColour, 1));
    std::vector<QPolygonF> lines(1);
    for (size_t i = 0; i < Columns.size(); ++i) {
        const TColumn& c = Columns[i];
        if (c.Replies == 0) {
            if (!lines.back().isEmpty())
                lines.emplace_back();
            continue;
        }
        const double x = plot.left() + static_cast<double>(i) + 0.5;
        Painter.drawLine(QPointF(x, yOf(c.High)), QPointF(x, yOf(c.Low) + 1));
        lines.back().append(QPointF(x, yOf(c.Sum / static_cast<double>(c.Replies))));
    }
    Painter.setRenderHint(QPainter::Antialiasing, true);
    Painter.setPen(QPen(LineColour, 1.5));
    for (const QPolygonF& part : lines)
        if (part.size() == 1)
            Painter.drawPoint(part.front());
        else if (part.size() > 1)
            Painter.drawPolyline(part);
}

void THistoryPlot::PaintBuckets(QPainter& Painter, double MaxMs) const {
    const QRect plot = PlotRect();
    const QRect loss = LossRect();
    const std::vector<THistoryBucket>& buckets = FGraph->Data().Buckets;
    const TDateTime length = BucketLength(buckets);
    const auto [first, last] = BucketsIn(buckets, length, FGraph->ViewFrom(), FGraph->ViewTo());
    const auto yOf = [&](double ms) { return plot.bottom() - ms / MaxMs * plot.height(); };
    const auto lossBar = [&](double x0, double x1, uint32_t losses, uint32_t probes) {
        if (losses == 0 || probes == 0)
            return;
        const double share = std::min(1.0, static_cast<double>(losses) / probes);
        const double h = std::max(1.0, share * (loss.height() - 3));
        Painter.fillRect(QRectF(x0, loss.bottom() - h, x1 - x0, h), LossColour);
    };

    Painter.save();
    Painter.setClipRect(plot.united(loss));
    if (last - first > static_cast<size_t>(plot.width())) {
        // More buckets than pixels to show them: folded to one column per pixel.
        std::vector<TColumn> columns(static_cast<size_t>(plot.width()));
        for (size_t i = first; i < last; ++i) {
            const THistoryBucket& b = buckets[i];
            const auto column = static_cast<size_t>(std::clamp(
                static_cast<int>(XOf(b.Start + (length / 2))) - plot.left(), 0, plot.width() - 1));
            TColumn& c = columns[column];
            c.Probes += b.Probes;
            c.Losses += std::min(b.Losses, b.Probes);
            if (b.Probes <= b.Losses)
                continue;
            const uint32_t replies = b.Probes - b.Losses;
            c.Low = c.Replies == 0 ? b.MinRtt : std::min<double>(c.Low, b.MinRtt);
            c.High = c.Replies == 0 ? b.MaxRtt : std::max<double>(c.High, b.MaxRtt);
            c.Sum += b.AvgRtt * replies;
            c.Replies += replies;
        }
        PaintColumns(Painter, columns, MaxMs);
        for (size_t i = 0; i < columns.size(); ++i) {
            const double x = plot.left() + static_cast<double>(i);
            lossBar(x, x + 1, static_cast<uint32_t>(columns[i].Losses),
                    static_cast<uint32_t>(columns[i].Probes));
        }
        Painter.restore();
        return;
    }

    Painter.setPen(Qt::NoPen);
    QPolygonF line;
    std::vector<QPolygonF> lines;
    TDateTime previousEnd = -1;
    for (size_t i = first; i < last; ++i) {
        const THistoryBucket& b = buckets[i];
        const double x0 = XOf(b.Start);
        const double x1 = std::max(XOf(b.Start + length), x0 + 1);
        lossBar(x0, x1, b.Losses, b.Probes);
        if (b.Probes <= b.Losses) {
            if (!line.isEmpty())
                lines.push_back(std::exchange(line, {}));
            continue;
        }
        Painter.fillRect(QRectF(QPointF(x0, yOf(b.MaxRtt)), QPointF(x1, yOf(b.MinRtt) + 1)),
                         BandColour);
        // A gap in the records breaks the line.
        if (previousEnd >= 0 && b.Start - previousEnd > length / 2 && !line.isEmpty())
            lines.push_back(std::exchange(line, {}));
        line.append(QPointF((x0 + x1) / 2, yOf(b.AvgRtt)));
        previousEnd = b.Start + length;
    }
    if (!line.isEmpty())
        lines.push_back(line);
    Painter.setRenderHint(QPainter::Antialiasing, true);
    Painter.setPen(QPen(LineColour, 1.5));
    for (const QPolygonF& part : lines)
        if (part.size() == 1)
            Painter.drawPoint(part.front());
        else
            Painter.drawPolyline(part);
    Painter.restore();
}

void THistoryPlot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    const double top = TopMs();
    PaintAxes(painter, top);
    const THistoryGraphData& d = FGraph->Data();
    if (d.Raw)
        PaintProbes(painter, top);
    else
        PaintBuckets(painter, top);

    QString note;
    if (FGraph->Loading() && d.Probes.empty() && d.Buckets.empty())
        note = QStringLiteral("Loading…");
    else if (FGraph->Loading())
        note.clear();
    else if (FGraph->LinePoints() == 0 && FGraph->LossMarks() == 0)
        note = !d.Problem.empty() ? QString::fromStdString(d.Problem)
                                  : QStringLiteral("No records for this time");
    if (!note.isEmpty()) {
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(PlotRect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                         note);
    }
}

void THistoryPlot::wheelEvent(QWheelEvent* Event) {
    const double notches = Event->angleDelta().y() / 120.0;
    if (notches == 0) {
        Event->ignore();
        return;
    }
    FGraph->ZoomBy(std::pow(0.8, notches), TimeAt(Event->position().x()));
    Event->accept();
}

void THistoryPlot::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(Event);
    const QRect plot = PlotRect();
    FBandStart = std::clamp(static_cast<int>(Event->position().x()), plot.left(), plot.right());
    if (FBand == nullptr)
        FBand = new QRubberBand(QRubberBand::Rectangle, this);
    FBand->setGeometry(FBandStart, plot.top(), 1, LossRect().bottom() - plot.top());
    FBand->show();
}

void THistoryPlot::mouseMoveEvent(QMouseEvent* Event) {
    if (FBandStart < 0 || FBand == nullptr)
        return QWidget::mouseMoveEvent(Event);
    const QRect plot = PlotRect();
    const int x = std::clamp(static_cast<int>(Event->position().x()), plot.left(), plot.right());
    FBand->setGeometry(std::min(x, FBandStart), plot.top(), std::abs(x - FBandStart) + 1,
                       LossRect().bottom() - plot.top());
}

void THistoryPlot::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || FBandStart < 0)
        return QWidget::mouseReleaseEvent(Event);
    const QRect plot = PlotRect();
    const int x = std::clamp(static_cast<int>(Event->position().x()), plot.left(), plot.right());
    const int start = std::exchange(FBandStart, -1);
    if (FBand != nullptr)
        FBand->hide();
    // A click is not a band.
    if (std::abs(x - start) >= 5)
        FGraph->Zoom(TimeAt(std::min(x, start)), TimeAt(std::max(x, start)));
}

void THistoryPlot::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton)
        FGraph->ResetZoom();
}

// ---------------------------------------------------------------------------
// The graph

THistoryGraph::THistoryGraph(QWidget* Parent) : QWidget(Parent) {
    auto* header = new QHBoxLayout;
    header->setSpacing(2);
    static constexpr std::array<const char*, 5> Names = {"Hour", "Day", "Week", "Month", "Year"};
    for (size_t i = 0; i < Names.size(); ++i) {
        auto* button = new QToolButton(this);
        button->setText(QString::fromUtf8(Names.at(i)));
        button->setCheckable(true);
        button->setAutoExclusive(true);
        button->setAutoRaise(true);
        const auto range = static_cast<TGraphRange>(i);
        // Clicking the range shown reads it again, up to now.
        connect(button, &QToolButton::clicked, this, [this, range] { SetRange(range); });
        FRangeButtons.at(i) = button;
        header->addWidget(button);
    }
    header->addSpacing(8);
    ResetBtn = new QToolButton(this);
    ResetBtn->setText(QStringLiteral("Reset zoom"));
    ResetBtn->setToolTip(QStringLiteral("Show the whole range (or double-click the graph)"));
    ResetBtn->setEnabled(false);
    connect(ResetBtn, &QToolButton::clicked, this, [this] { ResetZoom(); });
    header->addWidget(ResetBtn);
    header->addSpacing(8);
    Summary = new QLabel(this);
    Summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    header->addWidget(Summary, 1);

    Plot = new THistoryPlot(this);
    Plot->setToolTip(QStringLiteral("Wheel or drag to zoom; double-click for the whole range"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(header);
    layout->addWidget(Plot, 1);

    FZoomSettle = new QTimer(this);
    FZoomSettle->setSingleShot(true);
    FZoomSettle->setInterval(250);
    connect(FZoomSettle, &QTimer::timeout, this, [this] { ReloadView(); });

    FReader = std::make_unique<TReader>([this](THistoryGraphData data, uint64_t generation) {
        // Handed to the window's thread; dropped there if the graph is gone,
        // which it cannot be before this thread is joined.
        QMetaObject::invokeMethod(
            this,
            [this, data = std::move(data), generation]() mutable {
                Receive(std::move(data), generation);
            },
            Qt::QueuedConnection);
    });
    RangeButton(FRange)->setChecked(true);
}

THistoryGraph::~THistoryGraph() {
    FReader.reset();
}

void THistoryGraph::SetSource(THistorySource* Source, const std::string& Host) {
    FSource = Source;
    FHost = Host;
    SetRange(FRange);
}

TDateTime THistoryGraph::Span(TGraphRange Range) {
    switch (Range) {
    case TGraphRange::Hour:
        return Hour;
    case TGraphRange::Day:
        return 1;
    case TGraphRange::Week:
        return 7;
    case TGraphRange::Month:
        return 30;
    case TGraphRange::Year:
        return 365;
    }
    return 1;
}

void THistoryGraph::SetRange(TGraphRange Range) {
    FRange = Range;
    RangeButton(Range)->setChecked(true);
    FZoomSettle->stop();
    FFullTo = Now();
    FFullFrom = FFullTo - Span(Range);
    FViewFrom = FFullFrom;
    FViewTo = FFullTo;
    FData = {};
    FData.Raw = Span(Range) <= 1;
    ResetBtn->setEnabled(false);
    Load(FFullFrom, FFullTo);
}

bool THistoryGraph::Zoomed() const {
    return FViewFrom > FFullFrom + Slack || FViewTo < FFullTo - Slack;
}

void THistoryGraph::Zoom(TDateTime From, TDateTime To) {
    From = std::max(From, FFullFrom);
    To = std::min(To, FFullTo);
    const TDateTime least = std::min(MinimumView, FFullTo - FFullFrom);
    if (To - From < least) {
        const TDateTime middle = (From + To) / 2;
        From = std::clamp(middle - least / 2, FFullFrom, FFullTo - least);
        To = From + least;
    }
    FViewFrom = From;
    FViewTo = To;
    ViewChanged();
}

void THistoryGraph::ZoomBy(double Factor, TDateTime About) {
    const TDateTime span = FViewTo - FViewFrom;
    const TDateTime wanted =
        std::clamp(span * Factor, std::min(MinimumView, FFullTo - FFullFrom), FFullTo - FFullFrom);
    const double share = span > 0 ? (About - FViewFrom) / span : 0.5;
    TDateTime from = About - share * wanted;
    from = std::clamp(from, FFullFrom, FFullTo - wanted);
    FViewFrom = from;
    FViewTo = from + wanted;
    ViewChanged();
}

void THistoryGraph::ResetZoom() {
    FViewFrom = FFullFrom;
    FViewTo = FFullTo;
    ViewChanged();
}

void THistoryGraph::ViewChanged() {
    ResetBtn->setEnabled(Zoomed());
    Summary->setText(SummaryText());
    Plot->update();
    FZoomSettle->start();
}

void THistoryGraph::ReloadView() {
    if (FSource == nullptr)
        return;
    const bool covered = FData.From <= FViewFrom + Slack && FData.To >= FViewTo - Slack;
    const TDateTime span = FViewTo - FViewFrom;
    const bool rawFits = span <= 1 + Slack && FViewFrom >= Now() - FSource->RawDays();
    const bool coarse = !FData.Raw && (rawFits || span < (FData.To - FData.From) / 2);
    if (!covered || coarse)
        Load(FViewFrom, FViewTo);
}

void THistoryGraph::Load(TDateTime From, TDateTime To) {
    if (FSource == nullptr) {
        FLoading = false;
        Summary->clear();
        Plot->update();
        return;
    }
    TRequest request;
    request.Source = FSource;
    request.Host = FHost;
    request.Raw = To - From <= 1 + Slack && From >= Now() - FSource->RawDays();
    request.From = From;
    request.To = To;
    request.Generation = ++FGeneration;
    FLoading = true;
    FReader->Ask(std::move(request));
    Summary->setText(SummaryText());
    Plot->update();
}

void THistoryGraph::Receive(THistoryGraphData Data, uint64_t Generation) {
    if (Generation != FGeneration)
        return;
    const auto byTime = [](const THistoryProbe& a, const THistoryProbe& b) {
        return a.Time < b.Time;
    };
    if (!std::is_sorted(Data.Probes.begin(), Data.Probes.end(), byTime))
        std::stable_sort(Data.Probes.begin(), Data.Probes.end(), byTime);
    const auto byStart = [](const THistoryBucket& a, const THistoryBucket& b) {
        return a.Start < b.Start;
    };
    if (!std::is_sorted(Data.Buckets.begin(), Data.Buckets.end(), byStart))
        std::stable_sort(Data.Buckets.begin(), Data.Buckets.end(), byStart);
    if (Data.Problem.empty() && FSource != nullptr && Data.Probes.empty() && Data.Buckets.empty())
        Data.Problem = FSource->Problem();
    FData = std::move(Data);
    FLoading = false;
    Summary->setText(SummaryText());
    Plot->update();
    emit Loaded();
}

int THistoryGraph::LinePoints() const {
    int n = 0;
    if (FData.Raw) {
        const auto [first, last] = ProbesIn(FData.Probes, FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i)
            n += IsLoss(FData.Probes[i]) ? 0 : 1;
    } else {
        const auto [first, last] =
            BucketsIn(FData.Buckets, BucketLength(FData.Buckets), FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i)
            n += FData.Buckets[i].Probes > FData.Buckets[i].Losses ? 1 : 0;
    }
    return n;
}

int THistoryGraph::LossMarks() const {
    int n = 0;
    if (FData.Raw) {
        const auto [first, last] = ProbesIn(FData.Probes, FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i)
            n += IsLoss(FData.Probes[i]) ? 1 : 0;
    } else {
        const auto [first, last] =
            BucketsIn(FData.Buckets, BucketLength(FData.Buckets), FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i)
            n += FData.Buckets[i].Losses > 0 ? 1 : 0;
    }
    return n;
}

QString THistoryGraph::SummaryText() const {
    if (FLoading)
        return QStringLiteral("Loading…");
    uint64_t probes = 0;
    uint64_t losses = 0;
    double sum = 0;
    uint32_t slowest = 0;
    if (FData.Raw) {
        const auto [first, last] = ProbesIn(FData.Probes, FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i) {
            const THistoryProbe& p = FData.Probes[i];
            ++probes;
            if (IsLoss(p)) {
                ++losses;
                continue;
            }
            sum += p.RoundTripMs;
            slowest = std::max(slowest, p.RoundTripMs);
        }
    } else {
        const auto [first, last] =
            BucketsIn(FData.Buckets, BucketLength(FData.Buckets), FViewFrom, FViewTo);
        for (size_t i = first; i < last; ++i) {
            const THistoryBucket& b = FData.Buckets[i];
            probes += b.Probes;
            losses += std::min(b.Losses, b.Probes);
            if (b.Probes > b.Losses) {
                sum += b.AvgRtt * (b.Probes - b.Losses);
                slowest = std::max(slowest, b.MaxRtt);
            }
        }
    }
    if (probes == 0)
        return {};
    const QLocale locale;
    const uint64_t replies = probes - losses;
    QString text =
        QStringLiteral("%1 probes, %2 lost (%3 %)")
            .arg(locale.toString(static_cast<qulonglong>(probes)),
                 locale.toString(static_cast<qulonglong>(losses)),
                 locale.toString(100.0 * static_cast<double>(losses) / static_cast<double>(probes),
                                 'f', losses == 0 ? 0 : 2));
    if (replies > 0)
        text += QStringLiteral(", avg %1 ms, max %2 ms")
                    .arg(locale.toString(sum / static_cast<double>(replies), 'f', 1),
                         locale.toString(slowest));
    return text;
}
