// The program's console: its standard streams, raw writes to them, and what
// happens when the user or the system asks the program to stop (Ctrl+C,
// Ctrl+Break and a closed console window on Windows; SIGINT, SIGTERM and
// SIGHUP elsewhere, while SIGQUIT stays the way to end it at once).
//
// A stop request ends the program at once, as it always has, except while
// work that must not be cut runs (a firmware write and the reboot after it:
// a flash cut in the middle leaves the sensor without firmware). Such work
// runs inside a PLAT_UninterruptibleScope; a request that comes meanwhile is
// held back until the last scope has ended. From then on the program is on
// its way out: later requests change nothing, no new scope begins, and once
// it has shown the outcome it ends the way the first held request asked
// (PLAT_endIfStopRequested), so that a script or a shell loop sees an
// interrupted program, not a finished one. A closed console leaves the
// process only the few seconds Windows allows before it ends the process
// itself: the work goes on for as long as those last. A request the program
// was started deaf to (a signal its caller ignores) stays ignored.
#pragma once

#include <cstddef>
#include <functional>

// Gives every standard stream (0 to 2) that is closed at start the null
// device, so that no file the program opens later can take its place and
// receive console text (a log file as descriptor 1 would get every console
// line). Idempotent; it runs by itself before the program's own static
// initialisers, and main calls it first thing all the same. On Windows the C
// runtime already does the like: a stream started without a handle keeps its
// descriptor, marked open with no handle behind it, so a file never gets it
// and every write to it fails; our console text goes only through those
// descriptors, never through the system's standard handles.
void PLAT_openMissingStandardStreams();

// Writes the whole text to standard output (stream 1) or standard error
// (stream 2) with the system's own write call, past the C library's stream
// buffers and their locks; may block for as long as the reader lets it.
// Text is UTF-8: a Windows console gets it as wide characters, since its
// code page would garble the rest. A stream that someone left non-blocking
// is waited on until it takes text again, as a blocking one would be. False
// when the stream is gone: its reader has ended (no SIGPIPE is raised once
// stop handling is installed), or it is closed or without a console behind it.
bool PLAT_writeStandardStream(int stream, const char* text, size_t size);

// True when standard output (1) or standard error (2) is a terminal or a
// console: a person reads it, who may pause it (Ctrl+S, a selection in a
// Windows console) and go on later, so what waits for it is late, not lost.
bool PLAT_isInteractiveStream(int stream);

enum class PLAT_stopRequest {
    Interrupt,     // Ctrl+C, Ctrl+Break, SIGINT, SIGTERM, SIGHUP
    ConsoleClosed  // the console window is being closed: seconds are left
};

struct PLAT_stopHandlers {
    // Once per run, on the first request held back: tells the user.
    std::function<void(PLAT_stopRequest)> heldBack;
    // Once, when the last scope ended with a request held back (not for a
    // closed console, which ends the process itself). May be empty; one that
    // ends the process calls PLAT_endIfStopRequested to end it.
    std::function<void()> afterHeldWork;
};

// Takes over stop requests for the rest of the process. Call it once, first
// thing in main, before any other thread exists (on POSIX the signals are
// blocked in the calling thread and so in every thread it starts, and one
// thread of ours waits for them). Only a signal whose action is still the
// default is taken over: one the caller ignores (nohup, `trap '' INT`, a
// background job) stays ignored. SIGPIPE is ignored from here on, so that a
// stream whose reader has gone fails its writes instead of ending the
// program. False when it could not be set up; the system's default handling
// then stays.
bool PLAT_installStopHandling(PLAT_stopHandlers handlers);

// When a stop request has been held back, ends the process now, the way that
// request would have ended it: on POSIX by the first held signal with its
// default action (a shell ends its loop only for a child that died of
// SIGINT), on Windows with STATUS_CONTROL_C_EXIT, as the system ends a
// console program on Ctrl+C. What the C library holds for its streams is
// written first; the caller flushes anything else it wants shown. Returns
// when no request was held.
void PLAT_endIfStopRequested();

// While one exists, a stop request is held back. Without stop handling
// installed it does nothing. Once a request has decided to end the
// process (at once, or after the held work), a new scope never begins: its
// constructor waits for the end.
class PLAT_UninterruptibleScope {
public:
    PLAT_UninterruptibleScope();
    ~PLAT_UninterruptibleScope();
    PLAT_UninterruptibleScope(const PLAT_UninterruptibleScope&) = delete;
    PLAT_UninterruptibleScope& operator=(const PLAT_UninterruptibleScope&) = delete;
};
