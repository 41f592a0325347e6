// The file format on its own: what the registry editor writes, every encoding
// and line end, layouts the writer never produces, and damaged input.

#include "platform/registry/RegFile.h"
#include "platform/registry/RegText.h"

#include "RegistryFixture.h"

#include <random>

using namespace platform;
using namespace platform::reg;

namespace {

// UTF-16LE (BMP only, as in the fixture) to UTF-8, CR LF to LF.
std::string EditorTextAsWritten(const std::string& Utf16) {
    std::string out;
    for (size_t i = 2; i + 1 < Utf16.size(); i += 2) {
        const unsigned unit = static_cast<uint8_t>(Utf16[i]) | static_cast<uint8_t>(Utf16[i + 1])
                                                                   << 8;
        if (unit == '\r')
            continue;
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | unit >> 6);
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | unit >> 12);
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

std::string Rewritten(const std::string& Bytes) {
    return WriteRegFile(*ParseRegFile(Bytes, "HKEY_CURRENT_USER"), "HKEY_CURRENT_USER");
}

const std::string Sample = "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_CURRENT_USER\\Software\\A]\n"
                           "\"Text\"=\"Drucker \xE2\x80\x93 Flur \\\"x\\\" C:\\\\\"\n"
                           "@=dword:0000002a\n"
                           "\"Blob\"=hex:01,02,ff\n"
                           "\"Odd\"=hex(123abc):00\n\n"
                           "[HKEY_CURRENT_USER\\Software\\A\\Empty]\n\n";

} // namespace

TEST(RegFile, WritesTheEditorsExportBackIdentically) {
    const std::string exported =
        RegistryFixture::ReadAll(SENTREL_FIXTURES_DIR "/windows-regedit-export.reg");
    ASSERT_GT(exported.size(), 100u);
    // Same keys, values, order and hex wrapping; only UTF-8 and LF differ.
    EXPECT_EQ(Rewritten(exported), EditorTextAsWritten(exported));
}

TEST(RegFile, ReadsEveryEncodingAndLineEnd) {
    const std::string expected = Rewritten(Sample);
    EXPECT_EQ(expected, Sample);
    std::string crlf;
    for (char c : Sample)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string le = Utf8ToUtf16LE(crlf);
    std::string be = le;
    for (size_t i = 0; i + 1 < be.size(); i += 2)
        std::swap(be[i], be[i + 1]);
    for (const std::string& variant : {crlf, "\xEF\xBB\xBF" + Sample, "\xEF\xBB\xBF" + crlf,
                                       "\xFF\xFE" + le, "\xFE\xFF" + be, le})
        EXPECT_EQ(Rewritten(variant), expected);
}

