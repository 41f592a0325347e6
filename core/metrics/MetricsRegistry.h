#pragma once
// The figures served to a Prometheus server: per device its state, latest
// round trip and result, and counts of echoes and changes, plus the process's
// own. Written on the main thread as replies arrive, read by the metrics
// server's thread while it renders a scrape; writers never wait for a reader.

#include "core/AlertState.h"
#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The labels of a device's series.
struct TMetricsDevice {
    std::string Host;
    std::string Description;
    std::string Type; // "Computer", "Printer", ...
};

class TMetricsRegistry {
public:
    TMetricsRegistry();
    ~TMetricsRegistry();
    TMetricsRegistry(const TMetricsRegistry&) = delete;
    TMetricsRegistry& operator=(const TMetricsRegistry&) = delete;

    // Main thread: the devices scanned, in the scanner's order; every figure
    // starts afresh (the counters too, which Prometheus takes as a reset).
    void SetDevices(const std::vector<TMetricsDevice>& Devices);
    // Main thread: the result of a probe of device Index, and the device's
    // alert state after it (Unknown until one is decided: then up follows the
    // result) with when that state began. StatusChanged when the result
    // differs from the one before.
    void AddResult(size_t Index, TPingResult Result, uint32_t RoundTripMs, TAlertState State,
                   TDateTime StateSince, bool StatusChanged);
    // Main thread: scanning started or stopped; while stopped the devices
    // show no state.
    void SetScanning(bool Scanning);

    // Any thread: the text exposition format, version 0.0.4, appended to Out.
    void Render(std::string& Out) const;
    std::string Render() const;

private:
    struct TDeviceFigures;
    struct TDeviceSet;
    // Swapped whole by SetDevices; a render holds the set it began with.
    mutable std::mutex FSetLock;
    std::shared_ptr<const TDeviceSet> FSet;
    std::atomic<bool> FScanning{false};
};

// A label value as the text format wants it: backslash, double quote and
// line feed escaped; invalid UTF-8 replaced so the scrape stays parseable.
std::string EscapeLabelValue(const std::string& Value);
