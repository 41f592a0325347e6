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
    if (FCapacity == 0)
        return;
    if (static_cast<int32_t>(FRecords.size()) < FCapacity) {
        FRecords.push_back({Now(), Host, Status});
    } else {
        FRecords[FOldest] = {Now(), Host, Status};
        FOldest = (FOldest + 1) % FRecords.size();
    }
    DoLogEvent(Host, Status);
}

void TStatusLog::DoLogEvent(const std::string& Host, TPingResult Status) {
    if (OnLogEvent)
        OnLogEvent(this, Host, Status);
}
