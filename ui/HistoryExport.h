#pragma once
// A history export to a CSV file, read and written on a thread of its own:
// a week of every device's probes is billions of rows, so the window only
// watches the progress and may cancel. The file is written beside the target
// and renamed over it at the end; a cancelled or failed export leaves an
// existing file as it was.

#include "core/Csv.h"
#include "core/history/HistoryStore.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct THistoryExportRequest {
    // Probes of each host, or (when false) status changes.
    bool Probes = false;
    // The devices; empty: every device's changes (probes need named hosts).
    std::vector<std::string> Hosts;
    TDateTime From = 0, To = 0;
    THostDescriptions Descriptions;
};

class THistoryExport {
public:
    // Starts at once. Store must outlive the export.
    THistoryExport(const THistoryStore& Store, THistoryExportRequest Request, std::string Path);
    ~THistoryExport(); // cancels, then joins the thread
    THistoryExport(const THistoryExport&) = delete;
    THistoryExport& operator=(const THistoryExport&) = delete;

    void Cancel() { FCancel = true; }
    bool Finished() const { return FFinished; }
    // Parts done of PartCount, for a progress bar.
    int PartsDone() const { return FPartsDone; }
    int PartCount() const { return FPartCount; }
    // Why the export failed ("" when it succeeded or was cancelled); read
    // once Finished.
    std::string Error() const;
    bool Cancelled() const { return FCancel; }

private:
    void Run();

    const THistoryStore& FStore;
    const THistoryExportRequest FRequest;
    const std::string FPath;
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FFinished{false};
    std::atomic<int> FPartsDone{0};
    int FPartCount = 0;
    mutable std::mutex FLock;
    std::string FError;
    std::thread FThread;
};
