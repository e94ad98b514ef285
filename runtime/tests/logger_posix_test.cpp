// Logger: line layout, truncation and status names, the severity filter, the
// user callback, the device copies for the LOGGER service, the console rule
// and the rotating log file.
#include "runtime/logger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "runtime/context.h"

namespace {

namespace fs = std::filesystem;
using morv::driver::Context;
using morv::driver::ScopedThreadContext;

const char kSuffix114000D[] = " [0x114000D, HOST, MEM_POOL, ALLOC_BUF_FAIL_NO_BUF_IN_POOL]";

// ---------------------------------------------------------------------------
// A user callback record as an application places it in slot 25.

struct CapturedLine {
    uint8_t level;
    std::string text;
};

struct Capture {
    std::mutex lock;
    std::vector<CapturedLine> lines;

    std::vector<CapturedLine> take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::move(lines);
    }
};

struct CallbackRecord {
    LOGG_callbackT base;  // first field: the logger hands this record back
    Capture* capture;
};
static_assert(std::is_standard_layout_v<CallbackRecord>);

void captureLine(uint8_t level, const char* line, LOGG_callbackT* self) {
    auto* record = reinterpret_cast<CallbackRecord*>(self);
    std::lock_guard<std::mutex> guard(record->capture->lock);
    record->capture->lines.push_back({level, line});
}

void* adoptRecord(void* record) { return record; }
void keepRecord(void*) {}  // the test owns the record

// A fresh context for one test, optionally with a callback record in slot 25
// before LOGG_init runs.
class LoggerContext {
public:
    explicit LoggerContext(bool withCallback = true, bool init = true)
        : context_(std::make_shared<Context>()), scope_(context_) {
        if (withCallback) installCallback();
        if (init) LOGG_init();
    }

    void installCallback() {
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &adoptRecord, &record_,
                          &keepRecord);
    }

    const std::shared_ptr<Context>& context() const { return context_; }
    Capture& capture() { return capture_; }

private:
    Capture capture_;
    CallbackRecord record_{{&captureLine}, &capture_};
    std::shared_ptr<Context> context_;
    ScopedThreadContext scope_;
};

void logInfo(const std::string& message, ERRG_codeE status = 0) {
    LOGG_print(LOG_INFO_E, status, LOGG_SIDE_HOST_E, "src/test.cpp", "myFunction", 42, "%s", message.c_str());
}

// Length of the header that logInfo produces, measured on a line of its own.
size_t headerLength(Capture& capture) {
    logInfo("");
    auto lines = capture.take();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? 0 : lines[0].text.size();
}

// ---------------------------------------------------------------------------
// A log folder of the test's own: XDG_DATA_HOME points into a temporary
// folder and the log file is chosen afresh.

