#pragma once
// A bounded log of status changes: when full, each new record pushes out the
// oldest. Slots are filled as records arrive, so a huge capacity read from a
// settings file costs nothing until records exist.

#include "framework/Component.h"
#include "framework/DateTime.h"
#include "net/qsPingTypes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct TDeviceStatusRecord {
    TDeviceStatusRecord() = default;
    // A constructor rather than an aggregate: the many status records written
    // as {time, host, status} need no address.
    TDeviceStatusRecord(TDateTime ATimeStamp, std::string AHost, TPingResult AStatus,
                        std::string ANewAddress = {})
        : TimeStamp(ATimeStamp), Host(std::move(AHost)), Status(AStatus),
          NewAddress(std::move(ANewAddress)) {}

    TDateTime TimeStamp = 0;
    std::string Host;
    TPingResult Status = prSuccess;
    // Set for a record of probing moving to this address after a lookup
    // (Status then means nothing); empty for a status change.
    std::string NewAddress;

    bool AddressChange() const { return !NewAddress.empty(); }
};

// Raised with the record just stored.
using TLogEventNotify = std::function<void(TObject* Sender, const TDeviceStatusRecord& Record)>;

class TStatusLog : public TComponent {
public:
    explicit TStatusLog(TComponent* AOwner) : TComponent(AOwner) {}
    const char* ClassName() const override { return "TStatusLog"; }

    int32_t Capacity() const { return FCapacity; }
    // A negative capacity keeps nothing, like 0.
    void SetCapacity(int32_t Value);
    bool RecordHost() const { return FRecordHost; }
    void SetRecordHost(bool Value) { FRecordHost = Value; }
    int Count() const { return static_cast<int>(FRecords.size()); }
    // Index 0 is the oldest record. Indexes from Count to Capacity-1 give an
    // empty spare slot; others raise "List index out of bounds (%d)".
    TDeviceStatusRecord Records(int Index) const;
    void Add(const std::string& Host, TPingResult Status);
    // Host's name now stands for Address, where probing follows it.
    void AddAddressChange(const std::string& Host, const std::string& Address);
    void Clear() {
        FRecords.clear();
        FOldest = 0;
    }

    TLogEventNotify OnLogEvent;

protected:
    virtual void DoLogEvent(const TDeviceStatusRecord& Record);

private:
    void Store(TDeviceStatusRecord Record);

    int32_t FCapacity = 0;
    bool FRecordHost = true;
    // Oldest first, except in a full log, where the oldest is at FOldest and
    // each new record takes its place. A ring rather than a deque: an empty
    // deque already holds an allocated block, and every device has a log.
    std::vector<TDeviceStatusRecord> FRecords;
    size_t FOldest = 0;
};
