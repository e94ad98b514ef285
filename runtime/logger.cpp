// Logger of the driver, the host library and the USB transport back-end.
//
// Each context keeps its logger state in slot 21. A log call is filtered
// first (a suppressed line costs one comparison), then formatted on the
// caller's own 512-byte buffer without any lock, then dispatched under the
// state's lock to the user callback or to the file and console sinks, and
// finally copied for the vision processor's LOGGER service when it asked for
// copies.
//
// The lock lives as long as the state: it is created with the state and
// released only by the slot's deleter when the context goes. LOGG_init and
// LOGG_deinit merely switch the "initialised" flag (and take the user
// callback), so a line logged before LOGG_init, after LOGG_deinit, or racing
// with either, still finds a valid lock and reaches the sinks instead of
// crashing or being lost.
#include "runtime/logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/console_output.h"
#include "runtime/context.h"

namespace {

struct LOGP_stateT {
    OS_LYRG_mutexT lock = nullptr;  // serialises dispatch, the device copy and the fields marked below
    std::atomic<int32_t> severity{LOG_INFO_E};  // highest level printed
    std::atomic<uint8_t> enabled{1};            // 0 drops every line of LOGG_print
    uint8_t initialised = 0;                    // under lock
    std::atomic<uint8_t> consolePrint{1};
    std::atomic<uint8_t> filePrint{1};
    std::atomic<uint8_t> deviceForwarding{1};
    void* deviceSink = nullptr;                  // under lock; non-null: the LOGGER service wants copies
    MEM_POOLG_handleT devicePool = nullptr;      // under lock
    OS_LYRG_msgQueT* deviceQueue = nullptr;      // under lock
    LOGG_callbackT* userCallback = nullptr;      // under lock; taken from slot 25 by LOGG_init
};

// Copies travel to the LOGGER service as one descriptor pointer per message.
using DeviceCopyMsgT = MEM_POOLG_bufDescT*;
constexpr uint32_t kDeviceCopyMsgSize = sizeof(DeviceCopyMsgT);
static_assert(kDeviceCopyMsgSize == 8, "the LOGGER service reads 8-byte descriptor pointers");

constexpr size_t kLineSize = LOGG_LINE_SIZE;
constexpr int kLastLineIndex = LOGG_LINE_SIZE - 1;  // a line holds at most 511 characters
constexpr char kHeaderFormat[] = "%-4s %-7s %s.%03u %25s:%-4d %-40s ";
constexpr char kTimeFormat[] = "%Y-%m-%d %H:%M:%S";

void* LOGP_newContext(void*) {
    auto* state = new LOGP_stateT;
    OS_LYRG_createMutex(&state->lock);
    return state;
}

void LOGP_deleteContext(void* object) {
    auto* state = static_cast<LOGP_stateT*>(object);
    OS_LYRG_releaseMutex(&state->lock);
    delete state;
}

LOGP_stateT* LOGP_getState() {
    return static_cast<LOGP_stateT*>(PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG),
                                                       &LOGP_newContext, nullptr, &LOGP_deleteContext));
}

