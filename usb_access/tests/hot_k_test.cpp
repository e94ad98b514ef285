// The hot-plug monitor with its real window and message loop, driven by the
// simulated plug and play's device-change messages.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "usb_access/hot_k.h"
#include "usb_access/system_api.h"
#include "usb_access/tests/own_window.h"

namespace {

using Clock = std::chrono::steady_clock;
using zsim::WinPnp;
using zsim::WinPnpStack;

const zsim::PnpSensorIdentity kSensor{0xFFF0, 0x5A52, "Morvale", "Morvale Ltd", 1, 1};

struct Report {
    KHOT_HANDLE handle;
    KLST_DEVINFO* info;
    int32_t event;
    std::string deviceId;
    Clock::time_point at;
    std::thread::id thread;
};

// Everything the plug callbacks saw, in order.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> all;

    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return all.size() >= count; });
    }
    std::vector<Report> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return all;
    }
};
Reports* reports = nullptr;

void recordPlug(KHOT_HANDLE handle, KLST_DEVINFO_HANDLE info, int32_t event) {
    std::lock_guard<std::mutex> lock(reports->mutex);
    reports->all.push_back({handle, info, event, info->deviceId, Clock::now(), std::this_thread::get_id()});
    reports->changed.notify_all();
}

HotK_Params paramsFor(const char* deviceIdPattern, UINT flags = KHOT_FLAG_PLUG_ALL_ON_INIT) {
    HotK_Params params;
    std::memset(&params, 0, sizeof(params));
    params.flags = flags;
    params.onHotPlug = recordPlug;
    std::strcpy(params.pattern.deviceIdPattern, deviceIdPattern);
    std::strcpy(params.pattern.interfaceGuidPattern, "*");
    return params;
}

class HotKTest : public ::testing::Test {
protected:
    void SetUp() override {
        reports = &reports_;
        WinPnp::instance().reset();
        api_ = UsbAccess_DefaultSystemApi();
        WinPnpStack::fill(api_);
        UsbAccess_SetSystemApi(&api_);
        stack_ = std::make_unique<WinPnpStack>();
    }
    void TearDown() override {
        stack_.reset();
        EXPECT_EQ(WinPnpStack::notifications(), 0) << "every notification is unregistered with the window";
        UsbAccess_SetSystemApi(nullptr);
        WinPnp::instance().reset();
        reports = nullptr;
    }

    Reports reports_;
    UsbAccessSystemApi api_{};
    std::unique_ptr<WinPnpStack> stack_;
};