class LogFolderSandbox {
public:
    explicit LogFolderSandbox(const std::string& below = "") {
        std::string pattern = (fs::temp_directory_path() / "zarn-log-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        dataHome_ = below.empty() ? root_ : root_ / below;
        const char* previous = std::getenv("XDG_DATA_HOME");
        if (previous) previous_ = previous;
        ::setenv("XDG_DATA_HOME", dataHome_.c_str(), 1);
        LOGP_resetFileSinkForTest();
    }
    ~LogFolderSandbox() {
        LOGP_resetFileSinkForTest();
        if (previous_) {
            ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path logFolder() const { return dataHome_ / LOGG_LOG_FOLDER; }
    fs::path logFile(int number) const { return logFolder() / ("pzlog_" + std::to_string(number) + ".log"); }

    // Creates a log file with a content and a last-write time of its own.
    void plantFile(const std::string& name, const std::string& content, time_t mtime) const {
        fs::create_directories(logFolder());
        fs::path path = logFolder() / name;
        std::ofstream(path) << content;
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

private:
    fs::path root_;
    fs::path dataHome_;
    std::optional<std::string> previous_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Console output goes to standard output unless a debugger is attached.
#define SKIP_UNDER_DEBUGGER()                                          \
    do {                                                               \
        if (PLAT_isDebuggerPresent()) {                                \
            GTEST_SKIP() << "console output goes to the debugger";     \
        }                                                              \
    } while (false)

// Tests are run directly too, not only through CTest: keep every log file they
// write out of the user's own folder.
[[maybe_unused]] const bool kLogFolderGuard = [] {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome == nullptr || dataHome[0] != '/') {
        static std::string folder = (fs::temp_directory_path() / "zarn-runtime-tests").string();
        ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
    }
    return true;
}();

// True when text has the shape of pattern, where 'd' stands for any digit.
bool hasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Line layout

TEST(LoggerLine, HeaderHasFixedColumns) {
    LoggerContext logger;
    const time_t before = std::time(nullptr);
    LOGG_print(LOG_INFO_E, 0, LOGG_SIDE_HOST_E, "src/test.cpp", "myFunction", 42, "hello %d\n", 7);
    const time_t after = std::time(nullptr);

    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 1u);
    std::string line = lines[0].text;
    ASSERT_GT(line.size(), 36u);

    // Local time with milliseconds, at a fixed position.
    std::string stamp = line.substr(13, 23);
    ASSERT_TRUE(hasShape(stamp, "dddd-dd-dd dd:dd:dd.ddd")) << stamp;
    struct tm parsed {};
    ASSERT_NE(::strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
    parsed.tm_isdst = -1;
    const time_t logged = std::mktime(&parsed);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after + 1);

    const std::string expected = "HOST INFO    " + std::string(23, '#') + " " + std::string(13, ' ') +
                                 "src/test.cpp:42   myFunction" + std::string(31, ' ') + "hello 7";
    line.replace(13, 23, std::string(23, '#'));
    EXPECT_EQ(line, expected);
}

TEST(LoggerLine, LongFileAndFunctionNamesWidenTheHeader) {
    LoggerContext logger;
    const std::string file(30, 'f');
    const std::string function(45, 'g');
    LOGG_print(LOG_ERROR_E, 0, LOGG_SIDE_PSOC_E, file.c_str(), function.c_str(), 12345, "x\n");
    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0].text;
    EXPECT_EQ(line.substr(0, 13), "PSOC ERROR   ");
    EXPECT_EQ(line.substr(36), " " + file + ":12345 " + function + " x");
}

TEST(LoggerLine, UnknownSidesAndLevelsPrintInvalid) {
    LoggerContext logger;
    LOGG_setSeverity(7);
    struct Case {
        int32_t level, side;
        const char* prefix;
    };
    const Case cases[] = {
        {7, LOGG_SIDE_HOST_E, "HOST INVALID "},        {LOG_WARN_E, 0, "INVALID WARN    "},
        {LOG_WARN_E, 9, "INVALID WARN    "},           {LOG_DEBUG_E, -1, "INVALID DEBUG   "},
        {LOG_INFO_E, LOGG_SIDE_GP_E, "GP   INFO    "}, {LOG_INFO_E, LOGG_SIDE_CEVA_E, "CEVA INFO    "},
        {LOG_INFO_E, LOGG_SIDE_IAF_E, "IAF  INFO    "}, {-3, LOGG_SIDE_HOST_E, "HOST INVALID "},
    };
    for (const Case& c : cases) {
        LOGG_print(c.level, 0, c.side, "", "f", 1, "m\n");
        auto lines = logger.capture().take();
        ASSERT_EQ(lines.size(), 1u) << c.prefix;
        EXPECT_EQ(lines[0].text.rfind(c.prefix, 0), 0u) << lines[0].text;
    }
}

TEST(LoggerLine, MessageFillingTheRoomIsCutTo511WithoutNewlineOrSuffix) {
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/false);
    LoggerContext probe;  // measures the header on a context with a callback
    const size_t header = headerLength(probe.capture());
    ASSERT_GT(header, 0u);

    {
        ScopedThreadContext back(logger.context());
        // Exactly the room left after the header, its newline included.
        std::string message(LOGG_LINE_SIZE - header - 1, 'x');
        message += "\n";
        testing::internal::CaptureStdout();
        logInfo(message, MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL);
        testing::internal::GetCapturedStdout();
    }
    std::string written = readFile(sandbox.logFile(0));
    ASSERT_EQ(written.size(), 511u);
    EXPECT_EQ(written.back(), 'x');
    EXPECT_EQ(written.find('['), std::string::npos);
}

TEST(LoggerLine, StatusNamesReplaceTheNewline) {
    SKIP_UNDER_DEBUGGER();
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/false);
    testing::internal::CaptureStdout();
    LOGG_print(LOG_WARN_E, MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL, LOGG_SIDE_HOST_E, "", "alloc", 7,
               "no buffer for %s\n", "frame");
    std::string console = testing::internal::GetCapturedStdout();

