// Collects what the code under test writes to standard output (the file descriptor, so writes of
// every thread are seen) while the object lives. If the test fails meanwhile, the tail of the
// captured text is printed again when the scope ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace testsupport {

class StdoutCapture {
public:
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (taken_) return;
        std::string out = testing::internal::GetCapturedStdout();
        if (testing::Test::HasFailure())
            std::printf("%s\n", out.substr(out.size() > 4000 ? out.size() - 4000 : 0).c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Ends the capture and returns the text.
    std::string take() {
        taken_ = true;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool taken_ = false;
};

}  // namespace testsupport
