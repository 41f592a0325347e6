#include "platform/registry/RegFile.h"

#include "framework/Text.h"
#include "platform/registry/RegText.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace platform::reg {

namespace {

constexpr std::string_view HeaderLine = "Windows Registry Editor Version 5.00";

// Past this column the editor wraps hex data onto a continuation line.
constexpr size_t HexWrapColumn = 76;

using text::HexDigit;
using text::IsBlank;
using text::Trim;
using text::TrimLeft;
using text::TrimRight;

// 1..MaxDigits hex digits and nothing else.
bool ParseHexNumber(std::string_view Text, size_t MaxDigits, uint32_t& Number) {
    if (Text.empty() || Text.size() > MaxDigits)
        return false;
    Number = 0;
    for (char c : Text) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        Number = (Number << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
    return Text.size() >= Prefix.size() && Fold(Text.substr(0, Prefix.size())) == Prefix;
}

// File text in a message: short, and only printable ASCII.
std::string Shown(std::string_view Text) {
    std::string shown;
    for (char c : Text.substr(0, 20))
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (Text.size() > 20)
        shown += "...";
    return shown;
}

size_t LineCount(std::string_view Text) {
    return static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')) + 1;
}

// The file's text as UTF-8, without a byte-order mark: a view of Bytes, or
// of Converted when the file is UTF-16.
std::string_view DecodeFile(std::string_view Bytes, std::string& Converted) {
    bool utf16 = false;
    bool bigEndian = false;
    if (Bytes.starts_with("\xFF\xFE")) {
        utf16 = true;
        Bytes.remove_prefix(2);
    } else if (Bytes.starts_with("\xFE\xFF")) {
        utf16 = bigEndian = true;
        Bytes.remove_prefix(2);
    } else if (Bytes.starts_with("\xEF\xBB\xBF")) {
        Bytes.remove_prefix(3);
    } else if (Bytes.starts_with(std::string_view("W\0i\0", 4))) {
        utf16 = true; // the editor's own format, its byte-order mark lost
    } else if (Bytes.starts_with(std::string_view("\0W\0i", 4))) {
        utf16 = bigEndian = true;
    }
    if (!utf16)
        return Bytes;
    Converted = Utf16ToUtf8(Bytes, bigEndian);
    if (Bytes.size() % 2 != 0)
        throw RegFileError(LineCount(Converted), "the file ends inside a UTF-16 character");
    return Converted;
}

// hex(1) data is the string in UTF-16 with a terminating zero. Anything that
// does not convert to text and back exactly is kept as it is.
Value StringFromHex(std::string Name, std::string Bytes) {
    Value value{std::move(Name), REG_SZ, {}, false};
    const bool terminated = Bytes.size() >= 2 && Bytes.size() % 2 == 0 &&
                            Bytes[Bytes.size() - 1] == 0 && Bytes[Bytes.size() - 2] == 0;
    if (terminated) {
        const std::string_view units(Bytes.data(), Bytes.size() - 2);
        std::string text = Utf16ToUtf8(units);
        if (Utf8ToUtf16LE(text) == units) {
            value.Data = std::move(text);
            return value;
        }
    }
    value.Data = std::move(Bytes);
    value.Verbatim = true;
    return value;
}

class Parser {
public:
    Parser(std::string_view Text, std::string_view RootName)
        : FText(Text), FRootName(Fold(RootName)),
          FRoot(std::make_unique<Key>(std::string(RootName))) {}

    std::unique_ptr<Key> Parse() {
        std::string_view line;
        if (!NextLine(line) || TrimRight(line) != HeaderLine)
            Fail("expected \"" + std::string(HeaderLine) + "\"");
        while (NextLine(line)) {
            line = TrimLeft(line);
            if (line.empty() || line.front() == ';')
                continue;
            if (line.front() == '[')
                Section(line);
            else if (line.front() == '"' || line.front() == '@')
                ValueLine(line);
            else
                Fail("expected \"name\"=value");
        }
        return std::move(FRoot);
    }

private:
    bool NextLine(std::string_view& Line) {
        if (FPos >= FText.size())
            return false;
        size_t end = FText.find('\n', FPos);
        if (end == std::string_view::npos)
            end = FText.size();
        Line = FText.substr(FPos, end - FPos);
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        FPos = end + 1;
        ++FLine;
        return true;
    }

    // An empty file fails on its (missing) first line.
    [[noreturn]] void Fail(const std::string& Reason) const {
        throw RegFileError(std::max<size_t>(FLine, 1), Reason);
    }

    // [ROOT\a\b] opens (and creates) a key, [-ROOT\a\b] deletes one. A key
    // name may itself hold ']', so the name runs to the line's last ']'.
    void Section(std::string_view Line) {
        const size_t close = Line.rfind(']');
        if (close == std::string_view::npos)
            Fail("expected ']' at the end of the key line");
        if (!TrimLeft(Line.substr(close + 1)).empty())
            Fail("unexpected text after the key's closing ']'");
        const bool deletion = Line.size() > 1 && Line[1] == '-';
        const size_t start = deletion ? 2 : 1;
        const std::string_view path = close > start ? Line.substr(start, close - start) : "";

        std::vector<std::string_view>& names = FNames;
        names.clear();
        size_t from = 0;
        bool first = true;
        for (;;) {
            const size_t slash = path.find('\\', from);
            const std::string_view name =
                path.substr(from, slash == std::string_view::npos ? slash : slash - from);
            if (first) {
                if (!SameName(name, FRootName))
                    Fail("the key is not under " + FRoot->Name());
                first = false;
            } else {
                if (name.empty())
                    Fail("empty key name in \"" + Shown(path) + "\"");
                if (names.size() == MaxKeyDepth)
                    Fail("keys nested deeper than " + std::to_string(MaxKeyDepth) + " levels");
                names.push_back(name);
            }
            if (slash == std::string_view::npos)
                break;
            from = slash + 1;
        }

        if (deletion) {
            if (names.empty())
                Fail("the root key cannot be deleted");
            RemoveKey(*FRoot, KeyPath(names.begin(), names.end()));
            // As the editor does on import, values under a deleted key are ignored.
            FCurrent = nullptr;
            FInDeletedKey = true;
            FChain.clear(); // it may have held the deleted key
        } else {
            FCurrent = &OpenSection(names);
            FInDeletedKey = false;
        }
    }

    // CreateKey from the root, but starting below the keys this section
    // shares with the one before: files list sibling keys one after another,
    // and a walk from the root for each costs a search per level.
    Key& OpenSection(const std::vector<std::string_view>& Names) {
        size_t shared = 0;
        while (shared < Names.size() && shared < FChain.size() &&
               SameName(Names[shared], FChain[shared]->Name()))
            ++shared;
        FChain.resize(shared);
        Key* key = shared == 0 ? FRoot.get() : FChain.back();
        for (size_t i = shared; i < Names.size(); ++i) {
            Key* child = key->Child(Names[i]);
            if (!child) {
                child = &key->AddChild(Names[i]);
                child->SetImplied(true);
            }
            FChain.push_back(child);
            key = child;
        }
        key->SetImplied(false);
        return *key;
    }

    void ValueLine(std::string_view Line) {
        if (!FCurrent && !FInDeletedKey)
            Fail("value before the first [key] line");
        size_t pos = 1; // after '@', the default value's name
        std::string name;
        if (Line.front() == '"') {
            pos = 0;
            name = Quoted(Line, pos, "value name");
        }
        while (pos < Line.size() && IsBlank(Line[pos]))
            ++pos;
        if (pos >= Line.size() || Line[pos] != '=')
            Fail("expected \"name\"=value");
        const std::string_view data = Trim(Line.substr(pos + 1));
        if (data.empty())
            Fail("missing data after '='");

        if (data.front() == '-') {
            if (data.size() != 1)
                Fail("unexpected text after \"=-\"");
            if (FCurrent)
                FCurrent->RemoveValue(name);
            return;
        }
        Value value;
        if (data.front() == '"') {
            size_t end = 0;
            value = Value{std::move(name), REG_SZ, Quoted(data, end, "string"), false};
            if (end != data.size())
                Fail("unexpected text after the closing quote");
        } else if (StartsWithNoCase(data, "dword:")) {
            uint32_t number = 0;
            if (!ParseHexNumber(data.substr(6), 8, number))
                Fail("bad dword \"" + Shown(data.substr(6)) + "\": expected 1 to 8 hex digits");
            std::string bytes(4, '\0');
            for (size_t i = 0; i < 4; ++i)
                bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
            value = Value{std::move(name), REG_DWORD, std::move(bytes), false};
        } else if (StartsWithNoCase(data, "hex")) {
            uint32_t type = REG_BINARY;
            std::string_view rest = data.substr(3);
            if (rest.starts_with('(')) {
                const size_t close = rest.find(')');
                if (close == std::string_view::npos ||
                    !ParseHexNumber(rest.substr(1, close - 1), 8, type))
                    Fail("bad value type \"" + Shown(data) + "\": expected hex(N) with N in hex");
                rest.remove_prefix(close + 1);
            }
            if (!rest.starts_with(':'))
                Fail(R"(expected ':' after "hex" in ")" + Shown(data) + "\"");
            std::string bytes = HexBytes(rest.substr(1));
            if (type == REG_SZ)
                value = StringFromHex(std::move(name), std::move(bytes));
            else
                value = Value{std::move(name), type, std::move(bytes), false};
        } else {
            Fail("unknown value type \"" + Shown(data) + "\"");
        }
        if (FCurrent)
            FCurrent->SetValue(std::move(value));
    }

    // A quoted name or string starting at Line[Pos]: \\ and \" are escapes,
    // any other backslash stands for itself. Leaves Pos after the closing quote.
    std::string Quoted(std::string_view Line, size_t& Pos, const char* What) {
        std::string text;
        for (size_t i = Pos + 1; i < Line.size();) {
            // The plain run up to the next quote or backslash, in one piece.
            const size_t special = std::min(Line.find_first_of("\"\\", i), Line.size());
            text.append(Line, i, special - i);
            i = special;
            if (i == Line.size())
                break;
            if (Line[i] == '"') {
                Pos = i + 1;
                return text;
            }
            if (i + 1 < Line.size() && (Line[i + 1] == '\\' || Line[i + 1] == '"'))
                ++i;
            text += Line[i++];
        }
        Fail(std::string("unterminated ") + What + ": expected a closing '\"'");
    }

    // Comma-separated bytes; a line ending in a backslash continues on the next.
    std::string HexBytes(std::string_view Data) {
        std::string bytes;
        std::string_view segment = Data;
        for (;;) {
            segment = TrimRight(segment);
            const bool more = !segment.empty() && segment.back() == '\\';
            if (more)
                segment.remove_suffix(1);
            if (!Trim(segment).empty()) {
                size_t from = 0;
                for (;;) {
                    const size_t comma = segment.find(',', from);
                    const std::string_view token = Trim(segment.substr(
                        from, comma == std::string_view::npos ? comma : comma - from));
                    const bool last = comma == std::string_view::npos;
                    // A comma may end a line (or the data); nowhere else may a byte be missing.
                    if (!(token.empty() && last && from > 0)) {
                        uint32_t byte = 0;
                        if (!ParseHexNumber(token, 2, byte))
                            Fail("bad hex byte \"" + Shown(token) + "\"");
                        bytes += static_cast<char>(byte);
                    }
                    if (last)
                        break;
                    from = comma + 1;
                }
            }
            if (!more)
                return bytes;
            std::string_view line;
            if (!NextLine(line))
                Fail("hex data continues past the end of the file");
            segment = TrimLeft(line);
        }
    }

    std::string_view FText;
    size_t FPos = 0;
    size_t FLine = 0;
    std::string FRootName;
    std::unique_ptr<Key> FRoot;
    Key* FCurrent = nullptr;
    bool FInDeletedKey = false;
    // The keys of the last section, from the top down (see OpenSection).
    std::vector<Key*> FChain;
    std::vector<std::string_view> FNames;
};

void AppendQuoted(std::string& Out, std::string_view Text) {
    Out += '"';
    for (char c : Text) {
        if (c == '\\' || c == '"')
            Out += '\\';
        Out += c;
    }
    Out += '"';
}

void AppendHexData(std::string& Out, size_t LineStart, std::string_view Bytes) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < Bytes.size(); ++i) {
        const auto byte = static_cast<uint8_t>(Bytes[i]);
        Out += digits[byte >> 4];
        Out += digits[byte & 0x0F];
        if (i + 1 == Bytes.size())
            break;
        Out += ',';
        if (Out.size() - LineStart > HexWrapColumn) {
            Out += "\\\n  ";
            LineStart = Out.size() - 2;
        }
    }
}

