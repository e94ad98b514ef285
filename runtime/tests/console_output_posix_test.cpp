// Console writers: a standard output that nobody reads stalls none of its
// writers and says how many lines it dropped; standard error loses nothing.
// The writers take over the real descriptors 1 and 2 for the process: the
// test runs in a process of its own, with pipes in their place.
#include "runtime/console_output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <sstream>
#include <string>

#include "platform/tests/fresh_process.h"

namespace {

using namespace std::chrono_literals;

// A 4-KiB pipe in place of a standard descriptor; returns its reading end.
int pipeInPlaceOf(int descriptor) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    dup2(ends[1], descriptor);
    close(ends[1]);
    return ends[0];
}

std::string readToEnd(int end) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(end, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
    return text;
}

TEST(ConsoleWriters, UnreadOutputDropsLinesAndCountsThemWhileErrorsKeepEveryMessage) {
    ZARN_RUN_IN_FRESH_PROCESS();
    const int saved[2] = {dup(1), dup(2)};
    const int out = pipeInPlaceOf(1);
    const int err = pipeInPlaceOf(2);
    ASSERT_TRUE(out >= 0 && err >= 0);
    CONSOLE_startWriters();

    // Far more than a 4-KiB pipe and the queue hold, and nobody reads yet:
    // a write that waited for the console would never return.
    constexpr int kLines = 1800;
    constexpr int kEvery = 6;  // a message after every sixth line
    for (int i = 0; i < kLines; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "line %04d of the log, padded to something like a real log line\n", i);
        CONSOLE_write(CONSOLE_stream::Output, line, CONSOLE_text::MayDrop);
        if (i % kEvery == 0) CONSOLE_write(CONSOLE_stream::Error, std::to_string(i) + "\n", CONSOLE_text::Keep);
    }

    // Nobody reads standard output: the end gives up after its quiet time.
    auto errText = std::async(std::launch::async, readToEnd, err);
    EXPECT_FALSE(CONSOLE_flush(200ms));
    auto outText = std::async(std::launch::async, readToEnd, out);
    EXPECT_TRUE(CONSOLE_flush(5s));
    // The pipes' writing ends are descriptors 1 and 2 alone: the readers
    // end when the test's own streams come back in their place.
    dup2(saved[0], 1);
    dup2(saved[1], 2);

    std::istringstream messages(errText.get());
    int expected = 0;
    for (std::string line; std::getline(messages, line); expected += kEvery) EXPECT_EQ(line, std::to_string(expected));
    EXPECT_EQ(expected, kLines);

    // The lines kept, in order, then one count of the rest.
    std::istringstream lines(outText.get());
    int previous = -1;
    int shown = 0;
    unsigned long long dropped = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(dropped, 0u) << "after the count: " << line;
        int number = 0;
        if (std::sscanf(line.c_str(), "line %d", &number) == 1) {
            EXPECT_GT(number, previous);
            previous = number;
            ++shown;
        } else {
            EXPECT_EQ(std::sscanf((line + "\n").c_str(), CONSOLE_DROPPED_FORMAT, &dropped), 1) << line;
        }
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(shown + dropped, static_cast<unsigned long long>(kLines));
}

// A stream left non-blocking by whoever shares it is full, not gone, when
// it says "try again": the messages wait for room and all arrive in order.
TEST(ConsoleWriters, NonBlockingStreamThatIsFullGetsEveryMessageOnceItIsRead) {
    ZARN_RUN_IN_FRESH_PROCESS();
    const int saved = dup(2);
    const int err = pipeInPlaceOf(2);
    ASSERT_GE(err, 0);
    fcntl(2, F_SETFL, fcntl(2, F_GETFL) | O_NONBLOCK);
    // Full before the first message.
    std::string sent;
    while (write(2, "-", 1) == 1) sent += "-";
    CONSOLE_startWriters();
    for (int i = 0; i < 100; ++i) {
        const std::string line = "message " + std::to_string(i) + " that the user must see\n";
        CONSOLE_write(CONSOLE_stream::Error, line, CONSOLE_text::Keep);
        sent += line;
    }
    // Nothing moves while nobody reads: the messages wait, they are not
    // taken for written.
    EXPECT_FALSE(CONSOLE_flush(100ms));
    auto errText = std::async(std::launch::async, readToEnd, err);
    EXPECT_TRUE(CONSOLE_flush(5s));
    dup2(saved, 2);
    EXPECT_EQ(errText.get(), sent);
}

// A terminal paused by its reader (Ctrl+S) holds the end for as long as it
// stays paused, however long past a pipe's quiet time: late, not lost.
TEST(ConsoleWriters, PausedTerminalHoldsTheEndUntilItGoesOn) {
    ZARN_RUN_IN_FRESH_PROCESS();
    const int saved = dup(1);
    const int screen = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(screen >= 0 && grantpt(screen) == 0 && unlockpt(screen) == 0);
    const int terminal = open(ptsname(screen), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    dup2(terminal, 1);
    tcflow(terminal, TCOOFF);
    CONSOLE_startWriters();
    CONSOLE_write(CONSOLE_stream::Output, "the outcome\n", CONSOLE_text::Keep);
    auto end = std::async(std::launch::async, [] { return CONSOLE_flush(100ms); });
    const bool heldOn = end.wait_for(1s) == std::future_status::timeout;
    tcflow(terminal, TCOON);
    const bool written = end.get();
    dup2(saved, 1);  // the test's own output goes on behind it
    EXPECT_TRUE(heldOn);
    EXPECT_TRUE(written);
    char shown[64] = {};
    EXPECT_EQ(std::string(shown, static_cast<size_t>(std::max<ssize_t>(0, read(screen, shown, sizeof shown)))),
              "the outcome\r\n");
}

}  // namespace