TEST_F(HotKTest, ReportsPresentDevicesOnceThenRemovalAndReturn) {
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params params = paramsFor("USB\\VID_fff0");
    KHOT_HANDLE handle = nullptr;
    ASSERT_TRUE(HotK_Init(&handle, &params));
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(reports_.waitFor(5));
    const std::vector<Report> initial = reports_.snapshot();
    for (const Report& r : initial) {
        EXPECT_EQ(r.event, KHOT_EVENT_ARRIVAL);
        EXPECT_EQ(r.handle, handle);
        EXPECT_NE(r.thread, std::this_thread::get_id()) << "reports run on the monitor's thread";
    }

    // One interface goes: one removal, at once (the notice names it).
    const Clock::time_point unplugged = Clock::now();
    WinPnp::instance().unplug(nodes[2]);
    ASSERT_TRUE(reports_.waitFor(6));
    Report removal = reports_.snapshot()[5];
    EXPECT_EQ(removal.event, KHOT_EVENT_REMOVAL);
    EXPECT_EQ(removal.deviceId, initial[2].deviceId);
    EXPECT_EQ(removal.info, initial[2].info);
    // Well before the one-second timer a removal without a name would wait
    // for; the margin is for a loaded Windows runtime's message round trips.
    EXPECT_LT(removal.at - unplugged, std::chrono::milliseconds(900));

    // It comes back: one arrival, a second after the arrival notice, with the same record.
    ASSERT_TRUE(WinPnp::instance().replug(nodes[2]));
    const Clock::time_point replugged = Clock::now();
    ASSERT_TRUE(reports_.waitFor(7));
    Report arrival = reports_.snapshot()[6];
    EXPECT_EQ(arrival.event, KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(arrival.info, initial[2].info);
    EXPECT_GE(arrival.at - replugged, std::chrono::milliseconds(900));
    EXPECT_LT(arrival.at - replugged, std::chrono::milliseconds(3000));

    ASSERT_TRUE(HotK_Free(handle));
    // The last free returns once the window is gone.
    EXPECT_EQ(usbtest::ownWindow(HOTK_WINDOW_CLASS, "HotK_NotificationWindow_0"), nullptr);
    EXPECT_EQ(reports_.snapshot().size(), 7u) << "nothing reported twice";
}

TEST_F(HotKTest, TwoHandlesEachGetWhatTheirPatternMatchesOncePerPass) {
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params everything = paramsFor("USB\\VID_fff0", KHOT_FLAG_NONE);
    HotK_Params client = paramsFor("*?&PID_5A52&MI_04");
    KHOT_HANDLE first = nullptr;
    KHOT_HANDLE second = nullptr;
    ASSERT_TRUE(HotK_Init(&first, &everything));
    ASSERT_TRUE(HotK_Init(&second, &client));
    ASSERT_TRUE(reports_.waitFor(1));
    WinPnp::instance().unplug(nodes[0]);
    ASSERT_TRUE(reports_.waitFor(2));
    WinPnp::instance().unplug(nodes[4]);
    ASSERT_TRUE(reports_.waitFor(3));
    // Whatever a pass still had to report is behind this round trip of the window.
    HotK_Params probe = paramsFor("no such device", KHOT_FLAG_NONE);
    KHOT_HANDLE third = nullptr;
    ASSERT_TRUE(HotK_Init(&third, &probe));
    ASSERT_TRUE(HotK_Free(third));

    struct Expect {
        KHOT_HANDLE handle;
        const char* interface;
        int32_t event;
    };
    const Expect expected[] = {
        {second, "&MI_04", KHOT_EVENT_ARRIVAL},  // its own initial report: its pattern only
        {first, "&MI_00", KHOT_EVENT_REMOVAL},   // the client handle's pattern does not match
        {first, "&MI_04", KHOT_EVENT_REMOVAL},   // both match: one report per device id and pass
    };
    const std::vector<Report> all = reports_.snapshot();
    ASSERT_EQ(all.size(), std::size(expected));
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].handle, expected[i].handle) << i;
        EXPECT_NE(all[i].deviceId.find(expected[i].interface), std::string::npos) << all[i].deviceId;
        EXPECT_EQ(all[i].event, expected[i].event) << i;
    }
    ASSERT_TRUE(HotK_Free(first));
    ASSERT_TRUE(HotK_Free(second));
}

TEST_F(HotKTest, StartAndStopFailures) {
    KHOT_HANDLE handle = nullptr;
    SetLastError(0);
    EXPECT_FALSE(HotK_Free(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    HotK_Params params = paramsFor("USB\\VID_fff0");
    // A bad handle variable or block fails the registration and stops the monitor again.
    EXPECT_FALSE(HotK_Init(nullptr, &params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(HotK_Init(&handle, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(usbtest::ownWindow(HOTK_WINDOW_CLASS), nullptr);

    // Every window name taken: the monitor cannot start.
    std::mutex mutex;
    std::condition_variable changed;
    bool created = false;
    bool done = false;
    std::thread squatter([&] {
        for (unsigned i = 0; i < 128; ++i) {
            char name[64];
            std::snprintf(name, sizeof(name), HOTK_WINDOW_NAME_FORMAT, i);
            CreateWindowExA(0, HOTK_WINDOW_CLASS, name, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        }
        std::unique_lock<std::mutex> lock(mutex);
        created = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return created; });
    }
    EXPECT_FALSE(HotK_Init(&handle, &params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_MODULES));
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    squatter.join();
    // With the names free again the monitor starts.
    ASSERT_TRUE(HotK_Init(&handle, &params));
    EXPECT_FALSE(HotK_Free(reinterpret_cast<KHOT_HANDLE>(&params)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ASSERT_TRUE(HotK_Free(handle));
    EXPECT_FALSE(HotK_Free(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

}  // namespace
