// Whole-line standard output: what threads write through std::cout, piece by piece, reaches the
// log one line at a time, complete and in each thread's order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/LineOutput.h"
#include "support/sandbox.h"

using namespace testsupport;

namespace {

// Standard output goes to a file while the object lives.
class StdoutCapture {
public:
    StdoutCapture() : path_(dir_.root() + "/stdout") {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(1);
        std::FILE* f = std::fopen(path_.c_str(), "w");
        dup2(fileno(f), 1);
        std::fclose(f);
    }
    ~StdoutCapture() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    std::string text() {
        std::fflush(stdout);
        return read_file(path_);
    }

private:
    Sandbox dir_;
    std::string path_;
    int saved_ = -1;
};

TEST(LineOutput, LinesOfManyThreadsArriveWholeAndInOrder) {
    lineoutput::install();
    constexpr int kThreads = 6, kLines = 3000;
    StdoutCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                // Several insertions per line; half the threads end lines without a flush.
                std::cout << "thread " << t << " line " << i << " of " << kLines;
                if (t % 2) std::cout << '\n';
                else std::cout << std::endl;
            }
        });
    for (auto& th : threads) th.join();
    std::string out = capture.text();
    capture.restore();

    std::vector<int> next(kThreads, 0);
    std::istringstream in(out);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        int t = -1, i = -1, n = -1;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d of %d%c", &t, &i, &n, &tail), 3) << "torn line: " << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(n, kLines) << line;
        EXPECT_EQ(i, next[t]) << "out of order: " << line;
        next[t] = i + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_EQ(out.back(), '\n');
}

TEST(LineOutput, PartialLinesWaitForTheirEndOrAFlush) {
    lineoutput::install();
    StdoutCapture capture;
    std::cout << "Setting square wave..." << 0 << "...";
    EXPECT_EQ(capture.text(), "");
    std::cout << "Done\nnext ";
    EXPECT_EQ(capture.text(), "Setting square wave...0...Done\n");
    std::cout << "part" << std::flush;
    EXPECT_EQ(capture.text(), "Setting square wave...0...Done\nnext part");

    // Text longer than a thread collects is handed on in order, nothing lost.
    std::string big(3 * lineoutput::LINE_CAPACITY + 17, 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);
    std::cout << big << '\n';
    EXPECT_EQ(capture.text(), "Setting square wave...0...Done\nnext part" + big + "\n");

    // A second install changes nothing.
    lineoutput::install();
    std::cout << "tail" << std::endl;
    EXPECT_EQ(capture.text(), "Setting square wave...0...Done\nnext part" + big + "\ntail\n");
}

}  // namespace
