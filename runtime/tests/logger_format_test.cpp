// The logger's conversions print the same on both systems: the line is
// formatted by the C99 printf the format checking is set for (on Windows
// MinGW's, not Microsoft's, which lacks %zu, %lld and %hhu).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

using morv::driver::Context;
using morv::driver::ScopedThreadContext;

struct CallbackRecord {
    LOGG_callbackT base;  // first field: the logger hands this record back
    std::vector<std::string>* lines;
};
static_assert(std::is_standard_layout_v<CallbackRecord>);

void captureLine(uint8_t, const char* line, LOGG_callbackT* self) {
    reinterpret_cast<CallbackRecord*>(self)->lines->push_back(line);
}
void* adoptRecord(void* record) { return record; }
void keepRecord(void*) {}  // the test owns the record

TEST(LoggerFormat, C99ConversionsPrintTheirValues) {
    std::vector<std::string> lines;
    CallbackRecord record{{&captureLine}, &lines};
    auto context = std::make_shared<Context>();
    ScopedThreadContext scope(context);
    PZContext_GetSlot(context.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &adoptRecord, &record, &keepRecord);
    LOGG_init();

    struct Case {
        std::string expected;
        void (*print)();
    };
    const Case cases[] = {
        {"size 18446744073709551615", [] { LOGG_PRINT(LOG_INFO_E, 0, "size %zu", SIZE_MAX); }},
        {"diff -9223372036854775807", [] { LOGG_PRINT(LOG_INFO_E, 0, "diff %td", static_cast<ptrdiff_t>(-PTRDIFF_MAX)); }},
        {"long -9223372036854775808", [] { LOGG_PRINT(LOG_INFO_E, 0, "long %lld", static_cast<long long>(INT64_MIN)); }},
        {"hex 0x123456789abcdef0", [] { LOGG_PRINT(LOG_INFO_E, 0, "hex %#llx", 0x123456789abcdef0ULL); }},
        {"byte 255", [] { LOGG_PRINT(LOG_INFO_E, 0, "byte %hhu", static_cast<unsigned char>(255)); }},
        {"max 18446744073709551615", [] { LOGG_PRINT(LOG_INFO_E, 0, "max %ju", UINTMAX_MAX); }},
    };
    for (const Case& c : cases) {
        lines.clear();
        c.print();
        ASSERT_EQ(lines.size(), 1u) << c.expected;
        const std::string& line = lines[0];
        // The message closes the line, after its fixed header.
        ASSERT_GE(line.size(), c.expected.size());
        EXPECT_EQ(line.substr(line.size() - c.expected.size()), c.expected) << line;
    }
}

}  // namespace
