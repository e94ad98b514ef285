#include "usb_access/lst_k_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace LstKText {

namespace {

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

bool match(const char* pattern, const char* value) {
    if (pattern == nullptr) pattern = "";
    if (value == nullptr) value = "";
    while (*pattern != '\0') {
        if (pattern[0] == '*') {
            if (pattern[1] != '?') return true;
            if (pattern[2] == '\0') return true;
            // Skip the value forward to the next occurrence of the character
            // after "*?", and step past it.
            const char wanted = upper(pattern[2]);
            while (*value != '\0' && upper(*value) != wanted) ++value;
            if (*value == '\0') return false;
            ++value;
            pattern += 3;
            continue;
        }
        if (*value == '\0') return false;
        if (pattern[0] != '?' && upper(pattern[0]) != upper(*value)) return false;
        ++pattern;
        ++value;
    }
    return true;
}

bool parseGuid(const char* text, Guid* out) {
    if (text == nullptr || out == nullptr) return false;
    if (*text == '{') ++text;
    unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    const int fields = std::sscanf(text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", &d1, &d2, &d3, &b[0],
                                   &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    if (fields != 11) return false;
    out->data1 = d1;
    out->data2 = static_cast<uint16_t>(d2);
    out->data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) out->data4[i] = static_cast<uint8_t>(b[i]);
    return true;
}

int formatGuid(const Guid& guid, char* out, size_t size) {
    return std::snprintf(out, size, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1, guid.data2,
                         guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4],
                         guid.data4[5], guid.data4[6], guid.data4[7]);
}

bool isGuidText(const char* text) {
    Guid guid;
    return text != nullptr && std::strlen(text) == 38 && parseGuid(text, &guid);
}

void parseDeviceId(const char* deviceId, DeviceIdParts* out) {
    *out = DeviceIdParts{};
    if (deviceId == nullptr) return;
    char copy[256];
    copyText(copy, sizeof(copy), deviceId);
    for (char* c = copy; *c != '\0'; ++c) *c = upper(*c);

    // Components: 0 "USB", 1 "VID_xxxx&PID_xxxx[&MI_xx]", 2 the instance part.
    char* components[3] = {};
    char* cursor = copy;
    for (int i = 0; i < 3 && cursor != nullptr; ++i) {
        components[i] = cursor;
        char* slash = std::strchr(cursor, '\\');
        if (slash != nullptr) *slash = '\0';
        cursor = slash != nullptr ? slash + 1 : nullptr;
    }
    if (components[1] != nullptr) {
        unsigned int vid = 0, pid = 0, mi = 0;
        const int fields = std::sscanf(components[1], "VID_%04X&PID_%04X&MI_%02X", &vid, &pid, &mi);
        if (fields >= 1) out->vendorId = static_cast<int32_t>(vid & 0xFFFF);
        if (fields >= 2) out->productId = static_cast<int32_t>(pid & 0xFFFF);
        if (fields >= 3) out->interfaceNumber = static_cast<int32_t>(mi & 0x7F);
    }
    if (components[2] != nullptr) copyText(out->instancePart, sizeof(out->instancePart), components[2]);
}

bool copyText(char* dest, size_t size, const char* source) {
    if (dest == nullptr || size == 0) return false;
    if (source == nullptr) source = "";
    const size_t length = strnlen(source, size);
    if (length < size) {
        std::memcpy(dest, source, length + 1);
        return true;
    }
    std::memcpy(dest, source, size - 1);
    dest[size - 1] = '\0';
    return false;
}

}  // namespace LstKText
