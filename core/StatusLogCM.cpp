#include "core/StatusLogCM.h"

#include "framework/Exceptions.h"

void TStatusLog::SetCapacity(int32_t Value) {
    if (Value < 0)
        Value = 0;
    if (Value == FCapacity)
        return;
    // Shrinking keeps the newest records.
    while (static_cast<int32_t>(FRecords.size()) > Value)
        FRecords.pop_front();
    FCapacity = Value;
}

TDeviceStatusRecord TStatusLog::Records(int Index) const {
    if (Index < 0 || Index >= FCapacity)
        throw EListError(Format("List index out of bounds (%d)", Index));
    if (Index >= Count())
        return {};
    return FRecords[static_cast<size_t>(Index)];
}

void TStatusLog::Add(const std::string& Host, TPingResult Status) {
    if (FCapacity == 0)
        return;
    if (static_cast<int32_t>(FRecords.size()) >= FCapacity)
        FRecords.pop_front();
    FRecords.push_back({Now(), Host, Status});
    DoLogEvent(Host, Status);
}

void TStatusLog::DoLogEvent(const std::string& Host, TPingResult Status) {
    if (OnLogEvent)
        OnLogEvent(this, Host, Status);
}