    const std::string ending = std::string("no buffer for frame") + kSuffix114000D + "\n";
    std::string file = readFile(sandbox.logFile(0));
    ASSERT_GE(file.size(), ending.size());
    EXPECT_EQ(file.substr(file.size() - ending.size()), ending);
    EXPECT_EQ(file.rfind("HOST WARN    ", 0), 0u);
    EXPECT_NE(console.find(file), std::string::npos) << console;
}

TEST(LoggerLine, StatusNamesAreCutToTheLineAndKeepTheNewline) {
    LoggerContext logger;
    const size_t header = headerLength(logger.capture());
    const std::string suffix = kSuffix114000D;
    struct Case {
        size_t lineLength;  // n: header + message with its newline
        std::string expectedTail;
    };
    // n = 480 leaves 31 bytes: 30 characters of the names; n = 510 leaves none.
    const Case cases[] = {{480, suffix.substr(0, 30)}, {510, ""}, {400, suffix}};
    for (const Case& c : cases) {
        std::string message(c.lineLength - header - 1, 'y');
        message += "\n";
        logInfo(message, MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL);
        auto lines = logger.capture().take();
        ASSERT_EQ(lines.size(), 1u);
        const std::string expected = std::string(c.lineLength - header - 1, 'y') + c.expectedTail;
        EXPECT_EQ(lines[0].text.substr(header), expected) << "n = " << c.lineLength;
    }
}

TEST(LoggerLine, ZeroStatusAddsNoNames) {
    LoggerContext logger;
    logInfo("plain\n", 0);
    logInfo("success of a module\n", 0x1140000);
    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - 5), "plain");
    EXPECT_NE(lines[1].text.find("success of a module [0x1140000, HOST, MEM_POOL, SUCCESS]"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Filter and callback

TEST(LoggerFilter, DefaultSeverityDropsDebugUntilRaised) {
    LoggerContext logger;
    for (int32_t level : {LOG_ERROR_E, LOG_WARN_E, LOG_INFO_E, LOG_DEBUG_E}) {
        LOGG_print(level, 0, LOGG_SIDE_HOST_E, "", "f", 1, "level %d\n", level);
    }
    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].text.find("level 2"), std::string::npos);

    LOGG_setSeverity(LOG_DEBUG_E);
    LOGG_print(LOG_DEBUG_E, 0, LOGG_SIDE_HOST_E, "", "f", 1, "now shown\n");
    lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("HOST DEBUG"), std::string::npos);

    LOGG_setSeverity(-1);  // signed comparison: nothing passes
    LOGG_print(LOG_ERROR_E, 0, LOGG_SIDE_HOST_E, "", "f", 1, "hidden\n");
    EXPECT_TRUE(logger.capture().take().empty());
}

TEST(LoggerCallback, LevelsAreMappedAndTheNewlineCut) {
    LoggerContext logger;
    LOGG_setSeverity(7);
    const std::pair<int32_t, uint8_t> cases[] = {
        {LOG_ERROR_E, 0}, {LOG_WARN_E, 1}, {LOG_INFO_E, 2}, {LOG_DEBUG_E, 3}, {7, 0}, {-1, 0}};
    for (auto [level, mapped] : cases) {
        LOGG_print(level, 0, LOGG_SIDE_HOST_E, "", "f", 1, "text\n");
        auto lines = logger.capture().take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, mapped) << "level " << level;
        EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - 5), " text");
    }
}

TEST(LoggerCallback, RawLinesLoseOnlyTheirNewline) {
    LoggerContext logger;
    char line[] = "processor says hi\n";
    LOGG_printRaw(LOG_DEBUG_E, line);  // no filter for raw lines
    char bare[] = "no newline";
    LOGG_printRaw(LOG_WARN_E, bare);
    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "processor says hi");
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_STREQ(line, "processor says hi");  // cut in place
    EXPECT_EQ(lines[1].text, "no newline");
    EXPECT_EQ(lines[1].level, 1);
}

