// The text rules of the device list: the wildcard match of list patterns
// and symbolic links, GUID texts, and the USB device-id parser. Plain logic,
// shared by the list, the hot-plug monitor and their tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace LstKText {

// Wildcard match of `pattern` against `value`:
//  - "*" not followed by "?" matches the whole rest;
//  - "*?c" skips the value past the next c (failing when there is none);
//    "*?" at the end of the pattern matches;
//  - "?" matches any one character, but not the end of the value;
//  - other characters compare without regard to ASCII case;
//  - a value that goes on after the pattern ends still matches: a pattern
//    matches every value that begins with it.
// Null texts are treated as empty.
bool match(const char* pattern, const char* value);

// The 16 bytes of a GUID read from its text form, with or without the
// leading "{" (trailing text after the 11 fields is not looked at).
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
bool parseGuid(const char* text, Guid* out);
// "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" into `out` (at least
// 39 bytes); returns the number of characters written (38).
int formatGuid(const Guid& guid, char* out, size_t size);
// A 38-character text that reads as a GUID (used to choose the list mode).
bool isGuidText(const char* text);

// The vendor, product and interface numbers of a device id and its third
// backslash-separated component, upper case. Numbers that are absent stay -1;
// vendor and product are cut to 16 bits, the interface number to 7.
struct DeviceIdParts {
    int32_t vendorId = -1;
    int32_t productId = -1;
    int32_t interfaceNumber = -1;
    char instancePart[256] = {};
};
void parseDeviceId(const char* deviceId, DeviceIdParts* out);

// Copies `source` into `dest` (capacity `size`), always terminated, cut when
// it does not fit. True when the whole text fitted.
bool copyText(char* dest, size_t size, const char* source);

}  // namespace LstKText
