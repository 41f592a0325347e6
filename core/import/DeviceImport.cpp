#include "core/import/DeviceImport.h"

#include "core/Csv.h"
#include "core/SentrelSettingsCM.h"
#include "framework/Text.h"
#include "net/IPv6Address.h"
#include "net/qsInternetHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace {

constexpr std::array<const char*, DeviceTypeCount> TypeNames = {"Computer", "Server", "Printer",
                                                                "Router",   "Bridge", "Interface"};

constexpr const char* AlreadyListed = "already in the list";

// The longest host a name server takes, with room for a trailing dot.
constexpr size_t MaxHostLength = 255;

using text::IsBlank;
using text::Trim;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view Text) {
    std::string folded(Text);
    for (char& c : folded)
        c = FoldCase(c);
    return folded;
}

std::string Quoted(std::string_view Text) {
    return "\"" + std::string(Text) + "\"";
}

// An entry's text for messages and the preview: cut, so that a line of a
// binary file cannot make a message of megabytes.
std::string Excerpt(std::string_view Text) {
    constexpr size_t Limit = 200;
    return Text.size() <= Limit ? std::string(Text) : std::string(Text.substr(0, Limit)) + "...";
}

// Host order, so that ranges can be counted through.
std::optional<uint32_t> AddressOf(std::string_view Text) {
    uint32_t network = 0;
    if (!ParseDottedQuad(std::string(Text), network))
        return std::nullopt;
    return ntohl(network);
}

std::string AddressText(uint32_t Address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", Address >> 24, (Address >> 16) & 0xff,
                  (Address >> 8) & 0xff, Address & 0xff);
    return text;
}

// Why a text of digits and dots is not an address.
std::string DottedQuadProblem(std::string_view Text) {
    int parts = 1;
    size_t run = 0;
    for (char c : Text) {
        if (c == '.') {
            if (run == 0)
                return "not an IPv4 address: a number is missing";
            ++parts;
            run = 0;
            continue;
        }
        ++run;
    }
    if (run == 0)
        return "not an IPv4 address: a number is missing";
    if (parts != 4)
        return "not an IPv4 address: " + std::to_string(parts) + " numbers, an address has 4";
    size_t start = 0;
    while (start <= Text.size()) {
        size_t end = Text.find('.', start);
        if (end == std::string_view::npos)
            end = Text.size();
        const std::string_view number = Text.substr(start, end - start);
        unsigned value = 0;
        for (char c : number) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255)
                return "octet out of range (" + Excerpt(number) + ")";
        }
        start = end + 1;
    }
    return "not an IPv4 address";
}

bool AllDigitsAndDots(std::string_view Text) {
    for (char c : Text)
        if (!IsDigit(c) && c != '.')
            return false;
    return !Text.empty();
}

bool AllDigits(std::string_view Text) {
    for (char c : Text)
        if (!IsDigit(c))
            return false;
    return !Text.empty();
}

// The address of an IPv6 literal (bracketed or not, with a zone or not).
std::optional<TIPv6Address> IPv6Of(std::string_view Text) {
    TIPv6Address address;
    std::string reason;
    if (!ParseIPv6Address(std::string(Text), address, reason))
        return std::nullopt;
    return address;
}

// Whether Text is an IPv6 literal followed by a range's dash or a block's
// slash. The whole text is tried first elsewhere: a zone may hold a dash
// (fe80::1%br-lan).
bool IsIPv6RangeOrBlock(std::string_view Text) {
    const size_t cut = Text.find_first_of("-/");
    return cut != std::string_view::npos && IPv6Of(Text.substr(0, cut)).has_value();
}

// What one host text stands for: one host, or the addresses First..Last.
struct TTarget {
    std::string Host; // a single host as written
    bool IsRange = false;
    uint32_t First = 0;
    uint32_t Last = 0;
    std::string Error;
    uint64_t Count() const { return IsRange ? uint64_t(Last) - First + 1 : 1; }
};

TTarget RangeTarget(uint32_t First, uint32_t Last) {
    TTarget target;
    target.IsRange = true;
    target.First = First;
    target.Last = Last;
    return target;
}

TTarget Problem(std::string Error) {
    TTarget target;
    target.Error = std::move(Error);
    return target;
}