class StateLock {
public:
    explicit StateLock(LOGP_stateT* state) : lock_(&state->lock) { OS_LYRG_lockMutex(lock_); }
    ~StateLock() { OS_LYRG_unlockMutex(lock_); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    OS_LYRG_mutexT* lock_;
};

// The callback's level numbers: ERROR and anything unknown become 0.
uint8_t callbackLevel(int32_t level) {
    switch (level) {
        case LOG_WARN_E: return 1;
        case LOG_INFO_E: return 2;
        case LOG_DEBUG_E: return 3;
        default: return 0;
    }
}

void cutTrailingNewline(char* line) {
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
}

// Caller holds the state's lock.
// A callback record without a function counts as no callback.
void dispatchLocked(LOGP_stateT* state, int32_t level, char* line) {
    if (state->userCallback != nullptr && state->userCallback->func != nullptr) {
        cutTrailingNewline(line);
        state->userCallback->func(callbackLevel(level), line, state->userCallback);
        return;
    }
    if (state->filePrint.load(std::memory_order_relaxed)) LOGP_fileSink(level, line);
    if (state->consolePrint.load(std::memory_order_relaxed)) LOGP_consoleSink(level, line);
}

// Caller holds the state's lock, so LOGG_clearDeviceSink cannot return while
// a copy is still on its way to the service's pool and queue: once it has
// returned, the service may close both.
void deviceCopyLocked(LOGP_stateT* state, const char* line) {
    if (state->deviceForwarding.load(std::memory_order_relaxed) != 1 || state->deviceSink == nullptr) return;
    size_t m = std::strlen(line);
    if (m > 0 && line[m - 1] == '\n') --m;
    if (m > LOGG_DEVICE_COPY_MAX) return;

    MEM_POOLG_bufDescT* buffer = nullptr;
    if (ERRG_FAILED(MEM_POOLG_alloc(state->devicePool, LOGG_DEVICE_COPY_MAX, &buffer)) || buffer == nullptr) return;
    // The copy needs m bytes and a terminating zero. A pool whose buffers
    // cannot hold that would be overrun, so such a copy is dropped.
    if (buffer->data == nullptr || buffer->capacity < m + 1) {
        MEM_POOLG_freeBuff(buffer);
        return;
    }
    auto* data = static_cast<char*>(buffer->data);
    std::memcpy(data, line, m);
    data[m] = '\0';
    buffer->len = static_cast<uint32_t>(m);
    DeviceCopyMsgT message = buffer;
    if (OS_LYRG_sendMsg(state->deviceQueue, &message, kDeviceCopyMsgSize) != OS_LYRG_SUCCESS) {
        MEM_POOLG_freeBuff(buffer);
    }
}

// Local calendar time of the stamp, or an empty text when it cannot be converted.
void formatTime(uint32_t seconds, char* text, size_t room) {
    struct tm local {};
    text[0] = '\0';
    if (!PLAT_localTime(seconds, &local)) return;
    if (std::strftime(text, room, kTimeFormat, &local) == 0) text[0] = '\0';
}

// Line buffer of one call: the system allocator's, freed on every path.
struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// Appends the status names in place of the line's last character (the
// message's own newline) and puts the newline back behind them. The newline
// goes behind what was actually written: when the names do not fit, they are
// cut and the line still ends inside the buffer.
void appendStatusSuffix(char* buffer, int n, ERRG_codeE status) {
    char* at = buffer + n - 1;
    size_t room = static_cast<size_t>(kLastLineIndex - n);
    int reported = ERRG_formatErrCode(status, at, room);
    size_t written = reported < 0 ? 0 : static_cast<size_t>(reported);
    if (written > room - 1) written = room - 1;  // room >= 1: n <= 510
    at[written] = '\n';
    at[written + 1] = '\0';
}

// The console rule: the debugger when one is attached, else standard output.
// The console is for people and the log file is the record: a log line the
// console does not take in time may be dropped rather than stall the thread
// that logs it, which holds the logger's lock (and may be a driver thread in
// the middle of an update).
void consoleWrite(const char* text, CONSOLE_text kind = CONSOLE_text::Keep) {
    if (PLAT_isDebuggerPresent()) {
        PLAT_outputDebugString(text);
    } else {
        CONSOLE_write(CONSOLE_stream::Output, text, kind);
    }
}

// The log file is process-wide, shared by every context. It has its own
// mutex: each context's logger lock only serialises that context's lines.
struct FileSinkState {
    std::mutex lock;
    bool firstUse = true;
    std::FILE* file = nullptr;
};

// Never destroyed: detached threads and late destructors may still log while
// the process ends, and the file stays open to the end.
FileSinkState& fileSinkState() {
    static auto* state = new FileSinkState;
    return *state;
}

constexpr int kMaxLogFiles = 5;
constexpr char kLogPattern[] = "*.log";
constexpr char kLogNameFormat[] = "pzlog_%d.log";

// The name of the file to write: the next number while fewer than five log
// files exist, else the least recently written one, which is emptied.
std::string chooseLogFileName(const std::string& logFolder) {
    std::vector<PLAT_fileEntry> found;
    // A folder that cannot be searched counts as one without log files.
    if (!PLAT_findFiles(logFolder, kLogPattern, &found)) found.clear();
    int count = 0;
    const PLAT_fileEntry* oldest = nullptr;
    for (const auto& entry : found) {
        ++count;
        if (oldest == nullptr || entry.lastWriteTime < oldest->lastWriteTime) oldest = &entry;
    }
    if (count < kMaxLogFiles) {
        char name[64];
        std::snprintf(name, sizeof(name), kLogNameFormat, count);
        return name;
    }
    return oldest->name;
}

// Caller holds the file sink's lock.
void openLogFileLocked(FileSinkState& sink) {
    std::string appData;
    if (!PLAT_getLocalAppDataFolder(&appData)) {
        sink.firstUse = false;
        return;
    }
    const std::string separator = OS_LYRG_pathSeparator();
    const std::string logFolder = appData + separator + LOGG_LOG_FOLDER;
    // A folder that cannot be created shows up below as a file that cannot be opened.
    PLAT_createFolder(logFolder);
    const std::string path = logFolder + separator + chooseLogFileName(logFolder);

    sink.file = PLAT_openFile(path, "w+");
    std::string report = sink.file ? "Log file:\n" : "Could not open log file:\n";
    report += path;
    report += "\n";
    consoleWrite(report.c_str());
    sink.firstUse = false;
}

void LOGP_vprint(int32_t level, ERRG_codeE status, int32_t side, const char* file, const char* function,
                 int32_t line, const char* format, va_list args) {
    LOGP_stateT* state = LOGP_getState();
    if (level > state->severity.load(std::memory_order_relaxed) || state->enabled.load(std::memory_order_relaxed) == 0) {
        return;
    }

    uint32_t seconds = 0;
    uint32_t usec = 0;
    OS_LYRG_getUsecTime(&seconds, &usec);
    char timeText[32];
    formatTime(seconds, timeText, sizeof(timeText));

    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(kLineSize)));
    if (!buffer) {
        std::fputs("Logger out of memory", stdout);
        return;
    }
    char* text = buffer.get();

    int n = std::snprintf(text, kLineSize, kHeaderFormat, LOGP_sideName(side), LOGP_levelName(level), timeText,
                          static_cast<unsigned>(usec / 1000), file ? file : "", line, function ? function : "");
    if (n < 0) {
        text[0] = '\0';
        n = 0;
    }
    if (n < static_cast<int>(kLineSize)) {
        int added = std::vsnprintf(text + n, kLineSize - static_cast<size_t>(n), format ? format : "", args);
        if (added > 0) n += added;
    }
    if (status != 0 && n > 0 && n <= kLastLineIndex - 1) appendStatusSuffix(text, n, status);

    StateLock guard(state);
    dispatchLocked(state, level, text);
    deviceCopyLocked(state, text);
}

}  // namespace

