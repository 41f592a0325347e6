#include "core/Csv.h"

#include "core/AlertCommand.h"

namespace {

bool Blank(char Char) {
    return Char == ' ' || Char == '\t';
}

const std::string& DescriptionOf(const THostDescriptions& Descriptions, const std::string& Host) {
    static const std::string none;
    const auto found = Descriptions.find(Host);
    return found == Descriptions.end() ? none : found->second;
}

std::vector<std::string> ResultFields(TDateTime Time, const std::string& Host, TPingResult Result,
                                      const THostDescriptions& Descriptions) {
    return {AlertTimeText(Time), Host, DescriptionOf(Descriptions, Host), PingResultText[Result],
            std::to_string(static_cast<int>(Result))};
}

[[noreturn]] void Malformed(size_t Line, const char* What) {
    throw ECsvFormat(Format("Line %zu: %s", Line, What));
}

} // namespace

std::string CsvField(const std::string& Field) {
    const bool quote = Field.find_first_of(",\"\r\n") != std::string::npos ||
                       (!Field.empty() && (Blank(Field.front()) || Blank(Field.back())));
    if (!quote)
        return Field;
    std::string out;
    out.reserve(Field.size() + 2);
    out += '"';
    for (const char c : Field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string CsvRow(const std::vector<std::string>& Fields) {
    std::string row;
    for (size_t i = 0; i < Fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += CsvField(Fields[i]);
    }
    row += "\r\n";
    return row;
}

namespace {

// Reads fields one at a time, counting lines for the messages.
struct TCsvReader {
    const std::string& Text;
    size_t At = 0;
    size_t Line = 1;

    bool More() const { return At < Text.size(); }
    bool RowEndsAt(size_t I) const {
        return I < Text.size() &&
               (Text[I] == '\n' || (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n'));
    }

    std::string Quoted() {
        const size_t opened = Line;
        std::string field;
        for (++At;;) {
            if (!More())
                Malformed(opened, "a quoted field is not closed");
            const char c = Text[At++];
            if (c == '"') {
                if (More() && Text[At] == '"') {
                    ++At;
                } else {
                    break;
                }
            } else if (c == '\n') {
                ++Line;
            }
            field += c;
        }
        if (More() && Text[At] != ',' && !RowEndsAt(At))
            Malformed(Line, "text follows a closing quote");
        return field;
    }

    std::string Plain() {
        std::string field;
        while (More() && Text[At] != ',' && Text[At] != '\n' && Text[At] != '\r') {
            if (Text[At] == '"')
                Malformed(Line, "a quote inside an unquoted field");
            field += Text[At++];
        }
        if (More() && Text[At] == '\r' && !RowEndsAt(At))
            Malformed(Line, "a carriage return inside an unquoted field");
        return field;
    }
};

} // namespace

std::vector<std::vector<std::string>> ReadCsv(const std::string& Text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    TCsvReader in{Text};
    while (in.More()) {
        row.push_back(Text[in.At] == '"' ? in.Quoted() : in.Plain());
        if (in.More() && Text[in.At] == ',') {
            ++in.At;
            // A comma at the very end leaves an empty last field.
            if (!in.More())
                row.emplace_back();
            continue;
        }
        if (in.More()) {
            in.At += Text[in.At] == '\r' ? 2 : 1;
            ++in.Line;
        }
        rows.push_back(std::move(row));
        row.clear();
    }
    if (!row.empty())
        rows.push_back(std::move(row));
    return rows;
}

std::string StatusCsvHeader() {
    return CsvRow({"Time", "Host", "Description", "Status", "Code"});
}

std::string StatusCsvRow(const TDeviceStatusRecord& Record, const THostDescriptions& Descriptions) {
    // The same five columns, so that a reader of earlier files reads these
    // rows too; no code, which only results have.
    if (Record.AddressChange())
        return CsvRow({AlertTimeText(Record.TimeStamp), Record.Host,
                       DescriptionOf(Descriptions, Record.Host), "now " + Record.NewAddress, ""});
    return CsvRow(ResultFields(Record.TimeStamp, Record.Host, Record.Status, Descriptions));
}

std::string StatusLogCsv(const std::vector<TDeviceStatusRecord>& Records,
                         const THostDescriptions& Descriptions) {
    std::string text = StatusCsvHeader();
    for (const TDeviceStatusRecord& record : Records)
        text += StatusCsvRow(record, Descriptions);
    return text;
}

std::string HistoryCsvHeader() {
    return CsvRow({"Time", "Host", "Description", "Result", "Code", "RTT ms"});
}

std::string HistoryCsvRow(const THistoryProbe& Probe, const THostDescriptions& Descriptions) {
    std::vector<std::string> fields =
        ResultFields(Probe.Time, Probe.Host, Probe.Result, Descriptions);
    fields.push_back(Probe.Result == prSuccess ? std::to_string(Probe.RoundTripMs) : "");
    return CsvRow(fields);
}

std::string HistoryCsvRow(const THistoryChange& Change, const THostDescriptions& Descriptions) {
    std::vector<std::string> fields =
        ResultFields(Change.Time, Change.Host, Change.Status, Descriptions);
    fields.emplace_back();
    return CsvRow(fields);
}