TTarget BlockTarget(std::string_view Text, size_t Slash) {
    const std::string_view base = Text.substr(0, Slash);
    const std::string_view length = Text.substr(Slash + 1);
    const auto address = AddressOf(base);
    if (!AllDigitsAndDots(base) || !address)
        return Problem(AllDigitsAndDots(base) ? DottedQuadProblem(base)
                                              : "a block needs an IPv4 address before the '/'");
    if (!AllDigits(length) || length.size() > 2 || std::stoi(std::string(length)) > 32)
        return Problem("prefix length must be 0 to 32");
    const int prefix = std::stoi(std::string(length));
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    const uint32_t network = *address & mask;
    const uint32_t broadcast = network | ~mask;
    // /31 and /32 have no network and broadcast addresses to leave out.
    if (prefix >= 31)
        return RangeTarget(network, broadcast);
    return RangeTarget(network + 1, broadcast - 1);
}

// "10.0.0.1-10.0.0.50" or "10.0.0.1-50"; nullopt when Text is not meant as a
// range (a name such as "printer-2F").
std::optional<TTarget> RangeOf(std::string_view Text) {
    const size_t dash = Text.find('-');
    if (dash == std::string_view::npos || !AllDigitsAndDots(Text.substr(0, dash)))
        return std::nullopt;
    const std::string_view from = Text.substr(0, dash);
    const std::string_view to = Text.substr(dash + 1);
    const auto first = AddressOf(from);
    if (!first)
        return Problem(DottedQuadProblem(from));
    std::optional<uint32_t> last;
    if (AllDigits(to) && to.size() <= 3) {
        const unsigned octet = static_cast<unsigned>(std::stoul(std::string(to)));
        if (octet > 255)
            return Problem("octet out of range (" + std::string(to) + ")");
        last = (*first & 0xffffff00u) | octet;
    } else if (AllDigitsAndDots(to)) {
        last = AddressOf(to);
        if (!last)
            return Problem(DottedQuadProblem(to));
    } else {
        return Problem("a range ends in an IPv4 address or a last number (10.0.0.1-50)");
    }
    if (*last < *first)
        return Problem("range runs backwards (" + AddressText(*first) + " to " +
                       AddressText(*last) + ")");
    return RangeTarget(*first, *last);
}

// A text with a colon or a bracket: an IPv6 literal, kept in its canonical
// spelling so that the list shows one form of each address.
TTarget IPv6Target(std::string_view Text) {
    TIPv6Address address;
    std::string reason;
    if (ParseIPv6Address(std::string(Text), address, reason)) {
        TTarget target;
        target.Host = FormatIPv6Address(address);
        return target;
    }
    if (IsIPv6RangeOrBlock(Text))
        return Problem("IPv6 ranges and blocks are not supported; list the addresses");
    // Letters beyond a-f before any zone: a name with a port or such, not an
    // address mistyped.
    const std::string_view bare = Text.substr(0, Text.find('%'));
    const bool addressLike = std::ranges::all_of(bare, [](char c) {
        return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
               c == '.' || c == '[' || c == ']';
    });
    return Problem(addressLike ? reason : "':' is not allowed in a host");
}

TTarget TargetOf(std::string_view Text) {
    if (Text.empty())
        return Problem("no host");
    if (Text.size() > MaxHostLength)
        return Problem("longer than 255 characters");
    for (char c : Text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return Problem("contains a control character");
        if (IsBlank(c))
            return Problem("contains a blank");
    }
    // It would read back as a comment.
    if (Text.front() == '#')
        return Problem("a host cannot begin with '#'");
    if (Text.find(':') != std::string_view::npos || Text.front() == '[')
        return IPv6Target(Text);
    if (const size_t slash = Text.find('/'); slash != std::string_view::npos)
        return BlockTarget(Text, slash);
    if (auto range = RangeOf(Text))
        return *range;
    if (AllDigitsAndDots(Text) && !AddressOf(Text))
        return Problem(DottedQuadProblem(Text));
    TTarget target;
    target.Host = std::string(Text);
    return target;
}

// What makes two hosts the same device: the address for an address (IPv6
// in any spelling), the text without regard to case for a name.
std::string HostKey(const std::string& Host) {
    if (Host.find(':') != std::string::npos)
        if (const auto address = IPv6Of(Host))
            // Interface names that differ in case alone are taken as one.
            return "6#" + Lower(FormatIPv6Address(*address));
    if (AllDigitsAndDots(Host))
        if (const auto address = AddressOf(Host))
            return "#" + std::to_string(*address);
    return Lower(Host);
}

// The columns a header can name, by their names folded to lower case.
enum class TColumn { Host, Description, Type, Monitored, Ignored };

