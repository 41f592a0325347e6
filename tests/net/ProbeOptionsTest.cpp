#include "app/probe/ProbeOptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool Parse(std::vector<const char*> args, ProbeOptions& options, std::string& error) {
    args.insert(args.begin(), "sentrel-probe");
    return ParseProbeOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ProbeOptions, DefaultsAndEveryOption) {
    ProbeOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"127.0.0.1"}, options, error));
    EXPECT_EQ(options.Count, 4u);
    EXPECT_EQ(options.Interval, 1000u);
    EXPECT_EQ(options.Timeout, 1000u);
    EXPECT_EQ(options.Size, 64u);
    EXPECT_EQ(options.Ttl, 128u);
    ProbeOptions all;
    ASSERT_TRUE(
        Parse({"-c", "2", "-i", "250", "-w", "300", "-s", "4096", "-t", "1", "-q", "a", "b"}, all,
              error));
    EXPECT_EQ(all.Count, 2u);
    EXPECT_EQ(all.Interval, 250u);
    EXPECT_EQ(all.Timeout, 300u);
    EXPECT_EQ(all.Size, 4096u);
    EXPECT_EQ(all.Ttl, 1u);
    EXPECT_TRUE(all.Quiet);
    EXPECT_EQ(all.Hosts, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(all.Family, 0);
    ProbeOptions six;
    ASSERT_TRUE(Parse({"-6", "-6", "::1"}, six, error));
    EXPECT_EQ(six.Family, 6);
}

TEST(ProbeOptions, BadArgumentsAreRefusedWithAReason) {
    const std::vector<std::vector<const char*>> bad = {{},
                                                       {"-c"},
                                                       {"-c", "x", "h"},
                                                       {"-s", "65501", "h"},
                                                       {"-t", "256", "h"},
                                                       {"-w", "-1", "h"},
                                                       {"-z", "h"},
                                                       {"-c", "", "h"},
                                                       {"-i", "4294967296", "h"},
                                                       {"-4", "-6", "h"}};
    for (const auto& args : bad) {
        ProbeOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, options, error));
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
