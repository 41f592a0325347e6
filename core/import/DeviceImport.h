#pragma once
// Many devices at once: a pasted text or a file of hosts (one per line, or
// CSV / tab-separated with a header), with address ranges and CIDR blocks
// expanded; and the device list written as CSV that reads back the same.
// Reading never throws for what the text holds: every problem becomes an
// entry that names its line, and nothing is added until the caller applies
// the plan.

#include "core/DeviceData.h"
#include "framework/Exceptions.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TSentrelSettings;

// Addresses one import may take from ranges and blocks, all of them together.
inline constexpr int MaxImportAddresses = 4096;
// The largest text or file an import reads.
inline constexpr size_t MaxImportBytes = 16u << 20;

enum class TImportOutcome { Add, Duplicate, Invalid };

struct TImportEntry {
    int Line = 0; // 1-based line of the text the entry starts on
    // What the entry was read from: the host, range or block as written, or
    // for an invalid line its text (cut to 200 bytes).
    std::string Source;
    std::string Host; // empty for an invalid entry
    std::string Description;
    TDeviceType DeviceType = dtComputer;
    bool Monitored = true;
    TImportOutcome Outcome = TImportOutcome::Add;
    // Why it is skipped: "already in the list", "same as line 4", or what is
    // wrong ("octet out of range (300)"). Empty for an entry to add.
    std::string Reason;
};

struct TImportPlan {
    // In the order of the text; a range's addresses in ascending order.
    std::vector<TImportEntry> Entries;
    int ToAdd = 0;
    int Duplicates = 0;
    int Invalid = 0;
    // Addresses that ranges and blocks expanded to (added or not).
    int Expanded = 0;
    // Whether the first line was taken as a header, and its separator
    // (',' or '\t'); without one every blank, tab, comma or semicolon
    // separates hosts.
    bool HasHeader = false;
    char Separator = 0;
    // Remarks on the text as a whole, e.g. "column \"Location\" ignored".
    std::vector<std::string> Notes;
};

// A text that cannot be read at all (a file too large, missing, unreadable).
class EImportFile : public Exception {
public:
    using Exception::Exception;
};

// Reads Text against the devices there are. Never throws for content.
TImportPlan PlanImport(std::string_view Text, const TDeviceDataCollection& Existing);

// "254 to add (254 from ranges), 3 already in the list, 2 repeated, 1 invalid".
std::string ImportSummary(const TImportPlan& Plan);
// "line 7: 10.0.0.300: octet out of range (300)": an entry not added, for
// printing. Empty for an entry to add.
std::string ImportEntryMessage(const TImportEntry& Entry);

// Appends the entries to add to Devices, in order; all or none (an error
// while adding removes the ones added). Returns how many were added.
int ApplyImport(const TImportPlan& Plan, TDeviceDataCollection& Devices);
// ApplyImport, then Settings.Save(); when the save fails the devices added
// are removed again and the error propagates, so memory and disk agree.
int ImportAndSave(const TImportPlan& Plan, TSentrelSettings& Settings);

// The device list as CSV: "Host,Description,Type,Monitored", then a row per
// device in list order, the type by name and monitored as "yes" or "no".
// PlanImport of it against an empty list gives the same devices back.
std::string DevicesCsv(const TDeviceDataCollection& Devices);

// The type's name as the device dialog shows it ("Computer" ... "Interface");
// "" outside the six.
const char* DeviceTypeName(TDeviceType Type);

// The whole of a file to import; "-" reads standard input. Throws
// EImportFile naming the file and the reason (missing, a folder, larger
// than MaxImportBytes, unreadable).
std::string ReadImportFile(const std::string& Path);
// Writes Text to Path through a file beside it renamed over it at the end,
// so a failed write leaves an existing file as it was; "-" writes standard
// output. Throws EImportFile naming the file and the reason.
void WriteExportFile(const std::string& Path, const std::string& Text);
