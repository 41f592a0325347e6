#include "core/StatusLogCM.h"

#include "framework/Exceptions.h"

#include <algorithm>

void TStatusLog::SetCapacity(int32_t Value) {
    if (Value < 0)
        Value = 0;
    if (Value == FCapacity)
        return;
    std::rotate(FRecords.begin(), FRecords.begin() + static_cast<ptrdiff_t>(FOldest),
                FRecords.end());
    FOldest = 0;
    // Shrinking keeps the newest records.
    if (static_cast<int32_t>(FRecords.size()) > Value)
        FRecords.erase(FRecords.begin(), FRecords.end() - Value);
    FCapacity = Value;
}

TDeviceStatusRecord TStatusLog::Records(int Index) const {
    if (Index < 0 || Index >= FCapacity)
        throw EListError(Format("List index out of bounds (%d)", Index));
    if (Index >= Count())
        return {};
    return FRecords[(FOldest + static_cast<size_t>(Index)) % FRecords.size()];
}

void TStatusLog::Add(const std::string& Host, TPingResult Status) {
    Store({Now(), Host, Status, {}});
}

void TStatusLog::AddAddressChange(const std::string& Host, const std::string& Address) {
    Store({Now(), Host, prSuccess, Address});
}

void TStatusLog::Store(TDeviceStatusRecord Record) {
    if (FCapacity == 0)
        return;
    if (static_cast<int32_t>(FRecords.size()) < FCapacity) {
        FRecords.push_back(std::move(Record));
        DoLogEvent(FRecords.back());
    } else {
        const size_t slot = FOldest;
        FRecords[slot] = std::move(Record);
        FOldest = (FOldest + 1) % FRecords.size();
        DoLogEvent(FRecords[slot]);
    }
}

void TStatusLog::DoLogEvent(const TDeviceStatusRecord& Record) {
    if (OnLogEvent)
        OnLogEvent(this, Record);
}
