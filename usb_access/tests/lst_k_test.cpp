// The device list over the simulated plug and play, through the
// device-facing table.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "usb_access/lst_k.h"
#include "usb_access/system_api.h"

namespace {

using zsim::PnpInterface;
using zsim::PnpNode;
using zsim::WinPnp;
using zsim::WinPnpStack;

const zsim::PnpSensorIdentity kSensor{0xFFF0, 0x5A52, "Morvale", "Morvale Ltd", 2, 7};

// A device node bound to the libusbK kernel driver.
PnpNode libusbKNode(const std::string& instanceId) {
    PnpNode node;
    node.instanceId = instanceId;
    node.setupClassGuid = zsim::kPnpLibusbKClassGuid;
    node.service = "libusbK";
    return node;
}

class LstKTest : public ::testing::Test {
protected:
    void SetUp() override {
        WinPnp::instance().reset();
        api_ = UsbAccess_DefaultSystemApi();
        WinPnpStack::fill(api_);
        UsbAccess_SetSystemApi(&api_);
    }
    void TearDown() override {
        EXPECT_EQ(WinPnpStack::openSets(), 0) << "every device set is destroyed";
        EXPECT_EQ(WinPnpStack::openKeys(), 0) << "every registry key is closed";
        UsbAccess_SetSystemApi(nullptr);
        WinPnp::instance().reset();
    }

    static std::vector<KLST_DEVINFO*> entries(KLST_HANDLE list) {
        std::vector<KLST_DEVINFO*> out;
        KLST_DEVINFO* info = nullptr;
        while (LstK_MoveNext(list, &info)) out.push_back(info);
        return out;
    }

    // A device whose service is none of the three drivers, with one
    // libusb0 filter interface.
    static uint32_t plugFilterDevice(const std::string& serial, bool active, std::optional<uint32_t> lusb0) {
        PnpNode node;
        node.instanceId = "USB\\VID_0A12&PID_0001\\" + serial;
        node.setupClassGuid = zsim::kPnpUsbClassGuid;
        node.service = "usbstor";
        node.description = "Storage";
        PnpInterface iface;
        iface.classGuid = zsim::kPnpLibusb0FilterGuid;
        iface.symbolicLink = "\\\\?\\usb#vid_0a12&pid_0001#" + serial + "#{f9f3ff14-ae21-48a0-8a25-8011a7a931d9}";
        iface.active = active;
        iface.lusb0 = lusb0;
        node.interfaces.push_back(iface);
        return WinPnp::instance().plug(node);
    }