std::optional<TColumn> ColumnNamed(std::string_view Name) {
    static const std::unordered_map<std::string, TColumn> names = {
        {"host", TColumn::Host},           {"hostname", TColumn::Host},
        {"host name", TColumn::Host},      {"hostname or ip address", TColumn::Host},
        {"address", TColumn::Host},        {"ip", TColumn::Host},
        {"ip address", TColumn::Host},     {"description", TColumn::Description},
        {"desc", TColumn::Description},    {"type", TColumn::Type},
        {"device type", TColumn::Type},    {"devicetype", TColumn::Type},
        {"monitored", TColumn::Monitored}, {"monitor", TColumn::Monitored},
    };
    const auto found = names.find(Lower(Trim(Name)));
    if (found == names.end())
        return std::nullopt;
    return found->second;
}

std::optional<TDeviceType> TypeOf(std::string_view Text) {
    Text = Trim(Text);
    if (Text.empty())
        return dtComputer;
    if (Text.size() == 1 && Text[0] >= '0' && Text[0] < '0' + DeviceTypeCount)
        return static_cast<TDeviceType>(Text[0] - '0');
    const std::string name = Lower(Text);
    for (int type = 0; type < DeviceTypeCount; ++type)
        if (name == Lower(TypeNames[static_cast<size_t>(type)]))
            return static_cast<TDeviceType>(type);
    return std::nullopt;
}

std::optional<bool> MonitoredOf(std::string_view Text) {
    const std::string value = Lower(Trim(Text));
    if (value.empty() || value == "yes" || value == "y" || value == "true" || value == "1" ||
        value == "on" || value == "x")
        return true;
    if (value == "no" || value == "n" || value == "false" || value == "0" || value == "off")
        return false;
    return std::nullopt;
}

// One line (or, for a quoted field running over line ends, several) of the text.
struct TRecord {
    int Line = 0;
    std::string_view Text; // the whole record, for messages
    std::vector<std::string> Fields;
    std::string Error;
};

class TReader {
public:
    explicit TReader(std::string_view Text) : FText(Text) {}
    bool AtEnd() const { return FPos >= FText.size(); }

    // The next line as it stands, its end taken off.
    std::string_view NextLine() {
        const size_t start = FPos;
        size_t end = start;
        while (end < FText.size() && FText[end] != '\n' && FText[end] != '\r')
            ++end;
        Advance(end);
        return FText.substr(start, end - start);
    }

    // The next record split at Separator with CSV quoting. A quote left open
    // spoils only its own line: reading goes on at the next one.
    TRecord NextRecord(char Separator) {
        TRecord record;
        record.Line = FLine;
        const size_t start = FPos;
        std::string field;
        bool quoted = false;
        bool wasQuoted = false;
        size_t pos = FPos;
        for (;;) {
            if (pos >= FText.size()) {
                if (quoted) {
                    FPos = start;
                    record.Text = NextLine();
                    record.Fields.clear();
                    record.Error = "a quote is left open";
                    return record;
                }
                break;
            }
            const char c = FText[pos];
            if (quoted) {
                if (c == '"') {
                    if (pos + 1 < FText.size() && FText[pos + 1] == '"') {
                        field += '"';
                        pos += 2;
                        continue;
                    }
                    quoted = false;
                    ++pos;
                    continue;
                }
                field += c;
                ++pos;
                continue;
            }
            if (c == '\n' || c == '\r')
                break;
            if (c == Separator) {
                record.Fields.push_back(wasQuoted ? field : std::string(Trim(field)));
                field.clear();
                wasQuoted = false;
                ++pos;
                continue;
            }
            if (c == '"' && Trim(field).empty() && !wasQuoted) {
                field.clear();
                quoted = wasQuoted = true;
                ++pos;
                continue;
            }
            if (wasQuoted && !IsBlank(c)) {
                FPos = start;
                record.Text = NextLine();
                record.Fields.clear();
                record.Error = "text after a closing quote";
                return record;
            }
            if (!wasQuoted)
                field += c;
            ++pos;
        }
        record.Fields.push_back(wasQuoted ? field : std::string(Trim(field)));
        record.Text = FText.substr(start, pos - start);
        Advance(pos);
        return record;
    }

