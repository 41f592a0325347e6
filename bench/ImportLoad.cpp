// bench_import: 10,000 hosts imported through the main window, headless, as
// an operator does it: the import dialog opened from the toolbar, the text
// put in its field, planned and shown in the preview table, Import pressed;
// the devices are added, the settings saved and the list rebuilt. Each run
// starts on an empty profile of its own in a temporary folder (settings and
// history), removed at the end, so no real user's files are touched.
//
//   bench_import [-n hosts] [-r runs]
//
// Prints key=value lines: the median of the runs for each part, and the
// slowest run's total.

#include "bench/Offscreen.h"
#include "core/SentrelSettingsCM.h"
#include "core/import/DeviceImport.h"
#include "ui/ImportDialog.h"
#include "ui/MainFM.h"
#include "ui/SentrelListView.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A file as an export writes it: a header, then host, description, type and
// monitored; loopback addresses 127.1.x.y.
std::string HostsCsv(int Hosts) {
    static const char* const types[] = {"Computer", "Server", "Printer", "Router"};
    std::string text = "Host,Description,Type,Monitored\n";
    for (int i = 0; i < Hosts; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "127.1.%d.%d,bench device %d,%s,%s\n", i / 250,
                      i % 250 + 1, i, types[i % 4], i % 10 == 0 ? "no" : "yes");
        text += line;
    }
    return text;
}

struct TRun {
    double Parse = 0;   // PlanImport alone
    double Preview = 0; // field, plan, model, table laid out and painted
    double Apply = 0;   // Import pressed until the list is rebuilt (add, save, list)
    int Rows = 0;
    int Saved = 0;
    double Total() const { return Preview + Apply; }
};

// A profile folder of its own for one run: the settings and the history go
// there, and go with it.
class TProfile {
public:
    TProfile() {
        char folder[] = "/tmp/sentrel-bench-import-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            std::perror("bench_import: mkdtemp");
            std::exit(2);
        }
        FFolder = folder;
        setenv("XDG_CONFIG_HOME", (FFolder + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (FFolder + "/state").c_str(), 1);
        std::filesystem::create_directories(FFolder + "/config");
        std::filesystem::create_directories(FFolder + "/state");
    }
    ~TProfile() {
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }
    TProfile(const TProfile&) = delete;
    TProfile& operator=(const TProfile&) = delete;

private:
    std::string FFolder;
};

TRun OneRun(const std::string& Text) {
    TProfile profile;
    {
        // No scanning and no window of its own: only the import is measured.
        TSentrelSettings settings(nullptr);
        settings.AutoScan = false;
        settings.ShowWindow = false;
        settings.Save();
    }
    TRun run;
    TMain main(QStringList{QStringLiteral("ADMIN")});
    main.Timer->stop();
    {
        const Clock::time_point began = Clock::now();
        const TImportPlan plan = PlanImport(Text, *main.Settings->Devices());
        run.Parse = Ms(Clock::now() - began);
    }
    const QString text = QString::fromStdString(Text);
    Clock::time_point pressed{};
    // Drives the dialog from its own event loop once it shows.
    std::function<void()> drive = [&] {
        auto* dialog = qobject_cast<TImportDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) {
            QTimer::singleShot(1, drive);
            return;
        }
        const Clock::time_point began = Clock::now();
        dialog->Text->setPlainText(text);
        dialog->Replan(); // what the pause after a paste would do
        QApplication::processEvents();
        dialog->Preview->viewport()->repaint();
        dialog->repaint();
        run.Preview = Ms(Clock::now() - began);
        run.Rows = dialog->Model->rowCount();
        pressed = Clock::now();
        dialog->ImportBtn->click();
    };
    QTimer::singleShot(0, drive);
    main.ImportAction->trigger();
    run.Apply = Ms(Clock::now() - pressed);
    run.Saved = [] {
        TSentrelSettings saved(nullptr);
        saved.Load();
        return saved.Devices()->Count();
    }();
    if (main.List->Count() != run.Saved)
        run.Saved = -1;
    return run;
}

double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values.empty() ? 0 : Values[Values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int hosts = 10000;
    int runs = 3;
    int option;
    while ((option = getopt(argc, argv, "n:r:")) != -1) {
        if (option == 'n')
            hosts = std::atoi(optarg);
        else if (option == 'r')
            runs = std::max(1, std::atoi(optarg));
        else
            return 2;
    }
    bench::RunHeadless();
    TApplication app(argc, argv);
    int errors = 0;
    bench::PrintErrors(errors);
    TMain::SetTrayAvailability(false);

    const std::string text = HostsCsv(hosts);
    std::vector<double> parse, preview, apply, total;
    int rows = 0, saved = 0;
    for (int i = 0; i < runs; ++i) {
        const TRun run = OneRun(text);
        parse.push_back(run.Parse);
        preview.push_back(run.Preview);
        apply.push_back(run.Apply);
        total.push_back(run.Total());
        rows = run.Rows;
        saved = run.Saved;
    }
    std::printf("hosts=%d\n", hosts);
    std::printf("runs=%d\n", runs);
    std::printf("preview_rows=%d\n", rows);
    std::printf("saved_devices=%d\n", saved);
    std::printf("parse_ms=%.1f\n", Median(parse));
    std::printf("preview_ms=%.1f\n", Median(preview));
    std::printf("apply_ms=%.1f\n", Median(apply));
    std::printf("total_ms=%.1f\n", Median(total));
    std::printf("total_max_ms=%.1f\n", *std::max_element(total.begin(), total.end()));
    std::printf("errors=%d\n", errors);
    return errors == 0 && saved == hosts ? 0 : 1;
}
