#pragma once
// The latency graph of one device: round-trip time over the last hour, day,
// week, month or year, with lost probes marked along the time axis. Hours
// and days come from the raw probes (a line of the replies, a red tick for
// every loss); longer ranges from the stored buckets (the average as a line
// in a band from fastest to slowest, red bars as high as the share lost).
// The mouse wheel and a dragged band zoom the time axis; a double click or
// Reset shows the whole range again, and a zoomed range is read again at a
// finer grain.
//
// A painted widget, not a chart library: a day of probes at one a second is
// 86,400 points, which the painter folds to one column per pixel; a chart
// library keeps an item per point and would cost a package more for axes and
// a rubber band that take a few dozen lines here.
//
// Reads run on a thread the graph owns, never on the window's: a range shows
// "Loading…" until its records are in, and a newer request supersedes an
// older one that has not come back.

#include "ui/HistorySource.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QTimer;
class QToolButton;
class THistoryPlot;

enum class TGraphRange { Hour, Day, Week, Month, Year };

// The records of one read.
struct THistoryGraphData {
    bool Raw = true; // probes; buckets otherwise
    TDateTime From = 0, To = 0;
    std::vector<THistoryProbe> Probes;
    std::vector<THistoryBucket> Buckets;
    std::string Problem; // the source failed: why
};

class THistoryGraph : public QWidget {
    Q_OBJECT
public:
    explicit THistoryGraph(QWidget* Parent = nullptr);
    ~THistoryGraph() override; // joins the reader before the widgets go

    // Source must outlive the graph. Shows the day by default.
    void SetSource(THistorySource* Source, const std::string& Host);
    const std::string& Host() const { return FHost; }

    static TDateTime Span(TGraphRange Range);
    // The range ending now; resets the zoom.
    void SetRange(TGraphRange Range);
    TGraphRange Range() const { return FRange; }

    // The time shown: the range, or the part of it zoomed into.
    TDateTime ViewFrom() const { return FViewFrom; }
    TDateTime ViewTo() const { return FViewTo; }
    bool Zoomed() const;
    void Zoom(TDateTime From, TDateTime To);
    // Factor < 1 zooms in, keeping About where it is on the axis.
    void ZoomBy(double Factor, TDateTime About);
    void ResetZoom();

    // True from a request until its records are in.
    bool Loading() const { return FLoading; }
    const THistoryGraphData& Data() const { return FData; }

    // What is drawn in the view: the points of the round-trip line (replies,
    // or buckets with replies) and the loss marks (lost probes, or buckets
    // with losses).
    int LinePoints() const;
    int LossMarks() const;
    QString SummaryText() const;

    QToolButton* RangeButton(TGraphRange Range) const {
        return FRangeButtons.at(static_cast<size_t>(Range));
    }
    QToolButton* ResetBtn = nullptr;
    QLabel* Summary = nullptr;
    THistoryPlot* Plot = nullptr;

signals:
    // A read has come back and is shown.
    void Loaded();

private:
    class TReader;
    struct TRequest {
        THistorySource* Source = nullptr;
        std::string Host;
        bool Raw = true;
        TDateTime From = 0, To = 0;
        uint64_t Generation = 0;
    };

    void Load(TDateTime From, TDateTime To);
    void Receive(THistoryGraphData Data, uint64_t Generation);
    // After the zoom settles: reads the view again when the records held are
    // coarser than it deserves or do not cover it.
    void ReloadView();
    void ViewChanged();

    THistorySource* FSource = nullptr;
    std::string FHost;
    TGraphRange FRange = TGraphRange::Day;
    TDateTime FFullFrom = 0, FFullTo = 0;
    TDateTime FViewFrom = 0, FViewTo = 0;
    THistoryGraphData FData;
    bool FLoading = false;
    uint64_t FGeneration = 0;
    std::array<QToolButton*, 5> FRangeButtons{};
    QTimer* FZoomSettle = nullptr;
    std::unique_ptr<TReader> FReader;
};