    int Line() const { return FLine; }

private:
    // Moves past the end of the line that ends at End, counting the lines
    // that the record covered.
    void Advance(size_t End) {
        for (size_t i = FPos; i < End; ++i)
            if (FText[i] == '\n' || (FText[i] == '\r' && (i + 1 >= End || FText[i + 1] != '\n')))
                ++FLine;
        FPos = End;
        if (FPos < FText.size() && FText[FPos] == '\r')
            ++FPos;
        if (FPos < FText.size() && FText[FPos] == '\n')
            ++FPos;
        ++FLine;
    }

    std::string_view FText;
    size_t FPos = 0;
    int FLine = 1;
};

bool IsCommentOrBlank(std::string_view Line) {
    Line = Trim(Line);
    return Line.empty() || Line.front() == '#';
}

class TPlanner {
public:
    TPlanner(TImportPlan& Plan, const TDeviceDataCollection& Existing) : FPlan(Plan) {
        for (int i = 0; i < Existing.Count(); ++i)
            FListed.emplace(HostKey(Existing.Items(i)->Host()), 0);
    }

    void Invalid(int Line, std::string_view Source, std::string Reason) {
        TImportEntry entry;
        entry.Line = Line;
        entry.Source = Excerpt(Source);
        entry.Outcome = TImportOutcome::Invalid;
        entry.Reason = std::move(Reason);
        FPlan.Entries.push_back(std::move(entry));
        ++FPlan.Invalid;
    }

    // Adds what one host text stands for, with the values given beside it.
    void Target(int Line, std::string_view Source, const TImportEntry& Values) {
        TTarget target = TargetOf(Source);
        if (!target.Error.empty())
            return Invalid(Line, Source, target.Error);
        if (!target.IsRange)
            return Host(Line, Source, target.Host, Values);
        const uint64_t count = target.Count();
        const uint64_t left = uint64_t(MaxImportAddresses) - uint64_t(FPlan.Expanded);
        if (count > left)
            return Invalid(Line, Source,
                           "expands to " + std::to_string(count) + " addresses; an import takes " +
                               std::to_string(MaxImportAddresses) + " from ranges" +
                               (left < uint64_t(MaxImportAddresses)
                                    ? " (" + std::to_string(left) + " left)"
                                    : std::string()));
        FPlan.Expanded += static_cast<int>(count);
        for (uint64_t address = target.First; address <= target.Last; ++address)
            Host(Line, Source, AddressText(static_cast<uint32_t>(address)), Values);
    }

private:
    void Host(int Line, std::string_view Source, std::string Host, const TImportEntry& Values) {
        TImportEntry entry = Values;
        entry.Line = Line;
        entry.Source = Excerpt(Source);
        const auto [seen, isNew] = FListed.emplace(HostKey(Host), Line);
        entry.Host = std::move(Host);
        if (isNew) {
            ++FPlan.ToAdd;
        } else {
            entry.Outcome = TImportOutcome::Duplicate;
            entry.Reason = seen->second == 0 ? std::string(AlreadyListed)
                                             : "same as line " + std::to_string(seen->second);
            ++FPlan.Duplicates;
        }
        FPlan.Entries.push_back(std::move(entry));
    }

    TImportPlan& FPlan;
    // Host keys of the list and of the entries so far, with the line that
    // brought them (0: the list).
    std::unordered_map<std::string, int> FListed;
};

// Hosts separated by blanks, tabs, commas or semicolons; "#" after a blank
// starts a comment, as in a hosts file.
void PlanWords(TReader& Reader, TPlanner& Planner) {
    const TImportEntry defaults;
    while (!Reader.AtEnd()) {
        const int line = Reader.Line();
        std::string_view text = Reader.NextLine();
        size_t pos = 0;
        while (pos < text.size()) {
            while (pos < text.size() &&
                   (IsBlank(text[pos]) || text[pos] == ',' || text[pos] == ';'))
                ++pos;
            if (pos >= text.size() || text[pos] == '#')
                break;
            size_t end = pos;
            while (end < text.size() && !IsBlank(text[end]) && text[end] != ',' && text[end] != ';')
                ++end;
            Planner.Target(line, text.substr(pos, end - pos), defaults);
            pos = end;
        }
    }
}

struct THeader {
    char Separator = ',';
    std::vector<TColumn> Columns;
};