void LOGG_print(int32_t level, ERRG_codeE status, int32_t side, const char* file, const char* function,
                int32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LOGP_vprint(level, status, side, file, function, line, format, args);
    va_end(args);
}

void LOGG_printRaw(int32_t level, char* line) {
    if (line == nullptr) return;
    LOGP_stateT* state = LOGP_getState();
    StateLock guard(state);
    dispatchLocked(state, level, line);
}

void LOGG_init() {
    morv::driver::Context* context = PZContext_GetCurrent();
    LOGP_stateT* state = LOGP_getState();
    StateLock guard(state);
    if (state->initialised) return;
    state->initialised = 1;
    state->userCallback =
        static_cast<LOGG_callbackT*>(PZContext_FindSlot(context, PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK)));
}

void LOGG_deinit() {
    LOGP_stateT* state = LOGP_getState();
    StateLock guard(state);
    if (!state->initialised) return;
    state->consolePrint.store(0, std::memory_order_relaxed);
    state->initialised = 0;
}

void LOGG_setSeverity(int32_t level) { LOGP_getState()->severity.store(level, std::memory_order_relaxed); }

void LOGG_setConsolePrint(uint8_t enable) { LOGP_getState()->consolePrint.store(enable, std::memory_order_relaxed); }

void LOGG_setDeviceSink(void* sink, MEM_POOLG_handleT pool, OS_LYRG_msgQueT* queue) {
    LOGP_stateT* state = LOGP_getState();
    StateLock guard(state);
    state->deviceSink = sink;
    if (sink != nullptr) {
        state->devicePool = pool;
        state->deviceQueue = queue;
    }
}

// Clears the sink whether or not the logger is initialised: the LOGGER
// service closes its pool and queue right after this returns, and lines
// logged after LOGG_deinit still run the copy path.
void LOGG_clearDeviceSink() {
    LOGP_stateT* state = LOGP_getState();
    StateLock guard(state);
    state->deviceSink = nullptr;
}

void LOGP_consoleSink(int32_t /*level*/, const char* line) { consoleWrite(line, CONSOLE_text::MayDrop); }

void LOGP_fileSink(int32_t /*level*/, const char* line) {
    FileSinkState& sink = fileSinkState();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.firstUse) openLogFileLocked(sink);
    if (sink.file == nullptr) return;
    std::fputs(line, sink.file);
    std::fflush(sink.file);
}

void LOGP_resetFileSinkForTest() {
    FileSinkState& sink = fileSinkState();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.file != nullptr) std::fclose(sink.file);
    sink.file = nullptr;
    sink.firstUse = true;
}
