#include "framework/Exceptions.h"
#include "net/qsPingTypes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The Result a reply gets when a raw outcome is assigned to it.
TPingResult ReplyWith(uint32_t status, uint8_t check) {
    TqsPingReply raw;
    raw.Status = status;
    raw.DataCheck = check;
    TqsPingReply reply;
    reply.Assign(&raw);
    return reply.Result;
}

TEST(PingResult, EveryStatusCodeMapsToItsMember) {
    for (uint32_t status = 11001; status <= 11018; ++status)
        EXPECT_EQ(ReplyWith(status, 1), static_cast<TPingResult>(status - 11000)) << status;
    EXPECT_EQ(ReplyWith(11000, 0), prSuccess);
    EXPECT_EQ(ReplyWith(0, 0), prSuccess);
    EXPECT_EQ(ReplyWith(11019, 0), prUnknownError);
    EXPECT_EQ(ReplyWith(10999, 0), prUnknownError);
    EXPECT_EQ(ReplyWith(0xffffffffu, 0), prUnknownError);
    EXPECT_EQ(ReplyWith(11010, 0), prTimedOut);
    EXPECT_EQ(ReplyWith(11010, 3), prTimedOut);
}

TEST(PingResult, DataCheckOnlyQualifiesSuccess) {
    EXPECT_EQ(ReplyWith(0, 1), prBadReplyData);
    EXPECT_EQ(ReplyWith(0, 2), prReplySizeMismatch);
    EXPECT_EQ(ReplyWith(0, 3), prBadReplyData);
    EXPECT_EQ(ReplyWith(11000, 2), prReplySizeMismatch);
    EXPECT_EQ(ReplyWith(11013, 2), prTTLExpiredTransit);
    for (uint32_t status : {0u, 11000u, 11005u, 11018u, 11019u, 42u})
        for (int check = 0; check < 256; ++check)
            EXPECT_NE(ReplyWith(status, static_cast<uint8_t>(check)), prUnknown);
}

TEST(PingResult, TextsAndRespondedSet) {
    const char* expected[] = {"Connected",
                              "Buffer Too Small",
                              "Network Unreachable",
                              "Host Unreachable",
                              "Protocol Unreachable",
                              "Port Unreachable",
                              "No Resources",
                              "Bad Option",
                              "Hardware Error",
                              "Packet Too Big",
                              "Timed Out",
                              "Bad Request",
                              "Bad Route",
                              "TTL Expired",
                              "TTL Expired",
                              "Paramater Problem",
                              "Source Quench",
                              "Option Too Big",
                              "Bad Destination",
                              "Bad Reply Data",
                              "Reply Size Mismatch",
                              "Unknown Error",
                              "Unknown"};
    ASSERT_EQ(PingResultCount, 23);
    for (int i = 0; i < PingResultCount; ++i) {
        EXPECT_STREQ(PingResultText[i], expected[i]) << i;
        TqsPingReply reply;
        reply.Result = static_cast<TPingResult>(i);
        EXPECT_STREQ(reply.ResultText(), expected[i]);
        const bool responded = i == prSuccess || i == prBadReplyData || i == prReplySizeMismatch;
        EXPECT_EQ(reply.Responded(), responded) << i;
    }
    EXPECT_EQ(static_cast<int>(pwPacketTooBig), 9);
    EXPECT_EQ(sizeof(TPingResult), 1u);
}

