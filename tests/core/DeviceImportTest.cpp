#include "core/import/DeviceImport.h"

#include "core/SentrelSettingsCM.h"
#include "net/IPv6Address.h"
#include "tests/support/TempConfig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

struct TDevices {
    TDeviceDataCollection List{nullptr};
    TDevices(std::initializer_list<const char*> Hosts) {
        for (const char* host : Hosts)
            List.Add()->SetHost(host);
    }
};

// "line:host" for entries to add, "line:host:reason" for duplicates and
// "line!reason" for invalid ones: one string to compare a plan at a glance.
std::vector<std::string> Outline(const TImportPlan& Plan) {
    std::vector<std::string> lines;
    for (const TImportEntry& entry : Plan.Entries) {
        const std::string line = std::to_string(entry.Line);
        switch (entry.Outcome) {
        case TImportOutcome::Add:
            lines.push_back(line + ":" + entry.Host);
            break;
        case TImportOutcome::Duplicate:
            lines.push_back(line + ":" + entry.Host + ":" + entry.Reason);
            break;
        case TImportOutcome::Invalid:
            lines.push_back(line + "!" + entry.Reason);
            break;
        }
    }
    return lines;
}

using Lines = std::vector<std::string>;

// The reason the address parser gives, which the import passes on.
std::string ParseReason(const std::string& Text) {
    TIPv6Address address;
    std::string reason;
    EXPECT_FALSE(ParseIPv6Address(Text, address, reason));
    EXPECT_FALSE(reason.empty());
    return reason;
}

} // namespace

TEST(DeviceImport, WordsAreSplitAtBlanksCommasAndSemicolonsAndDuplicatesAreNamed) {
    TDevices existing{"Printer-2F", "10.0.0.1"};
    const TImportPlan plan =
        PlanImport("# office\n\n  10.51.0.10 10.51.0.11,10.51.0.12;\tcore-sw\r\n"
                   "printer-2f # the list has it\r"
                   "010.0.0.001 CORE-SW 10.51.0.11\n",
                   existing.List);
    EXPECT_EQ(Outline(plan),
              (Lines{"3:10.51.0.10", "3:10.51.0.11", "3:10.51.0.12", "3:core-sw",
                     "4:printer-2f:already in the list", "5:010.0.0.001:already in the list",
                     "5:CORE-SW:same as line 3", "5:10.51.0.11:same as line 3"}));
    EXPECT_FALSE(plan.HasHeader);
    EXPECT_EQ(ImportSummary(plan), "4 to add, 2 already in the list, 2 repeated");
}

TEST(DeviceImport, RangesAndBlocksExpandToTheirHostsWithinTheCap) {
    TDevices none{};
    TImportPlan plan = PlanImport("10.0.0.1-3\n10.0.1.254-10.0.2.1\n192.168.5.0/30\n"
                                  "192.168.6.7/31\n192.168.7.7/32\n10.0.0.2\n",
                                  none.List);
    EXPECT_EQ(Outline(plan),
              (Lines{"1:10.0.0.1", "1:10.0.0.2", "1:10.0.0.3", "2:10.0.1.254", "2:10.0.1.255",
                     "2:10.0.2.0", "2:10.0.2.1", "3:192.168.5.1", "3:192.168.5.2", "4:192.168.6.6",
                     "4:192.168.6.7", "5:192.168.7.7", "6:10.0.0.2:same as line 1"}));
    EXPECT_EQ(plan.Expanded, 12);
    EXPECT_EQ(ImportSummary(plan), "12 to add (12 from ranges), 1 repeated");

    // The cap counts all ranges together; a range that would cross it is
    // refused whole, and a smaller one after it still fits.
    plan = PlanImport("10.1.0.0/21\n10.2.0.0/21\n10.3.0.0/30\n10.9.0.0/0\n10.4.0.1-3\n"
                      "10.4.0.1-2\n",
                      none.List);
    EXPECT_EQ(plan.ToAdd, MaxImportAddresses);
    EXPECT_EQ(Outline(plan).back(), "6:10.4.0.2");
    EXPECT_EQ(plan.Entries[4094].Reason,
              "expands to 4294967294 addresses; an import takes 4096 from ranges (2 left)");
    EXPECT_EQ(plan.Entries[4095].Reason,
              "expands to 3 addresses; an import takes 4096 from ranges (2 left)");
}

