#include "framework/Persistent.h"
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

namespace {

class Apple : public TPersistent {
public:
    const char* ClassName() const override { return "TApple"; }
};
class Pear : public TPersistent {
public:
    const char* ClassName() const override { return "TPear"; }
};

TEST(Persistent, UnrelatedSourceRaisesCannotAssign) {
    Apple apple;
    Pear pear;
    try {
        apple.Assign(&pear);
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TPear to a TApple");
    }
    EXPECT_THROW(apple.Assign(nullptr), EConvertError);
}

TEST(Format, FormatsLikePrintf) {
    EXPECT_EQ(Format("%s=%d", "a", 5), "a=5");
    EXPECT_EQ(Format("%s", ""), "");
    EXPECT_EQ(Format("%5s|", "ab"), "   ab|");
}

} // namespace