std::string HexNumber(uint32_t Number, size_t Width) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[Number & 0x0F]);
        Number >>= 4;
    } while (Number != 0);
    if (text.size() < Width)
        text.insert(0, Width - text.size(), '0');
    return text;
}

void AppendValue(std::string& Out, const Value& V) {
    const size_t lineStart = Out.size();
    if (V.Name.empty())
        Out += '@';
    else
        AppendQuoted(Out, V.Name);
    Out += '=';
    if (V.Type == REG_SZ && !V.Verbatim && IsPlainText(V.Data)) {
        AppendQuoted(Out, V.Data);
    } else if (V.Type == REG_SZ) {
        // Line breaks, control characters and bytes that are not UTF-8 cannot
        // stand between quotes; as UTF-16 they survive any reader.
        Out += "hex(1):";
        AppendHexData(Out, lineStart,
                      V.Verbatim ? V.Data : Utf8ToUtf16LE(V.Data) + std::string(2, '\0'));
    } else if (V.Type == REG_DWORD && V.Data.size() == 4) {
        uint32_t number = 0;
        for (size_t i = 0; i < 4; ++i)
            number |= static_cast<uint32_t>(static_cast<uint8_t>(V.Data[i])) << (8 * i);
        Out += "dword:" + HexNumber(number, 8);
    } else {
        Out += V.Type == REG_BINARY ? std::string("hex:") : "hex(" + HexNumber(V.Type, 1) + "):";
        AppendHexData(Out, lineStart, V.Data);
    }
    Out += '\n';
}