TEST(DeviceImport, MalformedAddressesRangesAndIPv6AreRefusedWithTheirReason) {
    TDevices none{};
    const TImportPlan plan = PlanImport("10.0.0.300\n10.0.0\n10..0.1\n10.0.0.50-10\n"
                                        "10.0.0.1-999\n10.0.0.0/33\n10.0.0.0/\nprinter/24\n"
                                        "fd00::1-fd00::5\n[fd00::]/64\nprinter:80\n10.0.0.1-x\n"
                                        "1.2.3.4.5\n00000000000000000256.1.1.1\n",
                                        none.List);
    EXPECT_EQ(
        Outline(plan),
        (Lines{"1!octet out of range (300)", "2!not an IPv4 address: 3 numbers, an address has 4",
               "3!not an IPv4 address: a number is missing",
               "4!range runs backwards (10.0.0.50 to 10.0.0.10)", "5!octet out of range (999)",
               "6!prefix length must be 0 to 32", "7!prefix length must be 0 to 32",
               "8!a block needs an IPv4 address before the '/'",
               "9!IPv6 ranges and blocks are not supported; list the addresses",
               "10!IPv6 ranges and blocks are not supported; list the addresses",
               "11!':' is not allowed in a host",
               "12!a range ends in an IPv4 address or a last number (10.0.0.1-50)",
               "13!not an IPv4 address: 5 numbers, an address has 4",
               "14!octet out of range (00000000000000000256)"}));
    EXPECT_EQ(ImportEntryMessage(plan.Entries[0]), "line 1: 10.0.0.300: octet out of range (300)");
}

TEST(DeviceImport, IPv6LiteralsAreAddedInCanonicalFormAndComparedByAddress) {
    TDevices existing{"[FD00::2]"};
    const TImportPlan plan = PlanImport("FD00:0:0::1\n[fd00::1]\nfe80::1%eth0\n[FE80::0:1%eth0]\n"
                                        "fe80::1%br-lan\nfd00:0::2\nfd00::1::2\n",
                                        existing.List);
    EXPECT_EQ(Outline(plan),
              (Lines{"1:fd00::1", "2:fd00::1:same as line 1", "3:fe80::1%eth0",
                     "4:fe80::1%eth0:same as line 3",
                     "5:fe80::1%br-lan", // a dash in a zone makes no range
                     "6:fd00::2:already in the list", "7!" + ParseReason("fd00::1::2")}));
    EXPECT_EQ(plan.ToAdd, 3);
    EXPECT_EQ(plan.Expanded, 0);
}

TEST(DeviceImport, AHeaderNamesTheColumnsInAnyOrderAndQuotedFieldsMaySpanLines) {
    TDevices none{};
    const TImportPlan plan =
        PlanImport("\xEF\xBB\xBF# exported\r\nType,Location,HOST,Monitored,Description\r\n"
                   "printer,2F,printer-2F,no,\"Second floor, \"\"east\"\"\nby the stairs\"\r\n"
                   "3,,10.9.0.1-2,yes,core\r\n"
                   ",,,,\r\n"
                   "Toaster,,oven,,\r\n"
                   "Server,,\"unclosed,yes,x\r\n"
                   "1,,after-the-quote,maybe,\r\n"
                   "0,,last,,plain\r\n",
                   none.List);
    ASSERT_TRUE(plan.HasHeader);
    EXPECT_EQ(plan.Separator, ',');
    EXPECT_EQ(plan.Notes, (std::vector<std::string>{"column \"Location\" ignored"}));
    EXPECT_EQ(
        Outline(plan),
        (Lines{"3:printer-2F", "5:10.9.0.1", "5:10.9.0.2",
               "7!unknown device type \"Toaster\" (Computer, Server, Printer, Router, "
               "Bridge, Interface or 0 to 5)",
               "8!a quote is left open", "9!monitored is \"maybe\", not yes or no", "10:last"}));
    const TImportEntry& printer = plan.Entries[0];
    EXPECT_EQ(printer.Description, "Second floor, \"east\"\nby the stairs");
    EXPECT_EQ(printer.DeviceType, dtPrinter);
    EXPECT_FALSE(printer.Monitored);
    EXPECT_EQ(plan.Entries[2].DeviceType, dtRouter);
    EXPECT_EQ(plan.Entries[2].Description, "core");
    EXPECT_EQ(plan.Entries.back().Description, "plain");

    const TImportPlan tabs = PlanImport("host\tdescription\nalpha\t a, b \n", none.List);
    EXPECT_EQ(tabs.Separator, '\t');
    ASSERT_EQ(Outline(tabs), (Lines{"2:alpha"}));
    EXPECT_EQ(tabs.Entries[0].Description, "a, b");
}

