#include "core/metrics/MetricsRegistry.h"

#include "core/metrics/ProcessMetrics.h"
#include "framework/Utf8.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>

// Everything a reply changes, one atomic each: a render reads them while the
// main thread writes, and a figure a moment old is as good as a locked one.
struct TMetricsRegistry::TDeviceFigures {
    std::atomic<uint8_t> Result{prUnknown}; // prUnknown before the first reply
    std::atomic<uint8_t> State{static_cast<uint8_t>(TAlertState::Unknown)};
    std::atomic<uint32_t> RoundTripMs{0};
    std::atomic<double> UnixSince{0};
    std::atomic<uint64_t> Changes{0};
    std::array<std::atomic<uint64_t>, PingResultCount> Echoes{};
    // The main thread's own: the local time the state began, converted to
    // Unix time only when it changes, since mktime is too slow for each reply.
    TDateTime LocalSince = 0;
};

struct TMetricsRegistry::TDeviceSet {
    // Per device: {host="...",description="...",type="..."}, escaped once.
    std::vector<std::string> Labels;
    std::unique_ptr<TDeviceFigures[]> Figures;
};

namespace {

void AppendNumber(std::string& Out, double Value) {
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), Value);
    Out.append(text.data(), error == std::errc() ? end : text.data());
}

void AppendNumber(std::string& Out, uint64_t Value) {
    std::array<char, 24> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), Value);
    Out.append(text.data(), error == std::errc() ? end : text.data());
}

void AppendHeader(std::string& Out, const char* Name, const char* Type, const char* Help) {
    Out += "# HELP ";
    Out += Name;
    Out += ' ';
    Out += Help;
    Out += "\n# TYPE ";
    Out += Name;
    Out += ' ';
    Out += Type;
    Out += '\n';
}

// A local time as seconds since the Unix epoch.
double UnixTime(TDateTime Local) {
    std::tm calendar = CalendarTime(Local);
    const time_t seconds = std::mktime(&calendar);
    if (seconds == static_cast<time_t>(-1))
        return 0;
    const double fraction = Local * 86400.0 - std::floor(Local * 86400.0);
    return static_cast<double>(seconds) + std::round(fraction * 1000.0) / 1000.0;
}

bool Answered(TPingResult Result) {
    return Result == prSuccess;
}

// Two results share a text ("TTL Expired"); one series may appear only once
// in a scrape, so each text's counts go under the first result that has it.
std::array<int, PingResultCount> ResultSeries() {
    std::array<int, PingResultCount> series{};
    for (int r = 0; r < PingResultCount; ++r) {
        series[r] = r;
        for (int earlier = 0; earlier < r; ++earlier)
            if (std::strcmp(PingResultText[earlier], PingResultText[r]) == 0) {
                series[r] = earlier;
                break;
            }
    }
    return series;
}

} // namespace

std::string EscapeLabelValue(const std::string& Value) {
    std::string out;
    out.reserve(Value.size());
    for (size_t i = 0; i < Value.size();) {
        char32_t code = 0;
        const size_t length = utf8::Decode(Value, i, code);
        if (length == 0) {
            // Prometheus takes UTF-8 only; one stray byte must not spoil the scrape.
            utf8::Append(out, 0xFFFD);
            ++i;
            continue;
        }
        if (code == '\\')
            out += "\\\\";
        else if (code == '"')
            out += "\\\"";
        else if (code == '\n')
            out += "\\n";
        else if (utf8::IsControl(code))
            utf8::Append(out, utf8::ControlPicture(code));
        else
            out.append(Value, i, length);
        i += length;
    }
    return out;
}

TMetricsRegistry::TMetricsRegistry() : FSet(std::make_shared<const TDeviceSet>()) {}

TMetricsRegistry::~TMetricsRegistry() = default;

void TMetricsRegistry::SetDevices(const std::vector<TMetricsDevice>& Devices) {
    auto set = std::make_shared<TDeviceSet>();
    set->Labels.reserve(Devices.size());
    for (const TMetricsDevice& device : Devices)
        set->Labels.push_back("{host=\"" + EscapeLabelValue(device.Host) + "\",description=\"" +
                              EscapeLabelValue(device.Description) + "\",type=\"" +
                              EscapeLabelValue(device.Type) + "\"}");
    set->Figures = std::make_unique<TDeviceFigures[]>(Devices.size());
    const std::lock_guard lock(FSetLock);
    FSet = std::move(set);
}

void TMetricsRegistry::AddResult(size_t Index, TPingResult Result, uint32_t RoundTripMs,
                                 TAlertState State, TDateTime StateSince, bool StatusChanged) {
    // Only the main thread replaces the set, so it reads it here without the lock.
    const TDeviceSet& set = *FSet;
    if (Index >= set.Labels.size() || Result >= PingResultCount)
        return;
    TDeviceFigures& figures = set.Figures[Index];
    figures.Result.store(Result, std::memory_order_relaxed);
    figures.RoundTripMs.store(RoundTripMs, std::memory_order_relaxed);
    figures.Echoes[Result].fetch_add(1, std::memory_order_relaxed);
    if (StatusChanged)
        figures.Changes.fetch_add(1, std::memory_order_relaxed);
    if (State != TAlertState::Unknown && StateSince != figures.LocalSince) {
        figures.LocalSince = StateSince;
        figures.UnixSince.store(UnixTime(StateSince), std::memory_order_relaxed);
    }
    figures.State.store(static_cast<uint8_t>(State), std::memory_order_relaxed);
}

