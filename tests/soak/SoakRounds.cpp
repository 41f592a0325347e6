#include "tests/soak/SoakRounds.h"

#include "core/SentrelScannerCM.h"
#include "ui/AdminOptionsFM.h"
#include "ui/LogViewerCM.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPixmapCache>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int AnswerTimeoutMs = 30000;
constexpr int RunMs = 1500;
constexpr int ViewerOpenMs = 300;
constexpr int AfterRebuildMs = 500;
// The first stop sets the descriptor and thread levels; memory is held to
// its level at the end of the warm-up: the first third of the run, and at
// least this many rounds.
constexpr int MinWarmupRounds = 3;

void Pump(int Ms) {
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

long ElapsedMs(Clock::time_point Since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Since).count());
}

// Runs Action on the next modal window, from the event loop that window
// runs, unless *Armed is cleared first: a window that never opened must not
// leave an action behind for the next one.
void OnNextModal(std::shared_ptr<bool> Armed, std::function<void(QWidget*)> Action) {
    auto attempt = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> self = attempt;
    *attempt = [Armed, Action, self] {
        if (!*Armed)
            return;
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            *Armed = false;
            Action(modal);
            return;
        }
        if (auto again = self.lock())
            QTimer::singleShot(10, [again] { (*again)(); });
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(); });
}

double MiB(long KiB) {
    return static_cast<double>(KiB) / 1024.0;
}

} // namespace

TSoakRounds::TSoakRounds(TMain& Main, TOptionsForm& Options, int Devices, std::FILE* Out)
    : FMain(Main), FOptions(Options), FDevices(Devices), FOut(Out) {}

void TSoakRounds::ErrorReported(const std::string& Text) {
    FReports.push_back(Text);
}

bool TSoakRounds::Run(std::chrono::milliseconds Duration) {
    FBegin = Clock::now();
    FAtStart = ReadProcessLevels();
    std::fprintf(FOut, "before the first round: %d descriptors, %d threads, %.1f MiB resident\n",
                 FAtStart.Descriptors, FAtStart.Threads, MiB(FAtStart.RssKiB));
    PrintHeader();
    bool sound = true;
    for (int round = 1; round <= MinWarmupRounds + 1 || Clock::now() - FBegin < Duration; ++round) {
        TRoundFigures figures = RunRound(round);
        // A worker for every device at Start and again at the rebuild.
        FGuard.ThreadsStarted(2L * FDevices);
        if (round == 1)
            FGuard.SetBase(figures.Stopped);
        figures.WarmingUp = !FGuard.MemoryBaseSet();
        if (figures.WarmingUp && round >= MinWarmupRounds &&
            Clock::now() - FBegin >= Duration / 3) {
            FGuard.SetMemoryBase(figures.Stopped);
            FWarmupRounds = round;
        }
        const std::string levels = FGuard.Check(figures.Stopped);
        if (!levels.empty())
            figures.Faults += (figures.Faults.empty() ? "" : "; ") + levels;
        if (!figures.Faults.empty())
            sound = false;
        FRounds.push_back(figures);
        PrintRound(figures);
    }
    return sound;
}

