// Console writers: a standard output that nobody reads stalls none of its
// writers, keeps the lines it can in order and says how many it dropped;
// standard error loses nothing; the flush at the end gives up on a console
// that takes nothing. The writers are process-wide and take over the real
// descriptors 1 and 2, so each test runs in a process of its own, with pipes
// in their place.
#include "runtime/console_output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/tests/fresh_process.h"

namespace {

using namespace std::chrono_literals;

// Replaces a standard descriptor by the writing end of a pipe of 4 KiB
// (the smallest a pipe gets); returns the reading end.
int pipeInPlaceOf(int descriptor) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    dup2(ends[1], descriptor);
    close(ends[1]);
    return ends[0];
}

// Everything the pipe holds until every writer is gone.
std::string readToEnd(int end) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(end, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
    return text;
}

TEST(ConsoleWriters, UnreadOutputDropsLinesAndCountsThemWhileErrorsKeepEveryMessage) {
    ZARN_RUN_IN_FRESH_PROCESS();
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    const int out = pipeInPlaceOf(1);
    const int err = pipeInPlaceOf(2);
    ASSERT_GE(out, 0);
    ASSERT_GE(err, 0);
    CONSOLE_startWriters();

    // Far more than a 4-KiB pipe and the queue hold: every write returns at
    // once all the same, and the messages between them all arrive.
    constexpr int kLines = 1800;
    constexpr int kEvery = 6;  // a message after every sixth line
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "line %04d of the log, padded to something like a real log line\n", i);
        CONSOLE_write(CONSOLE_stream::Output, line, CONSOLE_text::MayDrop);
        if (i % kEvery == 0) {
            CONSOLE_write(CONSOLE_stream::Error, "message " + std::to_string(i) + "\n", CONSOLE_text::Keep);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // Nobody reads standard output: the end gives up after its quiet time.
    std::thread errReader([&] {
        std::string text = readToEnd(err);
        std::istringstream lines(text);
        int expected = 0;
        for (std::string line; std::getline(lines, line); expected += kEvery) {
            EXPECT_EQ(line, "message " + std::to_string(expected));
        }
        EXPECT_EQ(expected, kLines);
    });
    const auto flushStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(CONSOLE_flush(200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - flushStart, 5s);

    // Once it is read, what was kept comes in order, then the count of the rest.
    std::thread outReader([&] {
        const std::string text = readToEnd(out);
        std::istringstream lines(text);
        int previous = -1;
        int shown = 0;
        unsigned long long dropped = 0;
        const std::regex count("([0-9]+) console lines dropped: the console did not take them in time");
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (std::regex_match(line, match, count)) {
                EXPECT_EQ(dropped, 0u) << "one report for one stall";
                dropped = std::stoull(match[1]);
                continue;
            }
            const int number = std::stoi(line.substr(5, 4));
            EXPECT_GT(number, previous);
            EXPECT_EQ(dropped, 0u) << "the report comes after the lines kept";
            previous = number;
            ++shown;
        }
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(static_cast<unsigned long long>(shown) + dropped, static_cast<unsigned long long>(kLines));
    });
    EXPECT_TRUE(CONSOLE_flush(5s));
    // The pipes' writing ends are descriptors 1 and 2 alone: the readers
    // end when the test's own streams come back in their place.
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    outReader.join();
    errReader.join();
}

}  // namespace