// The header of the first content line, when it names a host column.
std::optional<THeader> HeaderOf(std::string_view Line, std::vector<std::string>& Notes) {
    THeader header;
    if (Line.find('\t') != std::string_view::npos)
        header.Separator = '\t';
    else if (Line.find(',') == std::string_view::npos && Line.find(';') != std::string_view::npos)
        header.Separator = ';';
    TReader reader(Line);
    const TRecord record = reader.NextRecord(header.Separator);
    if (!record.Error.empty())
        return std::nullopt;
    bool hasHost = false;
    std::vector<std::string> ignored;
    for (const std::string& name : record.Fields) {
        const auto column = ColumnNamed(name);
        bool repeated = false;
        for (TColumn known : header.Columns)
            repeated = repeated || (column && known == *column);
        if (column && !repeated) {
            header.Columns.push_back(*column);
            hasHost = hasHost || *column == TColumn::Host;
            continue;
        }
        header.Columns.push_back(TColumn::Ignored);
        if (!name.empty())
            ignored.push_back("column " + Quoted(Excerpt(name)) +
                              (repeated ? " repeated; the first is used" : " ignored"));
    }
    if (!hasHost)
        return std::nullopt;
    Notes.insert(Notes.end(), ignored.begin(), ignored.end());
    return header;
}

void PlanTable(TReader& Reader, const THeader& Header, TPlanner& Planner) {
    while (!Reader.AtEnd()) {
        const TRecord record = Reader.NextRecord(Header.Separator);
        if (!record.Error.empty()) {
            Planner.Invalid(record.Line, record.Text, record.Error);
            continue;
        }
        bool empty = true;
        for (const std::string& field : record.Fields)
            empty = empty && Trim(field).empty();
        if (empty || IsCommentOrBlank(record.Text))
            continue;
        TImportEntry values;
        std::string_view host;
        std::string problem;
        for (size_t i = 0; i < record.Fields.size() && i < Header.Columns.size(); ++i) {
            const std::string& field = record.Fields[i];
            switch (Header.Columns[i]) {
            case TColumn::Host:
                host = Trim(field);
                break;
            case TColumn::Description:
                values.Description = field;
                break;
            case TColumn::Type:
                if (const auto type = TypeOf(field))
                    values.DeviceType = *type;
                else
                    problem = "unknown device type " + Quoted(Excerpt(field)) +
                              " (Computer, Server, Printer, Router, Bridge, Interface or 0 to 5)";
                break;
            case TColumn::Monitored:
                if (const auto monitored = MonitoredOf(field))
                    values.Monitored = *monitored;
                else
                    problem = "monitored is " + Quoted(Excerpt(field)) + ", not yes or no";
                break;
            case TColumn::Ignored:
                break;
            }
        }
        if (host.empty() && problem.empty())
            problem = "no host";
        if (!problem.empty())
            Planner.Invalid(record.Line, record.Text, problem);
        else
            Planner.Target(record.Line, host, values);
    }
}

std::string SystemError(const std::string& Path, const char* What) {
    return "Cannot " + std::string(What) + " " + Quoted(Path) + ": " + std::strerror(errno);
}

} // namespace

const char* DeviceTypeName(TDeviceType Type) {
    return Type < DeviceTypeCount ? TypeNames[Type] : "";
}

TImportPlan PlanImport(std::string_view Text, const TDeviceDataCollection& Existing) {
    TImportPlan plan;
    TPlanner planner(plan, Existing);
    if (Text.size() > MaxImportBytes) {
        planner.Invalid(1, Text.substr(0, 40),
                        "more than " + std::to_string(MaxImportBytes >> 20) +
                            " MiB of text; import it in parts");
        return plan;
    }
    // Spreadsheets begin their UTF-8 files with a byte order mark.
    if (Text.substr(0, 3) == "\xEF\xBB\xBF")
        Text.remove_prefix(3);
    TReader reader(Text);
    // The first line that is not blank or a comment may be a header.
    TReader probe(Text);
    std::optional<THeader> header;
    while (!probe.AtEnd()) {
        const int line = probe.Line();
        const std::string_view first = probe.NextLine();
        if (IsCommentOrBlank(first))
            continue;
        header = HeaderOf(first, plan.Notes);
        if (header) {
            while (reader.Line() <= line && !reader.AtEnd())
                reader.NextLine();
        }
        break;
    }
    if (header) {
        plan.HasHeader = true;
        plan.Separator = header->Separator;
        PlanTable(reader, *header, planner);
    } else {
        PlanWords(reader, planner);
    }
    return plan;
}

