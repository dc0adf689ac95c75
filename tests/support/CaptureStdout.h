#pragma once
// Captures standard output for a scope; the capture ends with the scope even when an assertion returns
// early, so that a failure cannot leave it open for the next test.
#include <gtest/gtest.h>

#include <string>

class StdoutCapture {
public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (!taken_)
            testing::internal::GetCapturedStdout();
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string take() {
        taken_ = true;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool taken_ = false;
};
