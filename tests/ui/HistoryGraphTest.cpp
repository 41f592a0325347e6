// The latency graph, headless, on records of its own: what a day and a year
// plot, zooming into a finer read, and the device log window with and
// without a history. Screenshots of that window land in the build folder.

#include "ui/HistoryGraph.h"
#include "core/StatusLogCM.h"
#include "framework/DateTime.h"
#include "tests/support/TempConfig.h"
#include "tests/support/WidgetTestEnvironment.h"
#include "ui/LogViewerCM.h"

#include <QDir>
#include <QLocale>
#include <QPlainTextEdit>
#include <QToolButton>

#include "tests/ui/ModalHelper.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

const TDateTime Noon = EncodeDateTime({2026, 3, 10, 12, 0, 0, 0});
constexpr TDateTime Second = 1.0 / 86400;

// Records like a device's: a probe every 30 s for a week, a few ms with some
// jitter, a slow afternoon, a short outage and scattered losses; a year of
// hourly buckets.
class FakeSource : public THistorySource {
public:
    FakeSource() {
        std::mt19937 random(7);
        std::uniform_real_distribution<double> jitter(0, 1);
        for (TDateTime t = Noon - 7; t < Noon; t += 30 * Second) {
            THistoryProbe p{t, "router", prSuccess, 0};
            const double hour = std::fmod(t, 1.0) * 24;
            const bool outage = t > Noon - 0.30 && t < Noon - 0.29;
            if (outage || jitter(random) < 0.01)
                p.Result = prTimedOut;
            else
                p.RoundTripMs = static_cast<uint32_t>(
                    3 + (jitter(random) * 4) + (hour > 14 && hour < 17 ? 12 * jitter(random) : 0));
            AllProbes.push_back(p);
        }
        for (TDateTime t = std::floor(Noon - 365); t < Noon; t += 1.0 / 24) {
            THistoryBucket b{t, 120, 0, 2, 9, 4};
            if (jitter(random) < 0.05)
                b.Losses = static_cast<uint32_t>(jitter(random) * 40);
            const double season = 2 * std::sin((t - Noon) / 58);
            b.MinRtt = static_cast<uint32_t>(3 + season);
            b.AvgRtt = 6 + season + (2 * jitter(random));
            b.MaxRtt = static_cast<uint32_t>(b.AvgRtt + 3 + (12 * jitter(random)));
            AllBuckets.push_back(b);
        }
    }

    struct Read {
        bool Raw;
        std::string Host;
        TDateTime From, To;
    };

    std::vector<THistoryProbe> Probes(const std::string& Host, TDateTime From,
                                      TDateTime To) const override {
        const std::lock_guard<std::mutex> lock(Lock);
        Reads.push_back({true, Host, From, To});
        std::vector<THistoryProbe> out;
        for (const THistoryProbe& p : AllProbes)
            if (p.Time >= From && p.Time < To)
                out.push_back(p);
        return out;
    }
    std::vector<THistoryBucket> Buckets(const std::string& Host, TDateTime From,
                                        TDateTime To) const override {
        const std::lock_guard<std::mutex> lock(Lock);
        Reads.push_back({false, Host, From, To});
        std::vector<THistoryBucket> out;
        for (const THistoryBucket& b : AllBuckets)
            if (b.Start >= From && b.Start < To)
                out.push_back(b);
        return out;
    }
    Read LastRead() const {
        const std::lock_guard<std::mutex> lock(Lock);
        return Reads.back();
    }

    // In [From, To): replies and losses, or buckets with replies and with losses.
    std::pair<int, int> ProbeCounts(TDateTime From, TDateTime To) const {
        std::pair<int, int> n;
        for (const THistoryProbe& p : AllProbes)
            if (p.Time >= From && p.Time < To)
                ++(p.Result == prSuccess ? n.first : n.second);
        return n;
    }
    std::pair<int, int> BucketCounts(TDateTime From, TDateTime To) const {
        std::pair<int, int> n;
        for (const THistoryBucket& b : AllBuckets)
            if (b.Start >= From && b.Start < To) {
                n.first += b.Probes > b.Losses ? 1 : 0;
                n.second += b.Losses > 0 ? 1 : 0;
            }
        return n;
    }

    std::vector<THistoryProbe> AllProbes;
    std::vector<THistoryBucket> AllBuckets;
    mutable std::mutex Lock;
    mutable std::vector<Read> Reads;
};

bool Loaded(const THistoryGraph& Graph) {
    return WaitUntil([&] { return !Graph.Loading(); });
}

class HistoryGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::setlocale(LC_ALL, "C");
        SetClock([] { return Noon; });
    }
    void TearDown() override { SetClock(nullptr); }

    FakeSource Source;
};