TEST(LoggerCallback, RawLinesWithoutCallbackReachTheSinksUnchanged) {
    SKIP_UNDER_DEBUGGER();
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/false);
    char line[] = "GP raw line\n";
    testing::internal::CaptureStdout();
    LOGG_printRaw(LOG_INFO_E, line);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Log file:\n" + sandbox.logFile(0).string() + "\nGP raw line\n");
    EXPECT_EQ(readFile(sandbox.logFile(0)), "GP raw line\n");
}

TEST(LoggerCallback, RecordWithoutFunctionLeavesLinesToTheSinks) {
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/false, /*init=*/false);
    CallbackRecord empty{{nullptr}, nullptr};
    PZContext_GetSlot(logger.context().get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &adoptRecord, &empty,
                      &keepRecord);
    LOGG_init();
    LOGG_setConsolePrint(0);
    testing::internal::CaptureStdout();  // the log file's name
    logInfo("to the file\n");
    testing::internal::GetCapturedStdout();
    EXPECT_NE(readFile(sandbox.logFile(0)).find("to the file\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Life cycle

TEST(LoggerLifecycle, LinesBeforeInitReachTheSinksNotTheCallback) {
    SKIP_UNDER_DEBUGGER();
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/true, /*init=*/false);
    testing::internal::CaptureStdout();
    logInfo("early line\n");
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(logger.capture().take().empty());
    EXPECT_NE(console.find("early line\n"), std::string::npos);
    EXPECT_NE(readFile(sandbox.logFile(0)).find("early line\n"), std::string::npos);

    LOGG_init();  // now the callback record is taken
    logInfo("later line\n");
    auto lines = logger.capture().take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("later line"), std::string::npos);
}

TEST(LoggerLifecycle, LinesAfterDeinitGoToTheFileOnly) {
    SKIP_UNDER_DEBUGGER();
    LogFolderSandbox sandbox;
    LoggerContext logger(/*withCallback=*/false);
    LOGG_deinit();
    testing::internal::CaptureStdout();
    logInfo("after deinit\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Log file:\n" + sandbox.logFile(0).string() + "\n");
    EXPECT_NE(readFile(sandbox.logFile(0)).find("after deinit\n"), std::string::npos);

    LOGG_init();  // console printing stays off until someone turns it on
    testing::internal::CaptureStdout();
    logInfo("after init\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    LOGG_setConsolePrint(1);
    testing::internal::CaptureStdout();
    logInfo("console again\n");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("console again\n"), std::string::npos);
}

TEST(LoggerLifecycle, PrintsRacingWithDeinitAndInitLoseNothing) {
    LoggerContext logger;
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 300;
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ScopedThreadContext scope(logger.context());
            start.arrive_and_wait();
            for (int i = 0; i < kLinesEach; ++i) logInfo("thread " + std::to_string(t) + "\n");
        });
    }
    start.arrive_and_wait();
    for (int i = 0; i < 200; ++i) {
        LOGG_deinit();
        LOGG_init();
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(logger.capture().take().size(), static_cast<size_t>(kThreads * kLinesEach));
}

// ---------------------------------------------------------------------------
// Device copies for the LOGGER service

class DeviceSink {
public:
    DeviceSink(uint32_t bufSize, uint32_t count, uint16_t maxMsgs) {
        MEM_POOLG_cfgT config{bufSize, count, nullptr, 0, 0};
        MEM_POOLG_newPool(&pool_, MEM_POOLG_BUF_TYPE_HEAP_E, &config);
        queue_.maxMsgs = maxMsgs;
        queue_.msgSize = 8;
        OS_LYRG_createMsgQue(&queue_, 0);
    }
    ~DeviceSink() { close(); }

    void install() { LOGG_setDeviceSink(&queue_, pool_, &queue_); }

    struct Copy {
        std::string text;
        uint32_t len;
        bool terminated;
    };
    // Takes every queued copy and frees its buffer.
    std::vector<Copy> drain() {
        std::vector<Copy> copies;
        for (;;) {
            MEM_POOLG_bufDescT* buffer = nullptr;
            uint32_t length = sizeof(buffer);
            if (OS_LYRG_recvMsg(&queue_, &buffer, &length, 0) != OS_LYRG_SUCCESS) break;
            EXPECT_EQ(length, 8u);
            const char* data = static_cast<const char*>(buffer->data);
            copies.push_back({std::string(data, buffer->len), buffer->len, data[buffer->len] == '\0'});
            MEM_POOLG_freeBuff(buffer);
        }
        return copies;
    }

