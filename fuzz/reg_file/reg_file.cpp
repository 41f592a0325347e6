// The settings file reader on any bytes: it either gives a tree or fails with
// RegFileError on a line that exists. A tree it gives, written out, reads back
// as the same tree, also in the forms the registry editor itself writes (CR LF
// line ends, UTF-16 with a byte-order mark), and writing that is a fixed point.

#include "fuzz/common/RegCompare.h"
#include "platform/registry/RegFile.h"
#include "platform/registry/RegText.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

using namespace platform::reg;
using fuzz::TreeDifference;

namespace {

constexpr std::string_view Root = "HKEY_CURRENT_USER";

[[noreturn]] void Fault(const std::string& What, std::string_view Text) {
    std::fprintf(stderr, "%s\n--- text ---\n%.*s\n", What.c_str(), static_cast<int>(Text.size()),
                 Text.data());
    std::abort();
}

std::unique_ptr<Key> ReadBack(const std::string& Text, const char* Form) {
    try {
        return ParseRegFile(Text, Root);
    } catch (const RegFileError& e) {
        Fault(std::string("written file (") + Form + ") does not read back: line " +
                  std::to_string(e.Line()) + ": " + e.what(),
              Text);
    }
}

void CheckSameTree(const Key& Expected, const Key& Got, const char* Form, const std::string& Text) {
    if (const std::string difference = TreeDifference(Expected, Got); !difference.empty())
        Fault(std::string("tree changed on reading back (") + Form + "): " + difference, Text);
}

std::string WithCrLf(const std::string& Text) {
    std::string out;
    out.reserve(Text.size() + Text.size() / 16);
    for (char c : Text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
    std::unique_ptr<Key> tree;
    try {
        tree = ParseRegFile(bytes, Root);
    } catch (const RegFileError& e) {
        // Each line of the text ends in a 0x0A byte, whatever the encoding.
        const size_t lines = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
        if (e.Line() < 1 || e.Line() > lines || std::string_view(e.what()).empty())
            Fault("bad error: line " + std::to_string(e.Line()) + " of " + std::to_string(lines) +
                      ": " + e.what(),
                  bytes);
        return 0;
    }

    const std::string written = WriteRegFile(*tree, Root);
    const std::unique_ptr<Key> again = ReadBack(written, "as written");
    CheckSameTree(*tree, *again, "as written", written);
    if (WriteRegFile(*again, Root) != written)
        Fault("writing the tree read back gives another file", written);

    CheckSameTree(*tree, *ReadBack(WithCrLf(written), "CR LF"), "CR LF", written);
    CheckSameTree(*tree, *ReadBack("\xFF\xFE" + Utf8ToUtf16LE(written), "UTF-16"), "UTF-16",
                  written);
    return 0;
}