TEST_F(HistoryGraphTest, DayPlotsRepliesAndLossesYearPlotsBucketsAndZoomReadsFiner) {
    THistoryGraph graph;
    graph.resize(640, 300);
    graph.SetSource(&Source, "router");
    ASSERT_TRUE(Loaded(graph));

    FakeSource::Read read = Source.LastRead();
    EXPECT_TRUE(read.Raw);
    EXPECT_EQ(read.Host, "router");
    EXPECT_DOUBLE_EQ(read.To, Noon);
    EXPECT_DOUBLE_EQ(read.From, Noon - 1);
    const auto [replies, losses] = Source.ProbeCounts(Noon - 1, Noon);
    ASSERT_GT(losses, 20); // the outage and the scattered ones
    EXPECT_EQ(graph.LinePoints(), replies);
    EXPECT_EQ(graph.LossMarks(), losses);
    EXPECT_TRUE(graph.SummaryText().startsWith(
        QStringLiteral("%1 probes, %2 lost")
            .arg(QLocale().toString(replies + losses), QLocale().toString(losses))))
        << graph.SummaryText().toStdString();

    graph.RangeButton(TGraphRange::Year)->click();
    ASSERT_TRUE(Loaded(graph));
    read = Source.LastRead();
    EXPECT_FALSE(read.Raw);
    EXPECT_DOUBLE_EQ(read.To, Noon);
    EXPECT_DOUBLE_EQ(read.From, Noon - 365);
    const auto [hours, lossyHours] = Source.BucketCounts(Noon - 365, Noon);
    EXPECT_EQ(graph.LinePoints(), hours);
    EXPECT_EQ(graph.LossMarks(), lossyHours);

    // Zoomed into the last day, the year's buckets give way to the probes.
    graph.Zoom(Noon - 1, Noon);
    EXPECT_TRUE(graph.ResetBtn->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return graph.Data().Raw && !graph.Loading(); }));
    EXPECT_EQ(graph.LinePoints(), replies);
    EXPECT_EQ(graph.LossMarks(), losses);

    graph.ResetBtn->click();
    EXPECT_DOUBLE_EQ(graph.ViewFrom(), Noon - 365);
    ASSERT_TRUE(WaitUntil([&] { return !graph.Data().Raw && !graph.Loading(); }));
    EXPECT_EQ(graph.LinePoints(), hours);
}

class DeviceLogGraphTest : public HistoryGraphTest {
protected:
    void SetUp() override {
        HistoryGraphTest::SetUp();
        Owner = std::make_unique<TComponent>(nullptr);
        Log = new TStatusLog(Owner.get());
        Log->SetCapacity(50);
        for (int i = 0; i < 3; ++i) {
            SetClock([i] { return Noon - 0.3 + (i * 0.01); });
            Log->Add("router", i == 1 ? prSuccess : prTimedOut);
        }
        SetClock([] { return Noon; });
        Viewer = new TLogViewer(Owner.get());
    }
    void TearDown() override {
        Owner.reset();
        HistoryGraphTest::TearDown();
    }

    // The lines of the window without a history, to compare with.
    QStringList PlainLines() {
        QStringList lines;
        OnNextModal([&](QWidget*) { lines = Viewer->Form()->Lines(); });
        Viewer->ShowLog(QStringLiteral("Activity Log for router"), Log);
        return lines;
    }

    static void Screenshot(QWidget& Window, const char* Name) {
        QDir().mkpath(QStringLiteral(SENTREL_SCREENSHOT_DIR));
        Window.grab().save(QStringLiteral(SENTREL_SCREENSHOT_DIR "/") + QString::fromUtf8(Name));
    }

    TempConfig Config;
    std::unique_ptr<TComponent> Owner;
    TStatusLog* Log = nullptr;
    TLogViewer* Viewer = nullptr;
};

TEST_F(DeviceLogGraphTest, DeviceLogWithHistoryShowsGraphAboveUnchangedLines) {
    const QStringList plain = PlainLines();
    ASSERT_EQ(plain.size(), 3);

    Viewer->SetGraphSource(&Source);
    OnNextModal([&](QWidget*) {
        TLogViewerForm& form = *Viewer->Form();
        ASSERT_NE(form.Graph, nullptr);
        EXPECT_TRUE(form.Graph->isVisible());
        EXPECT_TRUE(form.Memo->isVisible());
        EXPECT_LT(form.Graph->geometry().bottom(), form.Memo->mapTo(&form, QPoint(0, 0)).y());
        EXPECT_EQ(form.Graph->Host(), "router");
        EXPECT_EQ(form.Lines(), plain);
        EXPECT_EQ(form.Memo->toPlainText(), plain.join(QLatin1Char('\n')));
        ASSERT_TRUE(Loaded(*form.Graph));
        EXPECT_GT(form.Graph->LossMarks(), 0);
        Screenshot(form, "graph-day.png");
        form.Graph->RangeButton(TGraphRange::Year)->click();
        ASSERT_TRUE(Loaded(*form.Graph));
        Screenshot(form, "graph-year.png");
    });
    Viewer->ShowDeviceLog(QStringLiteral("Activity Log for router"), Log, "router");

    // The system log never has one, nor does a device's without a history.
    OnNextModal([&](QWidget*) {
        EXPECT_EQ(Viewer->Form()->Graph, nullptr);
        EXPECT_EQ(Viewer->Form()->findChild<THistoryGraph*>(), nullptr);
    });
    Viewer->ShowLog(QStringLiteral("Network Activity Log"), Log);
    Viewer->SetGraphSource(nullptr);
    OnNextModal([&](QWidget*) {
        EXPECT_EQ(Viewer->Form()->findChild<THistoryGraph*>(), nullptr);
        EXPECT_EQ(Viewer->Form()->size(), QSize(360, 320));
    });
    Viewer->ShowDeviceLog(QStringLiteral("Activity Log for router"), Log, "router");
}

} // namespace
