#pragma once
// The environment of every widget test program: the application object,
// headless, created once, and no window that waits for a click. An error
// report or a modal window that the running test did not expect fails that
// test at once with its text, and the window is closed so the test goes on.

#include <QString>

#include <vector>

// While alive, error reports are expected: each is kept in Texts instead of
// failing the test.
class ExpectedErrorReports {
public:
    ExpectedErrorReports();
    ~ExpectedErrorReports();
    ExpectedErrorReports(const ExpectedErrorReports&) = delete;
    ExpectedErrorReports& operator=(const ExpectedErrorReports&) = delete;

    std::vector<QString> Texts;
};

// The next modal window to open in this test is expected (one per call).
void ExpectNextModalWindow();