TEST(PingReply, AssignCopiesValuesButNotTheHandlerAndFiresNothing) {
    int fired = 0;
    TqsPingReply source;
    source.HostName = "printer1";
    source.IPAddress = "10.0.0.1";
    source.Address = 0x0100000a;
    source.Status = 11010;
    source.RoundTripTime = 7;
    source.ReplyDataSize = 3;
    source.OnReply = [&](TObject*) { ++fired; };
    TqsPingReply target;
    int targetFired = 0;
    target.OnReply = [&](TObject*) { ++targetFired; };
    target.Assign(&source);
    EXPECT_EQ(target.HostName, "printer1");
    EXPECT_EQ(target.IPAddress, "10.0.0.1");
    EXPECT_EQ(target.Address, 0x0100000au);
    EXPECT_EQ(target.Result, prTimedOut);
    EXPECT_EQ(target.RoundTripTime, 7u);
    EXPECT_EQ(target.ReplyDataSize, 3u);
    EXPECT_EQ(fired + targetFired, 0);
    ASSERT_TRUE(target.OnReply);
    target.OnReply(&target);
    EXPECT_EQ(targetFired, 1); // the target kept its own handler
}

TEST(PingDefaults, ConstructionValues) {
    TqsPingDefaults d;
    EXPECT_EQ(d.DataSize(), 64);
    EXPECT_EQ(d.TTL(), 128);
    EXPECT_EQ(d.Timeout(), 1000u);
    EXPECT_EQ(d.Interval(), 2000u);
}

TEST(PingDefaults, SettersNotifyOnlyOnChange) {
    TqsPingDefaults d;
    int changes = 0;
    d.OnChanged = [&](TObject* sender) {
        EXPECT_EQ(sender, &d);
        ++changes;
    };
    d.SetInterval(2000);
    EXPECT_EQ(changes, 0);
    d.SetInterval(15000);
    EXPECT_EQ(changes, 1);
    d.SetDataSize(0); // no validation: 0 has a meaning of its own
    d.SetTTL(1);
    d.SetTimeout(0);
    EXPECT_EQ(changes, 4);
}

TEST(PingDefaults, AssignAlwaysNotifiesOnceAndUpdatesAreBatched) {
    TqsPingDefaults a, b;
    int changes = 0;
    a.OnChanged = [&](TObject*) { ++changes; };
    a.Assign(&b); // identical values
    EXPECT_EQ(changes, 1);
    b.SetTimeout(3000);
    b.SetInterval(500);
    a.Assign(&b);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(a.Timeout(), 3000u);
    EXPECT_EQ(a.Interval(), 500u);

    a.BeginUpdate();
    a.SetDataSize(4);
    a.SetTTL(64);
    EXPECT_EQ(changes, 2);
    a.EndUpdate();
    EXPECT_EQ(changes, 3);
    a.BeginUpdate();
    a.EndUpdate(); // nothing changed in between
    EXPECT_EQ(changes, 3);
}

TEST(PingDefaults, UnrelatedSourceIsRefusedAndTargetUnchanged) {
    TqsPingDefaults d;
    d.SetTimeout(77);
    TqsPingReply reply;
    try {
        d.Assign(&reply);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TqsPingReply to a TqsPingDefaults");
    }
    EXPECT_EQ(d.Timeout(), 77u);
}

TEST(PingRequest, AssignFromRequestCopiesTargetFromDefaultsOnlyParameters) {
    TqsPingRequest source;
    source.SetTimeout(300);
    source.HostName = "printer1";
    source.IPAddress = "10.0.0.9";
    source.Address = 0x0900000a;
    TqsPingRequest target;
    target.Assign(&source);
    EXPECT_EQ(target.HostName, "printer1");
    EXPECT_EQ(target.Address, 0x0900000au);
    EXPECT_EQ(target.Timeout(), 300u);

    TqsPingDefaults defaults;
    defaults.SetTimeout(900);
    target.Assign(&defaults);
    EXPECT_EQ(target.Timeout(), 900u);
    EXPECT_EQ(target.HostName, "printer1"); // target kept
}

TEST(IPAddressText, FirstOctetFirstWithoutLeadingZeros) {
    const uint8_t octets[4] = {10, 0, 200, 1};
    uint32_t address;
    std::memcpy(&address, octets, 4);
    EXPECT_EQ(FormatIPAddress(address), "10.0.200.1");
    EXPECT_EQ(FormatIPAddress(0), "0.0.0.0");
}

} // namespace
