// Boot-monitor replies on interface 0 of an unbooted processor: the read,
// write and jump requests, the production-data record, the boot id, and the
// wait for the second-stage loader, each answered by the fuzz bytes as the
// monitor's transfers. The first byte chooses the requests.
//
// Input: one selector byte, a 32-bit read length, then transfers (16-bit
// length, bytes).
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "host_lib/usb_boot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    zfuzz::InputContext context;
    zfuzz::script::install();
    const uint8_t selector = data[0];
    uint32_t readLength = 0;
    std::memcpy(&readLength, data + 1, 4);
    readLength %= 3 * VPU_MON_CHUNK + 7;  // up to a few chunks, with a ragged end
    zfuzz::script::load(VPU_MON_INTERFACE, zfuzz::splitTransfers(data + 5, size - 5));

    if (selector & 0x01) {
        // Exactly the length asked for: a reply must never fill more.
        auto buffer = std::make_unique<uint8_t[]>(readLength == 0 ? 1 : readLength);
        uint32_t got = 0xFFFFFFFFu;
        const int result = vpu_usb_monitor_read(0x02030004, buffer.get(), readLength, &got);
        if (result == 0 && got > readLength) zfuzz::fail("read reported more than asked", got, readLength);
    }
    if (selector & 0x02) {
        static const uint8_t program[VPU_MON_CHUNK + 100] = {};
        vpu_usb_monitor_write(0x01000000, program, (selector & 0x40) ? sizeof(program) : 16);
    }
    if (selector & 0x04) vpu_usb_monitor_jump(0x01000000);
    if (selector & 0x08) {
        vpu_production_data record;
        std::memset(&record, 0x41, sizeof(record));
        bootdetect_read_production_data(&record, VPU_ADDR_PRODUCTION_DATA, VPU_PRODUCTION_MARKER_VALID);
        for (const char* text : {record.serialNumber, record.manufacturer, record.modelNumber, record.hardwareRevision})
            if (std::memchr(text, '\0', VPU_PRODUCTION_TEXT) == nullptr) zfuzz::fail("production text unterminated");
    }
    if (selector & 0x10) vpu_bootdetect_get_bootid((selector & 0x80) != 0);
    if (selector & 0x20) waitForSpl();
    return 0;
}