    uint32_t freeBuffers() const { return MEM_POOLG_getNumFree(pool_); }
    uint32_t buffers() const { return MEM_POOLG_getNumBuffs(pool_); }

    // What the LOGGER service does once it has cleared the sink.
    void close() {
        if (closed_) return;
        closed_ = true;
        drain();
        OS_LYRG_deleteMsgQue(&queue_);
        MEM_POOLG_closePool(pool_);
    }

private:
    MEM_POOLG_handleT pool_ = nullptr;
    OS_LYRG_msgQueT queue_{};
    bool closed_ = false;
};

TEST(LoggerDeviceCopy, LinesUpTo256CharactersAreCopiedWithLengthAndZero) {
    LoggerContext logger;
    const size_t header = headerLength(logger.capture());
    DeviceSink sink(432, 8, 8);
    sink.install();

    const std::string fits = std::string(256 - header, 'a');  // 256 characters and the newline
    const std::string tooLong = std::string(257 - header, 'b');
    logInfo(fits + "\n");
    logInfo(tooLong + "\n");
    logInfo(fits);  // no newline: still 256 characters

    auto copies = sink.drain();
    ASSERT_EQ(copies.size(), 2u);
    for (const auto& copy : copies) {
        EXPECT_EQ(copy.len, 256u);
        EXPECT_TRUE(copy.terminated);
        EXPECT_EQ(copy.text.substr(header), fits);
        EXPECT_EQ(copy.text.rfind("HOST INFO", 0), 0u);
    }
    EXPECT_EQ(sink.freeBuffers(), sink.buffers());
    EXPECT_EQ(logger.capture().take().size(), 3u);  // the callback saw every line
}

TEST(LoggerDeviceCopy, RawAndFilteredLinesAreNotCopied) {
    LoggerContext logger;
    DeviceSink sink(432, 4, 4);
    sink.install();
    char raw[] = "from the processor\n";
    LOGG_printRaw(LOG_INFO_E, raw);
    LOGG_print(LOG_DEBUG_E, 0, LOGG_SIDE_HOST_E, "", "f", 1, "filtered\n");
    EXPECT_TRUE(sink.drain().empty());
}

TEST(LoggerDeviceCopy, FullQueueFreesTheCopy) {
    LoggerContext logger;
    DeviceSink sink(432, 4, 1);
    sink.install();
    logInfo("first\n");
    logInfo("second\n");
    logInfo("third\n");
    EXPECT_EQ(sink.freeBuffers(), sink.buffers() - 1);  // only the queued copy is held
    auto copies = sink.drain();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(copies[0].text.find("first"), std::string::npos);
    EXPECT_EQ(sink.freeBuffers(), sink.buffers());
}

TEST(LoggerDeviceCopy, EmptyPoolLosesOnlyTheCopy) {
    LoggerContext logger;
    DeviceSink sink(432, 1, 4);
    sink.install();
    logInfo("one\n");
    logInfo("two\n");
    EXPECT_EQ(sink.drain().size(), 1u);
    EXPECT_EQ(logger.capture().take().size(), 2u);
}

TEST(LoggerDeviceCopy, PoolTooSmallForTheTerminatingZeroIsNotOverrun) {
    LoggerContext logger;
    const size_t header = headerLength(logger.capture());
    DeviceSink sink(256, 2, 4);
    sink.install();
    logInfo(std::string(256 - header, 'c') + "\n");  // 257 bytes with the zero: no room
    EXPECT_TRUE(sink.drain().empty());
    EXPECT_EQ(sink.freeBuffers(), sink.buffers());
    logInfo(std::string(255 - header, 'c') + "\n");
    auto copies = sink.drain();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].len, 255u);
}

TEST(LoggerDeviceCopy, ClearedSinkGetsNoMoreCopies) {
    LoggerContext logger;
    DeviceSink sink(432, 4, 4);
    sink.install();
    logInfo("copied\n");
    LOGG_clearDeviceSink();
    logInfo("not copied\n");
    auto copies = sink.drain();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(copies[0].text.find("copied"), std::string::npos);

    // Cleared after deinit too: the service closes its pool and queue next.
    sink.install();
    LOGG_deinit();
    LOGG_clearDeviceSink();
    logInfo("after deinit\n");
    EXPECT_TRUE(sink.drain().empty());
}

