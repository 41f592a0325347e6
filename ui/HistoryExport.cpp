#include "ui/HistoryExport.h"

#include <QSaveFile>
#include <QString>

#include <cmath>

namespace {

// The slices read at a time: an hour of one device's probes (3,600 rows at
// one a second), a day of changes.
constexpr TDateTime ProbeSlice = 1.0 / 24;
constexpr TDateTime ChangeSlice = 1.0;

int SliceCount(TDateTime From, TDateTime To, TDateTime Slice) {
    return To > From ? static_cast<int>(std::ceil((To - From) / Slice)) : 0;
}

} // namespace

THistoryExport::THistoryExport(const THistoryStore& Store, THistoryExportRequest Request,
                               std::string Path)
    : FStore(Store), FRequest(std::move(Request)), FPath(std::move(Path)) {
    FPartCount = FRequest.Probes ? static_cast<int>(FRequest.Hosts.size()) *
                                       SliceCount(FRequest.From, FRequest.To, ProbeSlice)
                                 : std::max<int>(1, static_cast<int>(FRequest.Hosts.size())) *
                                       SliceCount(FRequest.From, FRequest.To, ChangeSlice);
    FThread = std::thread([this] { Run(); });
}

THistoryExport::~THistoryExport() {
    FCancel = true;
    FThread.join();
}

std::string THistoryExport::Error() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FError;
}

void THistoryExport::Run() {
    const QString path = QString::fromStdString(FPath);
    QSaveFile file(path);
    std::string failure;
    const auto write = [&](const std::string& Text) {
        if (!failure.empty())
            return;
        if (file.write(Text.data(), static_cast<qint64>(Text.size())) !=
            static_cast<qint64>(Text.size()))
            failure = file.errorString().toStdString();
    };
    if (!file.open(QIODevice::WriteOnly)) {
        failure = file.errorString().toStdString();
    } else {
        write(HistoryCsvHeader());
        const std::vector<std::string> hosts =
            FRequest.Hosts.empty() ? std::vector<std::string>{std::string()} : FRequest.Hosts;
        const TDateTime slice = FRequest.Probes ? ProbeSlice : ChangeSlice;
        const int slices = SliceCount(FRequest.From, FRequest.To, slice);
        for (const std::string& host : hosts) {
            for (int n = 0; n < slices; ++n) {
                if (FCancel || !failure.empty())
                    break;
                const TDateTime from = FRequest.From + n * slice;
                const TDateTime to = n + 1 == slices ? FRequest.To : from + slice;
                std::string text;
                if (FRequest.Probes)
                    for (const THistoryProbe& probe : FStore.Probes(host, from, to))
                        text += HistoryCsvRow(probe, FRequest.Descriptions);
                else
                    for (const THistoryChange& change : FStore.Changes(host, from, to))
                        text += HistoryCsvRow(change, FRequest.Descriptions);
                write(text);
                ++FPartsDone;
            }
        }
        if (FCancel || !failure.empty())
            file.cancelWriting();
        else if (!file.commit())
            failure = file.errorString().toStdString();
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!failure.empty())
            FError = "Cannot create file \"" + FPath + "\". " + failure;
    }
    FFinished = true;
}