TEST(DeviceImport, AnyBytesGiveMessagesNamingTheirLinesAndNeverALongOne) {
    TDevices none{};
    std::string binary = "good\n";
    binary += std::string("bad\0host\n", 9);
    binary += "ok-too\x01\n";
    binary += std::string(300, 'x') + "\n";
    binary += "\xff\xfe-name\n";
    const TImportPlan plan = PlanImport(binary, none.List);
    EXPECT_EQ(Outline(plan),
              (Lines{"1:good", "2!contains a control character", "3!contains a control character",
                     "4!longer than 255 characters", "5:\xff\xfe-name"}));
    EXPECT_LE(plan.Entries[3].Source.size(), 203u);

    const std::string huge(MaxImportBytes + 1, 'a');
    const TImportPlan refused = PlanImport(huge, none.List);
    EXPECT_EQ(Outline(refused), (Lines{"1!more than 16 MiB of text; import it in parts"}));
}

TEST(DeviceImport, AnExportReadsBackAsTheSameDevices) {
    TDevices devices{"alpha", " spaced", "quote\"d", "comma,host", "10.0.0.7"};
    devices.List.Items(0)->SetDescription("first, \"quoted\"\r\nsecond line");
    devices.List.Items(1)->SetDescription("  leading and trailing  ");
    devices.List.Items(2)->SetDeviceType(dtInterface);
    devices.List.Items(3)->SetMonitored(false);
    devices.List.Items(4)->SetDeviceType(dtRouter);
    const std::string csv = DevicesCsv(devices.List);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "Host,Description,Type,Monitored");

    TDevices empty{};
    const TImportPlan plan = PlanImport(csv, empty.List);
    ASSERT_EQ(plan.ToAdd, 5);
    ApplyImport(plan, empty.List);
    for (int i = 0; i < 5; ++i) {
        const TDeviceData& a = *devices.List.Items(i);
        const TDeviceData& b = *empty.List.Items(i);
        // Blanks around a host are taken off: they never belong to one.
        EXPECT_EQ(i == 1 ? "spaced" : a.Host(), b.Host());
        EXPECT_EQ(a.Description(), b.Description());
        EXPECT_EQ(a.DeviceType(), b.DeviceType());
        EXPECT_EQ(a.Monitored(), b.Monitored());
    }
}

TEST(DeviceImport, AFailedSaveTakesTheAddedDevicesOutAgain) {
    TempConfig config;
    TSentrelSettings settings(nullptr);
    settings.Devices()->Add()->SetHost("kept");
    settings.Save();
    const std::string before = config.Read(config.SettingsFile());
    // A file where the settings folder's parent was: no save can succeed, also as root.
    const std::filesystem::path maker = config.Home() + "/Kestrava";
    std::filesystem::rename(maker, maker.string() + ".away");
    std::ofstream(maker.string()) << "in the way";

    const TImportPlan plan = PlanImport("a b c", *settings.Devices());
    EXPECT_THROW(ImportAndSave(plan, settings), Exception);
    ASSERT_EQ(settings.Devices()->Count(), 1);
    EXPECT_EQ(settings.Devices()->Items(0)->Host(), "kept");

    std::filesystem::remove(maker);
    std::filesystem::rename(maker.string() + ".away", maker);
    EXPECT_EQ(config.Read(config.SettingsFile()), before);
}

TEST(DeviceImport, FilesAreReadWholeOrRefusedWithTheReasonAndExportsReplaceWhole) {
    TempConfig config;
    const std::string folder = config.Home();
    EXPECT_THROW(
        {
            try {
                ReadImportFile(folder);
            } catch (const EImportFile& error) {
                EXPECT_EQ(error.Message(), "Cannot import \"" + folder + "\": it is a folder");
                throw;
            }
        },
        EImportFile);
    EXPECT_THROW(ReadImportFile(folder + "/missing.csv"), EImportFile);
    const std::string big = folder + "/big.txt";
    ASSERT_EQ(truncate(big.c_str(), 0), -1); // missing yet
    { std::ofstream(big) << "x"; }
    ASSERT_EQ(truncate(big.c_str(), MaxImportBytes + 1), 0);
    EXPECT_THROW(ReadImportFile(big), EImportFile);

    const std::string target = folder + "/devices.csv";
    WriteExportFile(target, "first\r\n");
    EXPECT_EQ(ReadImportFile(target), "first\r\n");
    EXPECT_THROW(WriteExportFile(folder + "/no/such/devices.csv", "x"), EImportFile);
    // A folder in the target's place: the write fails and leaves nothing beside it.
    std::filesystem::create_directory(folder + "/taken");
    EXPECT_THROW(WriteExportFile(folder + "/taken", "x"), EImportFile);
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos);
}