void TMetricsRegistry::SetScanning(bool Scanning) {
    FScanning.store(Scanning, std::memory_order_relaxed);
    if (Scanning)
        return;
    // A new run decides every state anew; until it does, the result alone tells.
    const TDeviceSet& set = *FSet;
    for (size_t i = 0; i < set.Labels.size(); ++i) {
        set.Figures[i].State.store(static_cast<uint8_t>(TAlertState::Unknown),
                                   std::memory_order_relaxed);
        set.Figures[i].Result.store(prUnknown, std::memory_order_relaxed);
    }
}

std::string TMetricsRegistry::Render() const {
    std::string out;
    Render(out);
    return out;
}

void TMetricsRegistry::Render(std::string& Out) const {
    std::shared_ptr<const TDeviceSet> set;
    {
        const std::lock_guard lock(FSetLock);
        set = FSet;
    }
    const size_t count = set->Labels.size();
    const bool scanning = FScanning.load(std::memory_order_relaxed);
    // About 700 bytes a device; one allocation rather than a dozen doublings.
    Out.reserve(Out.size() + 2048 + count * 720);

    AppendHeader(Out, "sentrel_scanning", "gauge", "Whether scanning is on (1) or off (0).");
    Out += scanning ? "sentrel_scanning 1\n" : "sentrel_scanning 0\n";
    AppendHeader(Out, "sentrel_devices", "gauge", "Devices in the list.");
    Out += "sentrel_devices ";
    AppendNumber(Out, static_cast<uint64_t>(count));
    Out += '\n';

    // A device shows a state only once it has a result of this run.
    auto current = [&](size_t i) {
        return set->Figures[i].Result.load(std::memory_order_relaxed) < prUnknown;
    };
    auto each = [&](const char* name, auto&& value) {
        for (size_t i = 0; i < count; ++i) {
            if (!current(i))
                continue;
            const auto figure = value(set->Figures[i]);
            if (!figure)
                continue;
            Out += name;
            Out += set->Labels[i];
            Out += ' ';
            AppendNumber(Out, *figure);
            Out += '\n';
        }
    };

    AppendHeader(Out, "sentrel_device_up", "gauge",
                 "Whether the device answers (1) or not (0), decided as the alerts decide.");
    each("sentrel_device_up", [](const TDeviceFigures& f) -> std::optional<uint64_t> {
        const auto state = static_cast<TAlertState>(f.State.load(std::memory_order_relaxed));
        if (state == TAlertState::Unknown)
            return Answered(static_cast<TPingResult>(f.Result.load(std::memory_order_relaxed))) ? 1
                                                                                                : 0;
        return state == TAlertState::Up ? 1 : 0;
    });
    AppendHeader(Out, "sentrel_device_rtt_seconds", "gauge",
                 "Round-trip time of the latest echo, when it was answered.");
    each("sentrel_device_rtt_seconds", [](const TDeviceFigures& f) -> std::optional<double> {
        if (!Answered(static_cast<TPingResult>(f.Result.load(std::memory_order_relaxed))))
            return std::nullopt;
        return f.RoundTripMs.load(std::memory_order_relaxed) / 1000.0;
    });
    AppendHeader(Out, "sentrel_device_result", "gauge",
                 "Code of the latest result: 0 Connected, 3 Host Unreachable, 10 Timed Out, "
                 "and the others the help lists.");
    each("sentrel_device_result", [](const TDeviceFigures& f) -> std::optional<uint64_t> {
        return f.Result.load(std::memory_order_relaxed);
    });
    AppendHeader(Out, "sentrel_device_state_since_seconds", "gauge",
                 "When the device's up or down state began, in seconds since the Unix epoch.");
    each("sentrel_device_state_since_seconds",
         [](const TDeviceFigures& f) -> std::optional<double> {
             if (static_cast<TAlertState>(f.State.load(std::memory_order_relaxed)) ==
                 TAlertState::Unknown)
                 return std::nullopt;
             return f.UnixSince.load(std::memory_order_relaxed);
         });

    // The counters go on across runs, so they show whatever the state.
    AppendHeader(Out, "sentrel_device_echoes_total", "counter", "Echoes sent, by their result.");
    static const std::array<int, PingResultCount> series = ResultSeries();
    for (size_t i = 0; i < count; ++i) {
        const TDeviceFigures& f = set->Figures[i];
        std::array<uint64_t, PingResultCount> echoes{};
        for (int r = 0; r < PingResultCount; ++r)
            echoes[series[r]] += f.Echoes[r].load(std::memory_order_relaxed);
        for (int r = 0; r < PingResultCount; ++r) {
            if (echoes[r] == 0)
                continue;
            Out += "sentrel_device_echoes_total";
            // The device's labels with the result's added before the closing brace.
            const std::string& labels = set->Labels[i];
            Out.append(labels, 0, labels.size() - 1);
            Out += ",result=\"";
            Out += PingResultText[r];
            Out += "\"} ";
            AppendNumber(Out, echoes[r]);
            Out += '\n';
        }
    }
    AppendHeader(Out, "sentrel_device_state_changes_total", "counter",
                 "Changes of the device's result.");
    for (size_t i = 0; i < count; ++i) {
        Out += "sentrel_device_state_changes_total";
        Out += set->Labels[i];
        Out += ' ';
        AppendNumber(Out, set->Figures[i].Changes.load(std::memory_order_relaxed));
        Out += '\n';
    }

    RenderProcessMetrics(Out);
}
