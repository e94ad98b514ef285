// The program's console output (standard output and standard error), written
// so that a console that does not take what is written cannot stall the
// thread that writes it.
//
// A console can stop its writers for as long as it likes: a pipe that nobody
// reads, a terminal paused with Ctrl+S, a Windows console in which the user
// has started a selection. The driver's threads log while they hold the
// logger's lock, and the device client's read thread reports an update's
// progress: any of them stopped there stops the update. So, once a program
// has started the console writers, each stream is written by a thread of its
// own from a queue, and a writer only queues its text and goes on.
//
// Two kinds of text: lines that may be dropped (log lines, redraws of a
// progress bar), of which a stream keeps at most CONSOLE_QUEUE_CAPACITY
// waiting and counts the rest, saying how many it dropped in a line of its
// own once it has caught up; and messages the user must see, which are never
// dropped and keep their order. A stream whose reader has ended takes
// nothing: its writes fail at once (the program ignores SIGPIPE), and the log
// file still gets every line.
//
// Without started writers (a library used by another program, the tests of
// the components) every write goes straight to the C library's stream and is
// flushed, as before.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

enum class CONSOLE_stream { Output, Error };
enum class CONSOLE_text { MayDrop, Keep };

constexpr size_t CONSOLE_QUEUE_CAPACITY = 256;

// The line a stream writes after dropping lines, formatted with the count.
constexpr char CONSOLE_DROPPED_FORMAT[] = "%llu console lines dropped: the console did not take them in time\n";

// From now on each stream is written by its own thread. Idempotent.
void CONSOLE_startWriters();

void CONSOLE_write(CONSOLE_stream stream, std::string_view text, CONSOLE_text kind);

// Waits until everything queued is written. A stream that goes to a
// terminal or console is waited for as long as it takes (its reader may have
// paused it and comes back); for a pipe or a file the wait ends once no
// stream has written anything for `quiet` while text still waits (a pipe
// that nobody reads must not keep the program from ending). True when all
// was written.
bool CONSOLE_flush(std::chrono::milliseconds quiet);

// What a program gives a pipe or file at its end: one that takes nothing for
// a second is not going to be read (a reader that is merely slow keeps the
// wait going with every text it takes).
constexpr std::chrono::milliseconds CONSOLE_END_QUIET{1000};
