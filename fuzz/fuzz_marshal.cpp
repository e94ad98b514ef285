// Ioctl unmarshalling: a code and the wire bytes the device sent behind it.
// The host record is exactly the code's host size and the wire buffer exactly
// what arrived, so ASan sees any step past either. Whatever unmarshals must
// marshal back to the same wire form for the bytes the descriptors cover.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host_lib/marshal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static zfuzz::InputContext* context = new zfuzz::InputContext();  // one table for the whole run
    (void)context;
    uint32_t code = 0;
    std::memcpy(&code, data, 4);
    // Most codes of 32 random bits are unknown: fold half the inputs onto the table.
    if ((code & 0x80u) != 0) code = ((code >> 24) % 10) << 24 | ((code & 0x1Fu) + 1);
    const std::vector<uint8_t> wire(data + 4, data + size);
    std::vector<uint8_t> wireCopy = wire;
    const uint32_t hostSize = MARSHALG_getIoctlSize(code);
    const uint32_t wireSize = MARSHALG_getMarshalledSize(code);
    const bool known = MARSHALG_isKnownCode(code);
    if (!known && (hostSize != 0 || wireSize != 0)) zfuzz::fail("unknown code with a size", code);

    auto host = std::make_unique<uint8_t[]>(hostSize == 0 ? 1 : hostSize);
    uint32_t length = 0xFFFFFFFFu;
    const bool converted = MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, hostSize == 0 ? nullptr : host.get(),
                                            wireCopy.empty() ? nullptr : wireCopy.data(),
                                            static_cast<uint32_t>(wireCopy.size()), &length);
    if (!known) {
        if (converted || length != 0xFFFFFFFFu) zfuzz::fail("unknown code converted", code);
        return 0;
    }
    if (wireCopy != wire) zfuzz::fail("unmarshalling wrote into the wire bytes", code);
    if (!converted || hostSize == 0 || wireCopy.empty()) return 0;
    if (length != hostSize) zfuzz::fail("unmarshal length is not the host size", length, hostSize);

    std::vector<uint8_t> back(wireSize);
    uint32_t written = 0;
    if (!MARSHALG_convert(MARSHALG_MARSHAL_E, code, host.get(), back.empty() ? nullptr : back.data(), wireSize,
                          &written))
        return 0;
    if (written != wireSize) zfuzz::fail("marshal length is not the wire size", written, wireSize);
    // Fields of sizes other than 1, 2, 4, 8 take room without copying: only
    // bytes of convertible fields must come back as they went in, so compare
    // through a second round trip instead.
    auto again = std::make_unique<uint8_t[]>(hostSize);
    if (!back.empty() && MARSHALG_convert(MARSHALG_UNMARSHAL_E, code, again.get(), back.data(), wireSize, nullptr) &&
        std::memcmp(again.get(), host.get(), hostSize) != 0)
        zfuzz::fail("a record does not survive marshal and unmarshal", code);
    return 0;
}
