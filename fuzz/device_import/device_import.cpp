// The import of device lists from text of any bytes: headerless words,
// CSV and tab-separated tables with quotes, ranges and blocks. Whatever the
// text, the plan's counts agree with its entries, no range goes past the
// cap, every entry names a line of the text, nothing to add is a duplicate
// of anything else to add, and what is added exports and reads back the same.

#include "core/import/DeviceImport.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

namespace {

[[noreturn]] void Fault(const char* What, const std::string& Detail) {
    std::fprintf(stderr, "%s\n--- detail ---\n%s\n", What, Detail.c_str());
    std::abort();
}

std::string Folded(std::string Text) {
    for (char& c : Text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return Text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    TDeviceDataCollection existing(nullptr);
    existing.Add()->SetHost("Listed");
    const TImportPlan plan = PlanImport(text, existing);

    int add = 0, duplicate = 0, invalid = 0, lastLine = 0;
    int lines = 1;
    for (char c : text)
        lines += c == '\n' || c == '\r';
    std::unordered_set<std::string> hosts{"listed"};
    for (const TImportEntry& entry : plan.Entries) {
        if (entry.Line < lastLine || entry.Line < 1 || entry.Line > lines)
            Fault("line out of order or out of the text", std::to_string(entry.Line));
        lastLine = entry.Line;
        if (entry.Source.size() > 203)
            Fault("source not cut", entry.Source);
        switch (entry.Outcome) {
        case TImportOutcome::Add:
            ++add;
            if (entry.Host.empty() || !entry.Reason.empty() ||
                entry.Host.find_first_of(" \t\r\n") != std::string::npos)
                Fault("entry to add is malformed", entry.Host);
            if (!hosts.insert(Folded(entry.Host)).second)
                Fault("two entries to add share a host", entry.Host);
            if (entry.DeviceType >= DeviceTypeCount)
                Fault("type outside the six", entry.Host);
            break;
        case TImportOutcome::Duplicate:
            ++duplicate;
            if (entry.Reason.empty() || entry.Host.empty())
                Fault("duplicate without its reason", entry.Host);
            break;
        case TImportOutcome::Invalid:
            ++invalid;
            if (entry.Reason.empty() || ImportEntryMessage(entry).empty())
                Fault("invalid entry without its reason", entry.Source);
            break;
        }
    }
    if (add != plan.ToAdd || duplicate != plan.Duplicates || invalid != plan.Invalid ||
        plan.Expanded > MaxImportAddresses)
        Fault("counts disagree", ImportSummary(plan));

    TDeviceDataCollection added(nullptr);
    if (ApplyImport(plan, added) != add)
        Fault("not every entry was added", ImportSummary(plan));
    const std::string csv = DevicesCsv(added);
    TDeviceDataCollection empty(nullptr);
    const TImportPlan again = PlanImport(csv, empty);
    if (again.ToAdd != add || again.Invalid != 0 || again.Duplicates != 0)
        Fault("the export does not read back", csv);
    int i = 0;
    for (const TImportEntry& entry : again.Entries) {
        const TDeviceData& device = *added.Items(i++);
        if (entry.Host != device.Host() || entry.Description != device.Description() ||
            entry.DeviceType != device.DeviceType() || entry.Monitored != device.Monitored())
            Fault("a device changed on the way back", csv);
    }
    return 0;
}