TEST(LoggerDeviceCopy, NoCopyAfterClearWhileOthersLog) {
    LoggerContext logger;
    constexpr int kThreads = 4;
    auto sink = std::make_unique<DeviceSink>(432, 256, 256);

    std::atomic<bool> stop{false};
    std::atomic<int> linesAfterClose{0};
    std::atomic<bool> closed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ScopedThreadContext scope(logger.context());
            while (!stop.load()) {
                logInfo("busy\n");
                if (closed.load()) linesAfterClose.fetch_add(1);
            }
        });
    }
    // Copies flow; then the LOGGER service clears the sink. A copy that was
    // still on its way when the clear returned would show up afterwards.
    for (int round = 0; round < 20; ++round) {
        sink->install();
        while (sink->drain().empty()) std::this_thread::yield();
        LOGG_clearDeviceSink();
        sink->drain();  // what was sent before the clear returned
        logger.capture().take();
        size_t logged = 0;
        while (logged < 100) logged += logger.capture().take().size();
        const bool late = !sink->drain().empty();
        EXPECT_FALSE(late) << "a copy arrived after the clear, round " << round;
        EXPECT_EQ(sink->freeBuffers(), sink->buffers()) << "round " << round;
        if (late) break;  // the threads must still be stopped below
    }

    // Now the service closes its pool and queue while lines keep coming: a
    // late copy would use freed memory (the address sanitizer build sees it).
    sink.reset();
    closed.store(true);
    while (linesAfterClose.load() < 200) std::this_thread::yield();
    stop.store(true);
    for (auto& thread : threads) thread.join();
}

// ---------------------------------------------------------------------------
// Console rule

// Runs body in a child process that a tracer (this process) is attached to,
// with its standard output and error in files; returns false when tracing is
// not allowed here.
bool runTraced(void (*body)(), const fs::path& out, const fs::path& err) {
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(4);
        body();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    for (;;) {
        if (::waitpid(child, &status, 0) != child) return false;
        if (WIFSTOPPED(status)) {
            ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(WSTOPSIG(status))));
            continue;
        }
        break;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(LoggerConsole, GoesToStandardOutputWithoutDebugger) {
    SKIP_UNDER_DEBUGGER();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    LOGP_consoleSink(LOG_INFO_E, "console line\n");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "console line\n");
    EXPECT_EQ(err, "");
}

TEST(LoggerConsole, GoesToTheDebuggerWhenOneIsAttached) {
    LogFolderSandbox sandbox;
    const fs::path out = sandbox.logFolder().parent_path() / "out.txt";
    const fs::path err = sandbox.logFolder().parent_path() / "err.txt";
    fs::create_directories(out.parent_path());
    if (!runTraced([] { LOGP_consoleSink(LOG_INFO_E, "debugger line\n"); }, out, err)) {
        GTEST_SKIP() << "processes cannot be traced here";
    }
    EXPECT_EQ(readFile(out), "");
    EXPECT_EQ(readFile(err), "debugger line\n");
}

// ---------------------------------------------------------------------------
// Log file rotation

TEST(LogFile, FirstFileIsNumberZeroInAFreshFolderTree) {
    SKIP_UNDER_DEBUGGER();
    // A fresh machine may lack the data folder itself; a user folder may hold
    // any character.
    LogFolderSandbox sandbox("Юлия/not/yet/there");
    testing::internal::CaptureStdout();
    LOGP_fileSink(LOG_INFO_E, "first line\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Log file:\n" + sandbox.logFile(0).string() + "\n");
    // Flushed at once: readable while the file is still open.
    EXPECT_EQ(readFile(sandbox.logFile(0)), "first line\n");
    LOGP_fileSink(LOG_INFO_E, "second line\n");
    EXPECT_EQ(readFile(sandbox.logFile(0)), "first line\nsecond line\n");
}