    UsbAccessSystemApi api_{};
};

TEST_F(LstKTest, EnumerationDescribesEachInterface) {
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN0001", true);
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN0002", false);
    plugFilterDevice("STOR1", true, 3);
    plugFilterDevice("STOR2", false, std::nullopt);  // inactive filter interface: never listed

    KLST_HANDLE list = nullptr;
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    const std::vector<KLST_DEVINFO*> all = entries(list);
    struct Expect {
        const char* description;
        int32_t vendorId, productId, interfaceNumber, driverId;
        const char* serial;
        const char* pathStart;
    };
    const Expect expected[] = {
        {"Morvale.control", 0xFFF0, 0x5A52, 0, 0, "SN0001", "\\\\?\\usb#vid_fff0&pid_5a52&mi_00#"},
        {"Morvale.infrared", 0xFFF0, 0x5A52, 1, 0, "SN0001", "\\\\?\\usb#vid_fff0&pid_5a52&mi_01#"},
        {"Morvale.depth", 0xFFF0, 0x5A52, 2, 0, "SN0001", "\\\\?\\usb#vid_fff0&pid_5a52&mi_02#"},
        {"Morvale.visible", 0xFFF0, 0x5A52, 3, 0, "SN0001", "\\\\?\\usb#vid_fff0&pid_5a52&mi_03#"},
        {"Morvale.client", 0xFFF0, 0x5A52, 4, 0, "SN0001", "\\\\?\\usb#vid_fff0&pid_5a52&mi_04#"},
        {"Morvale.control", 0xFFF0, 0x5A52, -1, 0, "SN0002", "\\\\?\\usb#vid_fff0&pid_5a52#sn0002#"},
        {"Storage", 0x0A12, 0x0001, -1, 3, "STOR1", "\\\\.\\libusb0-0003"},
    };
    ASSERT_EQ(all.size(), std::size(expected));
    for (size_t i = 0; i < all.size(); ++i) {
        const KLST_DEVINFO& info = *all[i];
        const Expect& e = expected[i];
        SCOPED_TRACE(info.deviceId);
        EXPECT_STREQ(info.deviceDescription, e.description);
        EXPECT_EQ(info.vendorId, e.vendorId);
        EXPECT_EQ(info.productId, e.productId);
        EXPECT_EQ(info.interfaceNumber, e.interfaceNumber);
        EXPECT_EQ(info.driverId, e.driverId);
        EXPECT_STREQ(info.serialNumber, e.serial);
        EXPECT_EQ(std::string(info.devicePath).rfind(e.pathStart, 0), 0u) << info.devicePath;
        EXPECT_EQ(info.connected, 1);
    }
    EXPECT_STREQ(all[0]->manufacturer, "Morvale Ltd");
    EXPECT_EQ(all[0]->busNumber, 2);
    EXPECT_EQ(all[0]->deviceAddress, 7);
    EXPECT_STREQ(all[6]->interfaceGuid, "{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}");
    EXPECT_EQ(all[6]->filterIndex, 3);
    EXPECT_EQ(std::string(all[6]->symbolicLink).rfind("\\\\?\\usb#vid_0a12", 0), 0u);
    ASSERT_TRUE(LstK_Free(list));

    // A pattern narrows the list; the interface mode lists by GUID alone.
    KLST_PATTERN pattern{};
    std::strcpy(pattern.deviceIdPattern, "*?&PID_5A52&MI_04");
    ASSERT_TRUE(LstK_InitEx(&list, KLST_FLAG_NONE, &pattern, nullptr));
    UINT count = 0;
    ASSERT_TRUE(LstK_Count(list, &count));
    EXPECT_EQ(count, 1u);
    LstK_Free(list);
    KLST_PATTERN byGuid{};
    std::strcpy(byGuid.interfaceGuidPattern, zsim::kPnpLibusbKGuid);
    ASSERT_TRUE(LstK_InitEx(&list, KLST_FLAG_NONE, &byGuid, nullptr));
    ASSERT_TRUE(LstK_Count(list, &count));
    EXPECT_EQ(count, 6u);
    LstK_Free(list);
}

TEST_F(LstKTest, SerialNumberComesFromTheParentOfAnInterface) {
    struct Case {
        bool withParent;
        const char* serial;
    };
    for (const Case c : {Case{true, "SN0001"}, Case{false, "6&2A3B&0&0002"}}) {
        WinPnp::instance().reset();
        uint32_t parent = 0;
        if (c.withParent) {
            PnpNode node;
            node.instanceId = "USB\\VID_1234&PID_5678\\SN0001";
            node.setupClassGuid = zsim::kPnpUsbClassGuid;
            node.service = "usbccgp";
            parent = WinPnp::instance().plug(node);
        }
        PnpNode child;
        child.instanceId = "USB\\VID_1234&PID_5678&MI_02\\6&2A3B&0&0002";
        child.setupClassGuid = zsim::kPnpLibusbKClassGuid;
        child.service = "LibUsbK";  // letter case does not matter
        child.deviceInterfaceGuids = std::vector<std::string>{zsim::kPnpLibusbKGuid};
        child.parent = parent;
        PnpInterface iface;
        iface.classGuid = zsim::kPnpLibusbKGuid;
        iface.symbolicLink = "\\\\?\\usb#vid_1234&pid_5678&mi_02#6&2a3b&0&0002#{guid}";
        child.interfaces.push_back(iface);
        WinPnp::instance().plug(child);

        KLST_HANDLE list = nullptr;
        ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
        KLST_DEVINFO* info = nullptr;
        ASSERT_TRUE(LstK_MoveNext(list, &info));
        EXPECT_EQ(info->interfaceNumber, 2);
        EXPECT_EQ(info->driverId, KUSB_DRVID_LIBUSBK);
        EXPECT_STREQ(info->instancePart, "6&2A3B&0&0002");
        EXPECT_STREQ(info->serialNumber, c.serial);
        LstK_Free(list);
    }
}

TEST_F(LstKTest, MoveNextRunsPastTheEndAndStartsOver) {
    KLST_HANDLE list = nullptr;
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    KLST_DEVINFO* info = nullptr;
    EXPECT_FALSE(LstK_MoveNext(list, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EMPTY));
    LstK_Free(list);

    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "A", false);
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "B", false);
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    KLST_DEVINFO* first = nullptr;
    KLST_DEVINFO* second = nullptr;
    ASSERT_TRUE(LstK_MoveNext(list, &first));
    ASSERT_TRUE(LstK_MoveNext(list, &second));
    EXPECT_STREQ(first->serialNumber, "A");
    EXPECT_STREQ(second->serialNumber, "B");
    EXPECT_FALSE(LstK_MoveNext(list, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    ASSERT_TRUE(LstK_MoveNext(list, &info));
    EXPECT_EQ(info, first);

    // An entry belongs to one list at a time.
    KLST_HANDLE other = nullptr;
    ASSERT_TRUE(LstK_Init(&other, KLST_FLAG_NONE));
    EXPECT_FALSE(LstK_AttachInfo(other, first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(LstK_DetachInfo(other, first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(LstK_DetachInfo(list, first));
    ASSERT_TRUE(LstK_AttachInfo(other, first));
    UINT count = 0;
    LstK_Count(list, &count);
    EXPECT_EQ(count, 1u);
    LstK_Count(other, &count);
    EXPECT_EQ(count, 3u);
    LstK_Free(list);
    // Freeing the first list left the moved entry alive in the other.
    EXPECT_STREQ(first->serialNumber, "A");
    LstK_Free(other);
    EXPECT_FALSE(LstK_Count(nullptr, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(LstKTest, SyncMarksRemovalsReturnsAndNewcomers) {
    const std::vector<uint32_t> first = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "A", false);
    KLST_HANDLE master = nullptr;
    ASSERT_TRUE(LstK_Init(&master, KLST_FLAG_NONE));
    KLST_DEVINFO* entry = nullptr;
    ASSERT_TRUE(LstK_MoveNext(master, &entry));

    struct Step {
        const char* what;
        std::function<void()> change;
        int32_t connected;
        int32_t syncFlags;
        UINT count;
    };
    const Step steps[] = {
        {"unchanged", [] {}, 1, KLST_SYNC_FLAG_UNCHANGED, 1},
        {"gone", [&] { WinPnp::instance().unplug(first[0]); }, 0, KLST_SYNC_FLAG_REMOVED, 1},
        {"still gone", [] {}, 0, KLST_SYNC_FLAG_UNCHANGED, 1},
        {"back", [&] { zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "A", false); }, 1,
         KLST_SYNC_FLAG_ADDED | KLST_SYNC_FLAG_CONNECT_CHANGE, 1},
        {"another", [&] { zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "B", false); }, 1,
         KLST_SYNC_FLAG_UNCHANGED, 2},
    };
    for (const Step& step : steps) {
        step.change();
        ASSERT_TRUE(LstK_Sync(master, nullptr, nullptr)) << step.what;
        EXPECT_EQ(entry->connected, step.connected) << step.what;
        EXPECT_EQ(entry->syncFlags, step.syncFlags) << step.what;
        UINT count = 0;
        LstK_Count(master, &count);
        EXPECT_EQ(count, step.count) << step.what;
    }
    KLST_DEVINFO* newcomer = nullptr;
    ASSERT_TRUE(LstK_MoveNext(master, &newcomer));  // the cursor is still at the first entry
    EXPECT_STREQ(newcomer->serialNumber, "B");
    EXPECT_EQ(newcomer->syncFlags, KLST_SYNC_FLAG_ADDED);

    // Nothing can be enumerated: the sync fails and marks nothing removed.
    WinPnpStack::failClassDevs(1);
    EXPECT_FALSE(LstK_Sync(master, nullptr, nullptr));
    EXPECT_EQ(entry->connected, 1);
    EXPECT_EQ(entry->syncFlags, KLST_SYNC_FLAG_UNCHANGED);
    EXPECT_EQ(newcomer->connected, 1);
    LstK_Free(master);
}

TEST_F(LstKTest, PathsAndTextsThatDoNotFitAreSkippedOrCut) {
    PnpNode node = libusbKNode("USB\\VID_FFF0&PID_5A52\\LONG");
    node.description = std::string(400, 'D');
    node.deviceInterfaceGuids = std::vector<std::string>{zsim::kPnpLibusbKGuid};
    PnpInterface tooLong;
    tooLong.classGuid = zsim::kPnpLibusbKGuid;
    tooLong.symbolicLink = "\\\\?\\" + std::string(300, 'p');
    PnpInterface fits;
    fits.classGuid = zsim::kPnpLibusbKGuid;
    fits.symbolicLink = "\\\\?\\" + std::string(250, 'q');
    node.interfaces = {tooLong, fits};
    WinPnp::instance().plug(node);

    KLST_HANDLE list = nullptr;
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    const std::vector<KLST_DEVINFO*> all = entries(list);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0]->devicePath), fits.symbolicLink);
    // The description does not fit its field: it is not read (and so empty)
    // rather than written past the field.
    EXPECT_LT(strnlen(all[0]->deviceDescription, 256), 256u);
    LstK_Free(list);
}

// Registry values as driver packages store them, terminated or not: the
// list reads each within its own bounds and finds what is there.
TEST_F(LstKTest, RegistryTextsAreReadAsStoredWithOrWithoutTerminators) {
    const std::string guid = zsim::kPnpLibusbKGuid;
    struct Case {
        const char* name;
        std::string storedGuids;
        bool unterminatedTexts;
        bool listed;
    };
    const Case cases[] = {
        {"proper multi-string", guid + '\0' + '\0', false, true},
        {"no closing empty text", guid + '\0', false, true},
        {"no terminator at all", guid, true, true},
        {"a bad text before the good one", "{bad" + std::string(1, '\0') + guid, false, true},
        {"an empty text ends the list", std::string(1, '\0') + guid, false, false},
        {"the GUID only past the value's limit", std::string(1020, 'x') + guid, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WinPnp::instance().reset();
        PnpNode node = libusbKNode("USB\\VID_FFF0&PID_5A52\\RAW");
        node.description = "Morvale.control";
        node.manufacturer = std::string(300, 'M');
        node.storedInterfaceGuids = c.storedGuids;
        node.unterminatedTexts = c.unterminatedTexts;
        PnpInterface iface;
        iface.classGuid = guid;
        iface.symbolicLink = "\\\\?\\usb#vid_fff0&pid_5a52#raw#" + guid;
        node.interfaces = {iface};
        WinPnp::instance().plug(node);

        KLST_HANDLE list = nullptr;
        ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
        const std::vector<KLST_DEVINFO*> all = entries(list);
        ASSERT_EQ(all.size(), c.listed ? 1u : 0u);
        if (c.listed) {
            EXPECT_STREQ(all[0]->interfaceGuid, guid.c_str());
            EXPECT_STREQ(all[0]->service, "libusbK");
            EXPECT_STREQ(all[0]->deviceDescription, "Morvale.control");
            EXPECT_EQ(all[0]->driverId, KUSB_DRVID_LIBUSBK);
        }
        LstK_Free(list);
    }
}

// Parent links that run in a circle (a node recorded as its own parent):
// the removal ends, and the list marks the device removed.
TEST_F(LstKTest, RemovalOfANodeThatIsItsOwnParentEnds) {
    PnpNode node = libusbKNode("USB\\VID_FFF0&PID_5A52\\LOOP");
    node.deviceInterfaceGuids = std::vector<std::string>{zsim::kPnpLibusbKGuid};
    PnpInterface iface;
    iface.classGuid = zsim::kPnpLibusbKGuid;
    iface.symbolicLink = "\\\\?\\usb#vid_fff0&pid_5a52#loop#" + std::string(zsim::kPnpLibusbKGuid);
    node.interfaces = {iface};
    const uint32_t number = WinPnp::instance().plug(node);
    node.parent = number;
    ASSERT_EQ(WinPnp::instance().plug(node), number);

    KLST_HANDLE list = nullptr;
    ASSERT_TRUE(LstK_Init(&list, KLST_FLAG_NONE));
    ASSERT_TRUE(WinPnp::instance().unplug(number));
    ASSERT_TRUE(LstK_Sync(list, nullptr, nullptr));
    const std::vector<KLST_DEVINFO*> all = entries(list);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->connected, 0);
    EXPECT_EQ(all[0]->syncFlags, KLST_SYNC_FLAG_REMOVED);
    LstK_Free(list);
}

}  // namespace