TRoundFigures TSoakRounds::RunRound(int Round) {
    TRoundFigures figures;
    figures.Round = Round;
    const size_t reportsBefore = FReports.size();
    auto fault = [&figures](const std::string& text) {
        figures.Faults += (figures.Faults.empty() ? "" : "; ") + text;
    };

    FMain.StartAction->trigger();
    figures.AnswerMs = WaitAllConnected();
    if (figures.AnswerMs < 0)
        fault("not every device answered after Start");
    Pump(RunMs);
    figures.Scanning = ReadProcessLevels();

    // A different row each round, so that each device's log gets looked at.
    FMain.List->SetSelected(FMain.List->Item((Round * 37) % FMain.List->Count()));
    figures.SystemLogLines = ShowLogViewer(false);
    figures.DeviceLogLines = ShowLogViewer(true);
    if (figures.SystemLogLines < FDevices)
        fault("the system log showed " + std::to_string(figures.SystemLogLines) + " lines");
    if (figures.DeviceLogLines < 1)
        fault("the device log showed no line");

    auto armed = std::make_shared<bool>(true);
    bool confirmed = false;
    OnNextModal(armed, [this, &confirmed](QWidget* modal) {
        if (modal != &FOptions) {
            modal->close();
            return;
        }
        confirmed = true;
        FOptions.OKBtn->click();
    });
    const auto optionsAt = Clock::now();
    FMain.OptionsAction->trigger();
    *armed = false;
    if (!confirmed)
        fault("the options dialog did not open");
    if (!FMain.Scanner->Active() || FMain.List->Count() != FDevices)
        fault("scanning did not resume over every device after the options");
    // From the command on: the dialog, the save, the rebuild, every answer.
    figures.RebuildMs = WaitAllConnected() < 0 ? -1 : ElapsedMs(optionsAt);
    if (figures.RebuildMs < 0)
        fault("not every device answered after the options");
    Pump(AfterRebuildMs);

    const auto stopAt = Clock::now();
    FMain.StopAction->trigger();
    figures.StopMs = ElapsedMs(stopAt);
    if (FMain.Scanner->Active() || FMain.Scanning())
        fault("Stop left scanning on");
    // Windows closed this round are deleted from the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    // Qt keeps drawn pixmaps, up to its cache limit, keyed by icon instances
    // that windows opened anew never ask for again; not the program's.
    QPixmapCache::clear();
    figures.Stopped = ReadProcessLevels();

    for (size_t i = reportsBefore; i < FReports.size(); ++i)
        fault("error report: " + FReports[i]);
    figures.AtSeconds = static_cast<double>(ElapsedMs(FBegin)) / 1000.0;
    return figures;
}

long TSoakRounds::WaitAllConnected() {
    const auto since = Clock::now();
    const QString connected = QStringLiteral("Connected");
    int from = 0; // rows before it have answered already
    while (ElapsedMs(since) < AnswerTimeoutMs) {
        while (from < FMain.List->Count() && FMain.List->Item(from)->SubItem(0) == connected)
            ++from;
        if (from == FMain.List->Count()) {
            // Rows move when their lamps light: look at all of them once more.
            from = 0;
            while (from < FMain.List->Count() && FMain.List->Item(from)->SubItem(0) == connected)
                ++from;
            if (from == FMain.List->Count())
                return ElapsedMs(since);
        }
        Pump(25);
    }
    return -1;
}

int TSoakRounds::ShowLogViewer(bool DeviceLog) {
    auto armed = std::make_shared<bool>(true);
    int lines = -1;
    OnNextModal(armed, [this, &lines](QWidget* modal) {
        TLogViewerForm* form = FMain.LogViewer->Form();
        if (form == nullptr || modal != form) {
            modal->close();
            return;
        }
        lines = static_cast<int>(form->Lines().size());
        // Open a moment, following the log live, then closed by its button.
        QTimer::singleShot(ViewerOpenMs, form, [form] { form->CloseBtn->click(); });
    });
    (DeviceLog ? FMain.ViewDeviceLogAction : FMain.ViewLogAction)->trigger();
    *armed = false;
    return lines;
}

void TSoakRounds::PrintHeader() const {
    std::fprintf(
        FOut, "answer: ms from Start until every row shows \"Connected\" (25 ms steps); rebuild: "
              "ms from the Options command until every row answers again;\n"
              "log lines: system log / device log shown; heap: what the program holds "
              "allocated; kept: freed memory the sanitizer's allocator keeps\n");
    std::fprintf(FOut, "round  time s  answer  rebuild  stop ms  log lines  scanning: thr   fds"
                       "  | stopped: fds  thr  RSS MiB  heap MiB  kept MiB  verdict\n");
}

void TSoakRounds::PrintRound(const TRoundFigures& F) const {
    std::string verdict = F.Faults.empty() ? "ok" : F.Faults;
    if (F.WarmingUp)
        verdict += " (memory warming up)";
    std::fprintf(FOut,
                 "%5d  %6.1f  %6ld  %7ld  %7ld  %4d/%-4d  %13d %5d  | %12d %4d  %7.1f  %8.1f  "
                 "%8.1f  %s\n",
                 F.Round, F.AtSeconds, F.AnswerMs, F.RebuildMs, F.StopMs, F.SystemLogLines,
                 F.DeviceLogLines, F.Scanning.Threads, F.Scanning.Descriptors,
                 F.Stopped.Descriptors, F.Stopped.Threads, MiB(F.Stopped.RssKiB),
                 MiB(F.Stopped.HeapKiB), MiB(F.Stopped.KeptKiB), verdict.c_str());
    std::fflush(FOut);
}