std::string ImportSummary(const TImportPlan& Plan) {
    std::string text = std::to_string(Plan.ToAdd) + " to add";
    if (Plan.Expanded > 0)
        text += " (" + std::to_string(Plan.Expanded) + " from ranges)";
    int listed = 0;
    for (const TImportEntry& entry : Plan.Entries)
        if (entry.Outcome == TImportOutcome::Duplicate && entry.Reason == AlreadyListed)
            ++listed;
    if (listed > 0)
        text += ", " + std::to_string(listed) + " already in the list";
    if (Plan.Duplicates > listed)
        text += ", " + std::to_string(Plan.Duplicates - listed) + " repeated";
    if (Plan.Invalid > 0)
        text += ", " + std::to_string(Plan.Invalid) + " invalid";
    return text;
}

std::string ImportEntryMessage(const TImportEntry& Entry) {
    switch (Entry.Outcome) {
    case TImportOutcome::Add:
        return {};
    case TImportOutcome::Duplicate:
        return "line " + std::to_string(Entry.Line) + ": " + Entry.Host + ": skipped, " +
               Entry.Reason;
    case TImportOutcome::Invalid:
        break;
    }
    return "line " + std::to_string(Entry.Line) + ": " +
           (Entry.Source.empty() ? std::string() : Entry.Source + ": ") + Entry.Reason;
}

int ApplyImport(const TImportPlan& Plan, TDeviceDataCollection& Devices) {
    const int before = Devices.Count();
    try {
        for (const TImportEntry& entry : Plan.Entries) {
            if (entry.Outcome != TImportOutcome::Add)
                continue;
            TDeviceData* device = Devices.Add();
            device->SetHost(entry.Host);
            device->SetDescription(entry.Description);
            device->SetDeviceType(entry.DeviceType);
            device->SetMonitored(entry.Monitored);
        }
    } catch (...) {
        while (Devices.Count() > before)
            delete Devices.Items(Devices.Count() - 1);
        throw;
    }
    return Devices.Count() - before;
}

int ImportAndSave(const TImportPlan& Plan, TSentrelSettings& Settings) {
    TDeviceDataCollection& devices = *Settings.Devices();
    const int before = devices.Count();
    const int added = ApplyImport(Plan, devices);
    try {
        Settings.Save();
    } catch (...) {
        while (devices.Count() > before)
            delete devices.Items(devices.Count() - 1);
        throw;
    }
    return added;
}

std::string DevicesCsv(const TDeviceDataCollection& Devices) {
    std::string text = CsvRow({"Host", "Description", "Type", "Monitored"});
    for (int i = 0; i < Devices.Count(); ++i) {
        const TDeviceData& device = *Devices.Items(i);
        // A type outside the six goes out as its number, which reads back
        // as invalid rather than as some other type.
        const char* name = DeviceTypeName(device.DeviceType());
        text += CsvRow({device.Host(), device.Description(),
                        *name != '\0' ? std::string(name) : std::to_string(device.DeviceType()),
                        device.Monitored() ? "yes" : "no"});
    }
    return text;
}

std::string ReadImportFile(const std::string& Path) {
    const bool standardInput = Path == "-";
    const int fd = standardInput ? dup(STDIN_FILENO) : open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EImportFile(SystemError(Path, "open"));
    struct TCloser {
        int Fd;
        ~TCloser() { close(Fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        throw EImportFile("Cannot import " + Quoted(Path) + ": it is a folder");
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EImportFile(SystemError(Path, "read"));
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<size_t>(n) > MaxImportBytes)
            throw EImportFile("Cannot import " + Quoted(Path) + ": it is larger than " +
                              std::to_string(MaxImportBytes >> 20) + " MiB; import it in parts");
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

void WriteExportFile(const std::string& Path, const std::string& Text) {
    auto writeAll = [&](int Fd) {
        size_t done = 0;
        while (done < Text.size()) {
            const ssize_t n = write(Fd, Text.data() + done, Text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    };
    if (Path == "-") {
        if (!writeAll(STDOUT_FILENO))
            throw EImportFile(SystemError("standard output", "write to"));
        return;
    }
    // A name of its own beside the target, so that two exports at once do
    // not share it; renamed over the target only once all of it is written.
    const std::string temporary = Path + ".tmp-" + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw EImportFile(SystemError(Path, "write"));
    bool written = writeAll(fd) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.c_str());
        errno = error;
        throw EImportFile(SystemError(Path, "write"));
    }
    if (rename(temporary.c_str(), Path.c_str()) != 0) {
        const std::string message = SystemError(Path, "write");
        unlink(temporary.c_str());
        throw EImportFile(message);
    }
}
