#pragma once
// Comma-separated values as spreadsheets and scripts read them (RFC 4180):
// CRLF line ends, fields quoted where they must be, quotes doubled. Texts go
// out byte for byte: host texts are whatever bytes the user typed, not
// necessarily UTF-8, and a reader must get every one of them back.

#include "core/StatusLogCM.h"
#include "core/history/HistoryStore.h"
#include "framework/Exceptions.h"

#include <string>
#include <unordered_map>
#include <vector>

// A file that is not CSV; the message names the line.
class ECsvFormat : public Exception {
public:
    using Exception::Exception;
};

// Host -> description, as the device list has them; a host not in it has "".
using THostDescriptions = std::unordered_map<std::string, std::string>;

// The field as written: quoted when it holds a comma, a quote, CR or LF, or
// begins or ends with a blank (which readers would otherwise trim).
std::string CsvField(const std::string& Field);
// The fields as one row, CRLF at the end.
std::string CsvRow(const std::vector<std::string>& Fields);

// The rows of Text, each field byte for byte. Rows end with CRLF or LF (a
// last row may lack its end). Throws ECsvFormat for a quote left open, a
// quote inside an unquoted field or text after a closing quote.
std::vector<std::vector<std::string>> ReadCsv(const std::string& Text);

// The status records as CSV: "Time,Host,Description,Status,Code", then a row
// per record in the order given: ISO 8601 local time with its offset, the
// host, its description, the status text and the status number. An address
// change has "now ADDRESS" as its status and no number.
std::string StatusCsvHeader();
std::string StatusCsvRow(const TDeviceStatusRecord& Record, const THostDescriptions& Descriptions);
std::string StatusLogCsv(const std::vector<TDeviceStatusRecord>& Records,
                         const THostDescriptions& Descriptions);

// A history export: "Time,Host,Description,Result,Code,RTT ms"; the round
// trip is empty for a change and for a probe that got no answer.
std::string HistoryCsvHeader();
std::string HistoryCsvRow(const THistoryProbe& Probe, const THostDescriptions& Descriptions);
std::string HistoryCsvRow(const THistoryChange& Change, const THostDescriptions& Descriptions);
