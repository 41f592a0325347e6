// bench_filter: the main window's list at the size of a generated profile:
// its rebuild from the settings, then keystrokes in the filter field. Each
// keystroke is timed from the key sent to the field to the end of the work
// it causes: the filter, the view's new layout and a repaint of the list.
// The rows carry status texts and lit lamps as after a round of replies.
// Last, the list's part of a stop while the filter holds a status text.
//
//   XDG_CONFIG_HOME=profile bench_filter
//
// Prints key=value lines.

#include "bench/Offscreen.h"
#include "ui/Images.h"
#include "ui/ListFilterBar.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point Began) {
    return std::chrono::duration<double, std::milli>(Clock::now() - Began).count();
}

// The work a keystroke leaves behind: the posted layout, then a paint.
void Settle(TMain& Main) {
    QApplication::processEvents();
    Main.List->viewport()->repaint();
}

// One key on the field, pressed and released; its time in ms.
double Keystroke(TMain& Main, int Key, const QString& Text) {
    QLineEdit* field = Main.FilterBar->Field();
    const auto began = Clock::now();
    QKeyEvent press(QEvent::KeyPress, Key, Qt::NoModifier, Text);
    QApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, Key, Qt::NoModifier, Text);
    QApplication::sendEvent(field, &release);
    Settle(Main);
    return Since(began);
}

} // namespace

int main(int argc, char** argv) {
    bench::RequireProfile("bench_filter");
    bench::RunHeadless();
    TApplication app(argc, argv);
    int errors = 0;
    bench::PrintErrors(errors);
    TMain::SetTrayAvailability(false);

    TMain main(QStringList{});
    main.show();
    Settle(main);
    const int rows = main.List->Count();

    auto began = Clock::now();
    main.List->Rebuild();
    const double rebuild = Since(began);
    Settle(main);
    const double rebuildPainted = Since(began);

    // Status texts as replies leave them: most connected, some not.
    for (int i = 0; i < main.List->Count(); ++i) {
        TListItem* row = main.List->Item(i);
        const bool up = i % 7 != 0;
        row->SetSubItem(0, up ? QStringLiteral("Connected") : QStringLiteral("Timed Out"));
        row->SetSubItemImage(0, up ? images::LampGreen : images::LampRed);
    }
    Settle(main);

    // Typed from the list, as a user starts; then narrowing, widening,
    // nothing matching, and Escape bringing every row back.
    std::vector<double> times;
    std::string worstKey;
    double worst = 0;
    const auto timed = [&](int key, const QString& text, const char* name) {
        const double ms = Keystroke(main, key, text);
        times.push_back(ms);
        if (ms > worst) {
            worst = ms;
            worstKey = name;
        }
    };
    main.List->setFocus();
    {
        const auto began = Clock::now();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"));
        QApplication::sendEvent(main.List, &press);
        Settle(main);
        const double ms = Since(began);
        times.push_back(ms);
        worst = ms;
        worstKey = "first character, typed in the list";
    }
    for (const char c : std::string("27.1.3")) {
        const QString text(QLatin1Char{c});
        timed(c == '.' ? Qt::Key_Period : Qt::Key_0 + (c - '0'), text, "narrowing");
    }
    for (int i = 0; i < 7; ++i)
        timed(Qt::Key_Backspace, QString(), "widening");
    for (const char c : std::string("timed")) {
        const QString text(QLatin1Char{c});
        timed(Qt::Key_A + (c - 'a'), text, "status text");
    }
    timed(Qt::Key_Q, QStringLiteral("q"), "nothing matching");
    timed(Qt::Key_Backspace, QString(), "widening");
    for (int i = 0; i < 5; ++i)
        timed(Qt::Key_Backspace, QString(), "widening to every row");
    for (const char c : std::string("device 9")) {
        const QString text(QLatin1Char{c});
        timed(c == ' ' ? Qt::Key_Space : Qt::Key_A + (c - 'a'), text, "description");
    }
    timed(Qt::Key_Escape, QString(), "Escape, every row back");
    const int shownAtEnd = main.List->ShownCount();

    // A stop while the filter holds a status text: every row's status is
    // emptied, so the rows leave the list one by one.
    main.FilterBar->Open(QStringLiteral("connected"));
    Settle(main);
    const int shownBeforeStop = main.List->ShownCount();
    began = Clock::now();
    main.List->ResetStatus();
    Settle(main);
    const double stop = Since(began);

    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("rows=%d\n", rows);
    std::printf("rebuild_ms=%.1f\n", rebuild);
    std::printf("rebuild_painted_ms=%.1f\n", rebuildPainted);
    std::printf("keystrokes=%zu\n", times.size());
    std::printf("keystroke_max_ms=%.2f\n", worst);
    std::printf("keystroke_max_key=%s\n", worstKey.c_str());
    std::printf("keystroke_median_ms=%.2f\n", sorted[sorted.size() / 2]);
    std::printf("shown_at_end=%d\n", shownAtEnd);
    std::printf("stop_filtered_ms=%.1f\n", stop);
    std::printf("stop_filtered_rows=%d\n", shownBeforeStop);
    std::printf("errors=%d\n", errors);
    return errors == 0 && shownAtEnd == rows ? 0 : 1;
}