TEST(RegFile, HexDataMayBeLaidOutAnyway) {
    std::string longLine = "\"Long\"=hex:";
    for (int i = 0; i < 300; ++i)
        longLine += (i ? "," : "") + std::string("ab");
    const auto root = ParseRegFile("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\K]\n"
                                   "\"Split\"=hex(7):61,\\\n\t00 , 62 ,\\\n\\\n    00,\n" +
                                       longLine + "\n\"Empty\"=hex:\n",
                                   "HKEY_CURRENT_USER");
    const Key* key = FindKey(*root, {"k"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->FindValue("Split")->Data, std::string("a\0b\0", 4));
    EXPECT_EQ(key->FindValue("Long")->Data, std::string(300, '\xab'));
    EXPECT_EQ(key->FindValue("Empty")->Data, "");
    // Written back wrapped, and every line within the editor's width.
    const std::string written = WriteRegFile(*root, "HKEY_CURRENT_USER");
    std::istringstream lines(written);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
}

TEST(RegFile, StringDataThatIsNotTextStaysAsRead) {
    // No terminating zero, an odd length, a lone high surrogate: all kept byte for byte.
    const std::string file = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n"
                             "\"a\"=hex(1):41,00\n\"b\"=hex(1):41\n\"c\"=hex(1):00,d8,41,00,00,00\n"
                             "\"d\"=hex(1):41,00,0a,00,00,00\n\n";
    EXPECT_EQ(Rewritten(file), file);
    const auto root = ParseRegFile(file, "HKEY_CURRENT_USER");
    EXPECT_EQ(FindKey(*root, {"K"})->FindValue("d")->Data, "A\n");
}

TEST(RegFile, ImportStyleDeletionsAndComments) {
    const auto root = ParseRegFile("Windows Registry Editor Version 5.00\r\n"
                                   "; a comment\n"
                                   "[HKEY_CURRENT_USER\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
                                   "   \n  \"y\"=-\n"
                                   "[-HKEY_CURRENT_USER\\A]\n\"ignored\"=\"under a deleted key\"\n"
                                   "[hkey_current_user\\A\\C]\n",
                                   "HKEY_CURRENT_USER");
    EXPECT_EQ(FindKey(*root, {"A", "B"}), nullptr);
    ASSERT_NE(FindKey(*root, {"a", "c"}), nullptr);
    EXPECT_TRUE(FindKey(*root, {"a", "c"})->Values().empty());
}

TEST(RegFile, KeyLinesInAnyOrderCaseAndAfterDeletionsBuildTheSameTree) {
    // Each key line may share the keys above it with the line before, in
    // another case, or follow a deletion of one of them.
    EXPECT_EQ(Rewritten("Windows Registry Editor Version 5.00\n"
                        "[HKEY_CURRENT_USER\\A\\B]\n\"x\"=\"1\"\n"
                        "[HKEY_CURRENT_USER\\a\\C]\n"
                        "[HKEY_CURRENT_USER\\A\\b\\D]\n\"y\"=\"2\"\n"
                        "[-HKEY_CURRENT_USER\\A\\C]\n"
                        "[HKEY_CURRENT_USER\\A\\C\\E]\n"
                        "[hkey_current_user\\a]\n\"z\"=\"3\"\n"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\A]\n\"z\"=\"3\"\n\n"
              "[HKEY_CURRENT_USER\\A\\B]\n\"x\"=\"1\"\n\n"
              "[HKEY_CURRENT_USER\\A\\B\\D]\n\"y\"=\"2\"\n\n"
              "[HKEY_CURRENT_USER\\A\\C\\E]\n\n");
}

TEST(RegFile, AKeyWithManyValuesKeepsTheirOrderAndFirstSpelling) {
    Key key("K");
    for (int i = 0; i < 40; ++i)
        key.SetValue({"Name" + std::to_string(i), REG_SZ, std::to_string(i), false});
    key.SetValue({"NAME7", REG_SZ, "seven", false});
    EXPECT_TRUE(key.RemoveValue("name3"));
    EXPECT_FALSE(key.RemoveValue("name3"));
    key.SetValue({"NAME3", REG_SZ, "back", false});
    ASSERT_NE(key.FindValue("nAmE7"), nullptr);
    EXPECT_EQ(key.FindValue("nAmE7")->Name, "Name7");
    EXPECT_EQ(key.FindValue("nAmE7")->Data, "seven");
    std::vector<std::string> names;
    for (const Value& value : key.Values())
        names.push_back(value.Name);
    ASSERT_EQ(names.size(), 40u);
    EXPECT_EQ(names[3], "Name4");
    EXPECT_EQ(names.back(), "NAME3");
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(key.RemoveValue("NAME" + std::to_string(i)));
    EXPECT_TRUE(key.Values().empty());
    key.SetValue({"again", REG_SZ, "", false});
    EXPECT_NE(key.FindValue("AGAIN"), nullptr);
}

TEST(RegFile, DamagedInputLoadsOrFailsWithALine) {
    // Random edits of a valid file: each must either load or raise RegFileError.
    std::mt19937 random(20261208);
    const std::string alphabet = "[]\"\\=@-:,;()\r\n hexdword0f\xff\xfe";
    size_t failures = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = round % 2 ? Sample : "\xFF\xFE" + Utf8ToUtf16LE(Sample);
        for (int edit = 0; edit < 1 + round % 4; ++edit) {
            const size_t at = random() % text.size();
            switch (random() % 3) {
            case 0:
                text[at] = alphabet[random() % alphabet.size()];
                break;
            case 1:
                text.erase(at, 1 + random() % 8);
                break;
            default:
                text.insert(at, 1, alphabet[random() % alphabet.size()]);
            }
            if (text.empty())
                text = "x";
        }
        try {
            ParseRegFile(text, "HKEY_CURRENT_USER");
        } catch (const RegFileError& e) {
            ++failures;
            EXPECT_GE(e.Line(), 1u);
        }
    }
    EXPECT_GT(failures, 100u);
}
