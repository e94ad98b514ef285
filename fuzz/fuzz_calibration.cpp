// The calibration text parser with the text the device reports, unterminated
// and exactly as long as it arrived, into a record of both key sets' fields.
#include <cmath>
#include <cstring>
#include <memory>

#include "driver/calibration_parser.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zfuzz::InputContext* context = new zfuzz::InputContext();  // its log lines go nowhere
    (void)context;
    // A copy of exactly `size` bytes on the heap: the parser must never look
    // for a terminator that is not there.
    auto text = std::make_unique<char[]>(size == 0 ? 1 : size);
    if (size != 0) std::memcpy(text.get(), data, size);
    PZCalibration calibration{};
    if (PZCalibrationParser_ParseString(size == 0 ? nullptr : text.get(), size, &calibration) != PZStatus_Success)
        zfuzz::fail("parse of a text into a record failed");
    char date[PZ_CALIBRATION_DATE_SIZE];
    std::memset(date, 'x', sizeof(date));
    PZCalibrationParser_ParseNew(text.get(), size, &calibration, date);
    if (std::memchr(date, '\0', sizeof(date)) == nullptr) zfuzz::fail("date left unterminated");
    PZCalibrationParser_ParseOld(text.get(), size, &calibration, date);
    if (std::memchr(date, '\0', sizeof(date)) == nullptr) zfuzz::fail("date left unterminated");
    return 0;
}
