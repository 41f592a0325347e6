// The error report: the copy on stderr, and the advice an ICMP error carries
// when this user may not send ICMP echoes.

#include "ui/ErrorReport.h"
#include "net/qsPingThread.h"
#include "platform/IcmpAccess.h"

#include <QMessageBox>

#include <grp.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What is written to stderr between construction and Text().
class StderrCapture {
public:
    StderrCapture() : FFile(std::tmpfile()), FSaved(dup(2)) {
        std::fflush(stderr);
        dup2(fileno(FFile), 2);
    }
    ~StderrCapture() {
        Restore();
        std::fclose(FFile);
    }
    std::string Text() {
        Restore();
        std::string text;
        std::rewind(FFile);
        for (int c; (c = std::fgetc(FFile)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

private:
    void Restore() {
        if (FSaved < 0)
            return;
        std::fflush(stderr);
        dup2(FSaved, 2);
        close(FSaved);
        FSaved = -1;
    }
    std::FILE* FFile;
    int FSaved;
};

template <typename E> void Report(const E& Error) {
    try {
        throw Error;
    } catch (...) {
        ReportCurrentException();
    }
}

constexpr gid_t NobodyId = 65534;

// Whether a child of this test can be made a user that may not send ICMP:
// root becomes nobody, which has no capability; anyone else stays as is.
bool ChildCanLackIcmp() {
    if (geteuid() != 0)
        return !platform::IcmpAccessAdvice().empty();
    std::ifstream range("/proc/sys/net/ipv4/ping_group_range");
    long long low = 1, high = 0;
    range >> low >> high;
    return !(low <= NobodyId && NobodyId <= high);
}

class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorReportHook([this](const QString& text) { Reports.push_back(text); });
    }
    void TearDown() override { SetErrorReportHook(nullptr); }
    std::vector<QString> Reports;
};

TEST_F(ErrorReportTest, EachReportIsCopiedToStderrWithItsLinesKept) {
    StderrCapture capture;
    ShowErrorReport(QStringLiteral("Cannot create file \"a.log\". Disk full\nsecond line"));
    Report(std::runtime_error("List index out of bounds (5)"));
    Report(42);
    const std::string text = capture.Text();
    EXPECT_EQ(text, "Kestrava Sentrel: Cannot create file \"a.log\". Disk full\nsecond line.\n"
                    "Kestrava Sentrel: List index out of bounds (5)\n"
                    "Kestrava Sentrel: Unknown error.\n");
    ASSERT_EQ(Reports.size(), 3u);
    EXPECT_EQ(Reports[0], QStringLiteral("Cannot create file \"a.log\". Disk full\nsecond line."));
    EXPECT_EQ(Reports[1], QStringLiteral("List index out of bounds (5)"));
}

TEST_F(ErrorReportTest, IcmpErrorWhereIcmpIsAllowedCarriesNoAdvice) {
    if (!platform::IcmpAccessAdvice().empty())
        GTEST_SKIP() << "this user may not send ICMP echoes here";
    Report(EICMPError("ICMP Error: Could not open handle"));
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_EQ(Reports[0], QStringLiteral("ICMP Error: Could not open handle."));
}

// The child reports an ICMP error and then an ordinary one as a user that
// may not send ICMP echoes; its stderr shows what a message box would.
void ReportAsUserWithoutIcmp() {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(NobodyId) != 0 || setuid(NobodyId) != 0))
        std::_Exit(3);
    Report(EICMPError("ICMP Error: Could not open handle"));
    Report(std::runtime_error("Disk full"));
    std::fflush(stderr);
    std::_Exit(0);
}

// The widget tests' environment: nothing waits for a click. A stray report
// or modal window fails the test with its text, and the window is closed.
TEST(WidgetTestEnvironment, StrayReportsAndModalWindowsFailTheTestWithTheirText) {
    StderrCapture quiet;
    EXPECT_NONFATAL_FAILURE(ShowErrorReport(QStringLiteral("Disk full")),
                            "Unexpected error report: Disk full.");
    SetErrorReportHook([](const QString&) {});
    SetErrorReportHook(nullptr); // back to failing, not to the message box
    EXPECT_NONFATAL_FAILURE(ShowErrorReport(QStringLiteral("Again")),
                            "Unexpected error report: Again.");
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrava Sentrel"),
                    QStringLiteral("Disk full"), QMessageBox::Ok);
    EXPECT_NONFATAL_FAILURE(box.exec(),
                            "Unexpected modal window: QMessageBox \"Kestrava Sentrel\": Disk full");
}

TEST_F(ErrorReportTest, IcmpErrorNamesWhatToChangeWhenIcmpIsRefused) {
    if (!ChildCanLackIcmp())
        GTEST_SKIP() << "unprivileged ICMP is allowed for every user here";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The full stop closes the error; the advice, set off by a blank line,
    // names both ways and ends with the command as it is to be typed; the
    // next report carries no advice.
    EXPECT_EXIT(ReportAsUserWithoutIcmp(), ::testing::ExitedWithCode(0),
                "Kestrava Sentrel: ICMP Error: Could not open handle\\.\n\n"
                "This user may not send ICMP echo requests[^\n]*\n"
                "  sysctl -w net\\.ipv4\\.ping_group_range=\"0 2147483647\"\n"
                "or for this program with\n"
                "  setcap cap_net_raw\\+p /[^\n]*/ui_tests\n"
                "Kestrava Sentrel: Disk full\\.\n");
}

} // namespace