TEST(LogFile, NextNumberWhileFewerThanFiveExist) {
    LogFolderSandbox sandbox;
    sandbox.plantFile("pzlog_0.log", "zero\n", 1000);
    sandbox.plantFile("pzlog_1.log", "one\n", 2000);
    sandbox.plantFile("pzlog_2.log", "two\n", 3000);
    sandbox.plantFile("notes.txt", "not a log\n", 500);
    sandbox.plantFile("pzlog_8.log.bak", "not a log either\n", 500);
    fs::create_directories(sandbox.logFolder() / "folder.log");
    testing::internal::CaptureStdout();
    LOGP_fileSink(LOG_INFO_E, "new\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(sandbox.logFile(3)), "new\n");
    EXPECT_EQ(readFile(sandbox.logFile(0)), "zero\n");
    EXPECT_EQ(readFile(sandbox.logFile(2)), "two\n");
}

TEST(LogFile, LeastRecentlyWrittenIsEmptiedAndReusedWhenFiveExist) {
    LogFolderSandbox sandbox;
    const time_t mtimes[] = {5000, 4000, 1000, 3000, 2000};  // pzlog_2 is the oldest
    for (int i = 0; i < 5; ++i) {
        sandbox.plantFile("pzlog_" + std::to_string(i) + ".log", "old " + std::to_string(i) + "\n", mtimes[i]);
    }
    testing::internal::CaptureStdout();
    LOGP_fileSink(LOG_INFO_E, "reused\n");
    std::string console = testing::internal::GetCapturedStdout();
    if (!PLAT_isDebuggerPresent()) {
        EXPECT_EQ(console, "Log file:\n" + sandbox.logFile(2).string() + "\n");
    }
    EXPECT_EQ(readFile(sandbox.logFile(2)), "reused\n");
    for (int i : {0, 1, 3, 4}) {
        EXPECT_EQ(readFile(sandbox.logFile(i)), "old " + std::to_string(i) + "\n");
    }
    EXPECT_FALSE(fs::exists(sandbox.logFile(5)));
}

TEST(LogFile, OldestFileKeepsItsOwnNameWhenMoreThanFiveExist) {
    LogFolderSandbox sandbox;
    for (int i = 0; i < 5; ++i) sandbox.plantFile("pzlog_" + std::to_string(i) + ".log", "x\n", 2000 + i);
    sandbox.plantFile("crash.log", "oldest\n", 1500);
    testing::internal::CaptureStdout();
    LOGP_fileSink(LOG_INFO_E, "reused\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(sandbox.logFolder() / "crash.log"), "reused\n");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(readFile(sandbox.logFile(i)), "x\n");
    }
}

TEST(LogFile, UnopenableFileIsReportedAndLinesStillFlow) {
    SKIP_UNDER_DEBUGGER();
    LogFolderSandbox sandbox;
    // The log folder's name taken by a plain file: no folder, no log file.
    fs::create_directories(sandbox.logFolder().parent_path());
    std::ofstream(sandbox.logFolder()) << "in the way\n";
    LoggerContext logger(/*withCallback=*/false);
    testing::internal::CaptureStdout();
    logInfo("still printed\n");
    logInfo("and again\n");
    std::string console = testing::internal::GetCapturedStdout();
    const std::string report = "Could not open log file:\n" + sandbox.logFile(0).string() + "\n";
    EXPECT_EQ(console.rfind(report, 0), 0u) << console;
    EXPECT_NE(console.find("still printed\n"), std::string::npos);
    EXPECT_NE(console.find("and again\n"), std::string::npos);
    EXPECT_EQ(console.find("Could not open", report.size()), std::string::npos);  // reported once
}

TEST(LogFile, ContextsLoggingAtOnceShareOneFileWithoutTornLines) {
    LogFolderSandbox sandbox;
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 200;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread a context of its own, so only the file's own lock keeps them apart.
            ScopedThreadContext scope(std::make_shared<Context>());
            LOGG_setConsolePrint(0);
            start.arrive_and_wait();
            for (int i = 0; i < kLinesEach; ++i) logInfo("context " + std::to_string(t) + " line\n");
        });
    }
    for (auto& thread : threads) thread.join();
    testing::internal::GetCapturedStdout();

    std::ifstream in(sandbox.logFile(0));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        const std::string ending = line.size() < 15 ? "" : line.substr(line.size() - 15);
        EXPECT_TRUE(line.starts_with("HOST INFO    ") && hasShape(ending, " context d line")) << line;
    }
    EXPECT_EQ(count, kThreads * kLinesEach);
}

}  // namespace