void AppendKey(std::string& Out, std::string& Path, const Key& K) {
    // A key with neither values nor sub-keys needs its line to exist at all.
    if (!K.Implied() || !K.Values().empty() || K.Children().empty()) {
        Out += '[';
        Out += Path;
        Out += "]\n";
        for (const auto& value : K.Values())
            AppendValue(Out, value);
        Out += '\n';
    }
    for (const auto& [folded, child] : K.Children()) {
        const size_t length = Path.size();
        Path += '\\';
        Path += child->Name();
        AppendKey(Out, Path, *child);
        Path.resize(length);
    }
}

} // namespace

std::unique_ptr<Key> ParseRegFile(std::string_view Bytes, std::string_view RootName) {
    std::string converted;
    return Parser(DecodeFile(Bytes, converted), RootName).Parse();
}

// LF line ends: the registry editor imports them as well as CR LF, and so
// does our reader; they keep the file friendly to the usual text tools here.
std::string WriteRegFile(const Key& Root, std::string_view RootName, size_t SizeHint) {
    std::string out;
    out.reserve(SizeHint);
    out += HeaderLine;
    out += "\n\n";
    std::string path(RootName);
    if (!Root.Values().empty()) {
        AppendKey(out, path, Root);
        return out;
    }
    for (const auto& [folded, child] : Root.Children()) {
        path += '\\';
        path += child->Name();
        AppendKey(out, path, *child);
        path.resize(RootName.size());
    }
    return out;
}

} // namespace platform::reg
