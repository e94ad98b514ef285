// The device list's text rules: pattern match, device-id parser, GUID texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "usb_access/lst_k_text.h"

namespace {

TEST(LstKTextTest, WildcardMatch) {
    struct Case {
        const char* pattern;
        const char* value;
        bool matches;
    };
    const Case cases[] = {
        // A pattern matches every value that begins with it.
        {"USB\\VID_1234", "USB\\VID_1234&PID_5678&MI_00\\6&7F21E5&0&0000", true},
        {"USB\\VID_1234", "USB\\VID_12", false},
        {"usb\\vid_abcd", "USB\\VID_ABCD&PID_0001", true},  // letters without regard to case
        {"*", "anything at all", true},
        {"*", "", true},
        {"", "anything", true},
        // "*?&" skips to past the next ampersand.
        {"*?&PID_5678", "USB\\VID_1234&PID_5678\\X", true},
        {"*?&PID_5678", "USB\\VID_1234&PID_0001&PID_5678", false},  // only the first ampersand is looked for
        {"*?&PID_5678", "USB\\VID_1234", false},
        {"*?", "USB", true},
        // "?" is any one character, never the end.
        {"USB?VID", "USB\\VID", true},
        {"USB?", "USB", false},
        {"\\\\?\\usb#vid_1234", "\\\\?\\USB#VID_1234&PID_5678#SN#{GUID}", true},
        {"\\\\?\\usb#vid_1234&pid_5678#a", "\\\\?\\usb#vid_1234&pid_5678&mi_00#a", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LstKText::match(c.pattern, c.value), c.matches) << c.pattern << " / " << c.value;
    }
}

TEST(LstKTextTest, DeviceIdParser) {
    struct Case {
        const char* deviceId;
        int32_t vendorId, productId, interfaceNumber;
        const char* instancePart;
    };
    const Case cases[] = {
        {"USB\\VID_1234&PID_5678\\ABC123", 0x1234, 0x5678, -1, "ABC123"},
        {"USB\\VID_1234&PID_5678&MI_02\\6&2A3B&0&0002", 0x1234, 0x5678, 2, "6&2A3B&0&0002"},
        {"usb\\vid_abcd&pid_ef01\\lower", 0xABCD, 0xEF01, -1, "LOWER"},
        {"USB\\VID_12", 0x12, -1, -1, ""},
        {"USB\\VID_1234&PID_5678&MI_FF\\X", 0x1234, 0x5678, 0x7F, "X"},  // low 7 bits only
        {"USB", -1, -1, -1, ""},
        {"", -1, -1, -1, ""},
    };
    for (const Case& c : cases) {
        LstKText::DeviceIdParts parts;
        LstKText::parseDeviceId(c.deviceId, &parts);
        EXPECT_EQ(parts.vendorId, c.vendorId) << c.deviceId;
        EXPECT_EQ(parts.productId, c.productId) << c.deviceId;
        EXPECT_EQ(parts.interfaceNumber, c.interfaceNumber) << c.deviceId;
        EXPECT_STREQ(parts.instancePart, c.instancePart) << c.deviceId;
    }
}

TEST(LstKTextTest, GuidTextsAndBoundedCopies) {
    LstKText::Guid guid{};
    ASSERT_TRUE(LstKText::parseGuid("{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}", &guid));
    EXPECT_EQ(guid.data1, 0xF9F3FF14u);
    EXPECT_EQ(guid.data4[7], 0xD9);
    char text[64];
    EXPECT_EQ(LstKText::formatGuid(guid, text, sizeof(text)), 38);
    EXPECT_STREQ(text, "{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}");
    EXPECT_TRUE(LstKText::isGuidText("{f9f3ff14-ae21-48a0-8a25-8011a7a931d9}"));
    EXPECT_FALSE(LstKText::isGuidText("*"));
    EXPECT_FALSE(LstKText::isGuidText("{F9F3FF14-AE21-48A0-8A25-8011A7A931D}"));   // 37 characters
    EXPECT_FALSE(LstKText::isGuidText("{F9F3FF14-AE21-48A0-8A25-8011A7A931XX}"));  // not all fields read

    // An unterminated 256-byte field is read no further than its end.
    char unterminated[256];
    std::memset(unterminated, 'A', sizeof(unterminated));
    char small[8];
    EXPECT_FALSE(LstKText::copyText(small, sizeof(small), unterminated));
    EXPECT_STREQ(small, "AAAAAAA");
    char field[256];
    EXPECT_FALSE(LstKText::copyText(field, sizeof(field), unterminated));
    EXPECT_EQ(std::strlen(field), 255u);
    LstKText::DeviceIdParts parts;
    LstKText::parseDeviceId(unterminated, &parts);
    EXPECT_EQ(parts.vendorId, -1);
}

}  // namespace
