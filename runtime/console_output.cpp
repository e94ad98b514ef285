#include "runtime/console_output.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/console.h"

namespace {

struct StreamQueue {
    int descriptor = 1;
    std::deque<std::string> waiting;
    size_t dropped = 0;    // since the last report of drops
    bool writing = false;  // a text is on its way out, without the lock
    bool interactive = false;  // a terminal or console: a person reads it

    bool pending() const { return !waiting.empty() || dropped > 0 || writing; }
};

struct ConsoleWriters {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    uint64_t written = 0;  // texts written by every stream: what flush sees move
    StreamQueue streams[2];
};

// Never destroyed: the writer threads are detached, and they may still be
// blocked in a write while the process ends.
ConsoleWriters& writers() {
    static auto* state = [] {
        auto* created = new ConsoleWriters;
        created->streams[0].descriptor = 1;
        created->streams[1].descriptor = 2;
        return created;
    }();
    return *state;
}

StreamQueue& queueOf(ConsoleWriters& w, CONSOLE_stream stream) {
    return w.streams[stream == CONSOLE_stream::Output ? 0 : 1];
}

void writeThread(StreamQueue* queue) {
    ConsoleWriters& w = writers();
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.changed.wait(lock, [&] { return !queue->waiting.empty() || queue->dropped > 0; });
        std::string text;
        if (!queue->waiting.empty()) {
            text = std::move(queue->waiting.front());
            queue->waiting.pop_front();
        } else {
            // Caught up after dropping lines: say how many went.
            char line[128];
            std::snprintf(line, sizeof line, CONSOLE_DROPPED_FORMAT,
                          static_cast<unsigned long long>(queue->dropped));
            text = line;
            queue->dropped = 0;
        }
        queue->writing = true;
        lock.unlock();
        // A stream that is gone takes nothing more; what is queued for it is
        // simply not written.
        PLAT_writeStandardStream(queue->descriptor, text.data(), text.size());
        lock.lock();
        queue->writing = false;
        ++w.written;
        w.changed.notify_all();
    }
}

}  // namespace

void CONSOLE_startWriters() {
    ConsoleWriters& w = writers();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.started) return;
    // What the C library holds for the streams goes first.
    std::fflush(stdout);
    std::fflush(stderr);
    w.started = true;
    for (StreamQueue& queue : w.streams) {
        queue.interactive = PLAT_isInteractiveStream(queue.descriptor);
        std::thread(writeThread, &queue).detach();
    }
}

void CONSOLE_write(CONSOLE_stream stream, std::string_view text, CONSOLE_text kind) {
    ConsoleWriters& w = writers();
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.started) {
            StreamQueue& queue = queueOf(w, stream);
            if (kind == CONSOLE_text::MayDrop && queue.waiting.size() >= CONSOLE_QUEUE_CAPACITY) {
                ++queue.dropped;
            } else {
                queue.waiting.emplace_back(text);
                w.changed.notify_all();
            }
            return;
        }
    }
    // Without writers: at once, behind what the C library holds for the stream.
    std::FILE* file = stream == CONSOLE_stream::Output ? stdout : stderr;
    std::fflush(file);
    PLAT_writeStandardStream(stream == CONSOLE_stream::Output ? 1 : 2, text.data(), text.size());
}

bool CONSOLE_flush(std::chrono::milliseconds quiet) {
    ConsoleWriters& w = writers();
    std::unique_lock<std::mutex> lock(w.mutex);
    if (!w.started) {
        lock.unlock();
        std::fflush(stdout);
        std::fflush(stderr);
        return true;
    }
    auto done = [&] { return !w.streams[0].pending() && !w.streams[1].pending(); };
    // A person's console may be paused (Ctrl+S, a selection): what waits for
    // it is late, not lost, so it gets as long as it takes. A stop request
    // still ends the program meanwhile.
    auto personWaits = [&] {
        for (const StreamQueue& queue : w.streams) {
            if (queue.interactive && queue.pending()) return true;
        }
        return false;
    };
    while (!done()) {
        const uint64_t before = w.written;
        auto moved = [&] { return done() || w.written != before; };
        if (personWaits()) {
            w.changed.wait(lock, moved);
        } else if (!w.changed.wait_for(lock, quiet, moved)) {
            return false;
        }
    }
    return true;
}