void TSoakRounds::PrintSummary() const {
    if (FRounds.empty())
        return;
    // Lowest and highest of a figure over the rounds from First on.
    auto range = [this](auto field, size_t First = 0) {
        long low = 0, high = 0;
        for (size_t i = First; i < FRounds.size(); ++i) {
            const long value = field(FRounds[i]);
            low = i == First ? value : std::min(low, value);
            high = i == First ? value : std::max(high, value);
        }
        return std::make_pair(low, high);
    };
    const auto answer = range([](const TRoundFigures& f) { return f.AnswerMs; });
    const auto rebuild = range([](const TRoundFigures& f) { return f.RebuildMs; });
    const auto stop = range([](const TRoundFigures& f) { return f.StopMs; });
    const auto threads = range([](const TRoundFigures& f) { return long{f.Scanning.Threads}; });
    const auto fds = range([](const TRoundFigures& f) { return long{f.Stopped.Descriptors}; });
    const auto stoppedThreads =
        range([](const TRoundFigures& f) { return long{f.Stopped.Threads}; });
    const size_t held = static_cast<size_t>(FWarmupRounds);
    const auto rss = range([](const TRoundFigures& f) { return f.Stopped.RssKiB; }, held);
    const auto heap = range([](const TRoundFigures& f) { return f.Stopped.HeapKiB; }, held);
    const long faulty = std::count_if(FRounds.begin(), FRounds.end(),
                                      [](const TRoundFigures& f) { return !f.Faults.empty(); });
    const TProcessLevels& base = FGuard.Base();
    const TProcessLevels& memory = FGuard.MemoryBase();
    std::fprintf(FOut,
                 "\nsummary: %zu rounds in %.1f s over %d devices: %zu starts and stops, "
                 "%zu option confirmations with rebuilds, %zu log viewer openings\n",
                 FRounds.size(), FRounds.back().AtSeconds, FDevices, FRounds.size(), FRounds.size(),
                 2 * FRounds.size());
    std::fprintf(FOut,
                 "  every row answered after Start in %ld..%ld ms, after the options in "
                 "%ld..%ld ms; Stop took %ld..%ld ms; threads while scanning %ld..%ld\n",
                 answer.first, answer.second, rebuild.first, rebuild.second, stop.first,
                 stop.second, threads.first, threads.second);
    std::fprintf(FOut, "  before the first round: %d descriptors, %d threads, %.1f MiB resident\n",
                 FAtStart.Descriptors, FAtStart.Threads, MiB(FAtStart.RssKiB));
    std::fprintf(FOut,
                 "  after every stop: descriptors %ld..%ld (base %d, exact), threads %ld..%ld "
                 "(base %d, exact)\n",
                 fds.first, fds.second, base.Descriptors, stoppedThreads.first,
                 stoppedThreads.second, base.Threads);
    if (FGuard.MemoryBaseSet()) {
        std::fprintf(FOut,
                     "  after the warm-up (%d rounds): resident %.1f..%.1f MiB (base %.1f, limit "
                     "at the end %.1f: +%d %%, at least %ld MiB, +%ld bytes a thread started)",
                     FWarmupRounds, MiB(rss.first), MiB(rss.second), MiB(memory.RssKiB),
                     MiB(FGuard.RssLimitKiB()), TLevelGuard::MarginPercent,
                     TLevelGuard::RssMarginMinKiB / 1024,
                     memory.HeapKiB < 0 ? 0L : TLevelGuard::SanitizerBytesPerThread);
        if (memory.HeapKiB >= 0)
            std::fprintf(FOut,
                         ", heap %.1f..%.1f MiB (base %.1f, limit %.1f: +%d %%, at least %ld "
                         "MiB)",
                         MiB(heap.first), MiB(heap.second), MiB(memory.HeapKiB),
                         MiB(FGuard.HeapLimitKiB()), TLevelGuard::MarginPercent,
                         TLevelGuard::HeapMarginMinKiB / 1024);
        std::fprintf(FOut, "\n");
    }
    std::fprintf(FOut, "  %ld of %zu rounds with faults; %zu error reports\n", faulty,
                 FRounds.size(), FReports.size());
    std::fflush(FOut);
}
