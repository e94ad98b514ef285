// The hot-plug monitor with its real window and message loop, driven by the
// simulated plug and play's device-change messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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
    // Runs inside the callback, on the monitor's thread, after the report is recorded.
    std::function<void(const Report&)> during;

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
    std::function<void(const Report&)> during;
    Report report{handle, info, event, info->deviceId, Clock::now(), std::this_thread::get_id()};
    {
        std::lock_guard<std::mutex> lock(reports->mutex);
        reports->all.push_back(report);
        reports->changed.notify_all();
        during = reports->during;
    }
    if (during) during(report);
}

std::string interfaceOf(const std::string& deviceId) {
    const size_t at = deviceId.find("&MI_");
    return at == std::string::npos ? std::string() : deviceId.substr(at, 6);
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

// A registration that a failed assertion would leave behind is freed, so
// that no monitor outlives its test and calls into what the test released.
struct Registration {
    KHOT_HANDLE handle = nullptr;
    ~Registration() {
        if (handle != nullptr) HotK_Free(handle);
    }
    BOOL free() {
        KHOT_HANDLE h = handle;
        handle = nullptr;
        return HotK_Free(h);
    }
};

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

    // Unplugs the interface node and waits for its removal, report number
    // `reported`, while no device set can be made: a removal told without a
    // new listing can only have come from the notice's name. One without a
    // name would wait for a listing that fails, and is never told.
    void expectRemovalToldByName(uint32_t node, size_t reported) {
        WinPnpStack::failClassDevs(std::numeric_limits<int>::max());
        WinPnp::instance().unplug(node);
        const bool told = reports_.waitFor(reported);
        WinPnpStack::failClassDevs(0);
        ASSERT_TRUE(told);
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

    // One interface goes: one removal, told from the notice that names it.
    // The plug's own notices go first: the node change among them is sent to
    // every window of the desktop, each given half a second to answer, and
    // the removal's notice would queue behind that broadcast.
    ASSERT_TRUE(stack_->waitDelivered(std::chrono::seconds(10)));
    ASSERT_NO_FATAL_FAILURE(expectRemovalToldByName(nodes[2], 6));
    Report removal = reports_.snapshot()[5];
    EXPECT_EQ(removal.event, KHOT_EVENT_REMOVAL);
    EXPECT_EQ(removal.deviceId, initial[2].deviceId);
    EXPECT_EQ(removal.info, initial[2].info);

    // It comes back: one arrival, no sooner than a second after the arrival
    // notice, with the same record.
    ASSERT_TRUE(WinPnp::instance().replug(nodes[2]));
    const Clock::time_point replugged = Clock::now();
    ASSERT_TRUE(reports_.waitFor(7));
    Report arrival = reports_.snapshot()[6];
    EXPECT_EQ(arrival.event, KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(arrival.info, initial[2].info);
    EXPECT_GE(arrival.at - replugged, std::chrono::milliseconds(900));

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

// A removal named by its notice marks the entry at once and is reported by a
// short timer. When a synchronisation is due first (an arrival a second
// earlier, the monitor's thread busy meanwhile), the removal is still
// reported, once, and before what that synchronisation finds.
TEST_F(HotKTest, ANamedRemovalSurvivesAnOverdueSynchronisation) {
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params params = paramsFor("USB\\VID_fff0");
    Registration registration;
    ASSERT_TRUE(HotK_Init(&registration.handle, &params));
    ASSERT_TRUE(reports_.waitFor(5));
    // Interface 1 goes and comes back: its arrival notice arms the one-second timer.
    WinPnp::instance().unplug(nodes[1]);
    ASSERT_TRUE(reports_.waitFor(6));
    ASSERT_TRUE(WinPnp::instance().replug(nodes[1]));
    ASSERT_TRUE(stack_->waitDelivered(std::chrono::seconds(10)));

    // Interface 0's removal keeps the monitor's thread until that timer is
    // due and interface 2's removal notice waits to be handled.
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;
    std::atomic<bool> removalIssued{false};
    std::atomic<bool> bothWaiting{false};
    const std::string first = WinPnp::instance().node(nodes[0])->instanceId;
    {
        std::lock_guard<std::mutex> lock(reports_.mutex);
        reports_.during = [&](const Report& report) {
            if (report.event != KHOT_EVENT_REMOVAL || report.deviceId != first) return;
            {
                std::lock_guard<std::mutex> guard(mutex);
                busy = true;
                changed.notify_all();
            }
            constexpr UINT kBoth = QS_TIMER | QS_SENDMESSAGE;
            const Clock::time_point bound = Clock::now() + std::chrono::seconds(10);
            auto waiting = [&] { return removalIssued && (GetQueueStatus(kBoth) >> 16 & kBoth) == kBoth; };
            while (Clock::now() < bound && !waiting()) {
                if (!SwitchToThread()) Sleep(1);
            }
            bothWaiting = waiting();
        };
    }
    WinPnp::instance().unplug(nodes[0]);
    {
        std::unique_lock<std::mutex> guard(mutex);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return busy; }));
    }
    // The node change that followed interface 0's removal is given up on
    // (the monitor does not answer), so what waits next is interface 2's notice.
    ASSERT_TRUE(stack_->waitDelivered(std::chrono::seconds(10)));
    WinPnp::instance().unplug(nodes[2]);
    removalIssued = true;
    ASSERT_TRUE(reports_.waitFor(9));
    EXPECT_TRUE(bothWaiting) << "the timer was due while a notice waited";

    // Interface 2's removal is marked before the synchronisation runs; had
    // its notice come late, the synchronisation would find it (after
    // interface 1, in list order). Either way it is told, once.
    const std::vector<Report> all = reports_.snapshot();
    EXPECT_EQ(interfaceOf(all[6].deviceId), "&MI_00");
    EXPECT_EQ(all[6].event, KHOT_EVENT_REMOVAL);
    std::vector<std::pair<std::string, int32_t>> rest;
    for (size_t i = 7; i < all.size(); ++i) rest.emplace_back(interfaceOf(all[i].deviceId), all[i].event);
    std::sort(rest.begin(), rest.end());
    const std::vector<std::pair<std::string, int32_t>> expected = {{"&MI_01", KHOT_EVENT_ARRIVAL},
                                                                  {"&MI_02", KHOT_EVENT_REMOVAL}};
    EXPECT_EQ(rest, expected);
    // The removal's own timer finds nothing left to report.
    EXPECT_FALSE(reports_.waitFor(10, std::chrono::milliseconds(300)));
    {
        std::lock_guard<std::mutex> lock(reports_.mutex);
        reports_.during = nullptr;
    }
    ASSERT_TRUE(registration.free());
}

// Started with nothing attached, the monitor has no interface class to ask
// notices for: the node change that follows a plug synchronises the list,
// registers its notifications, and only then reports the sensor, after
// which a removal is told by name.
TEST_F(HotKTest, AMonitorStartedEmptyRegistersNotificationsAfterTheFirstNodeChange) {
    HotK_Params params = paramsFor("USB\\VID_fff0");
    std::atomic<int> classesWhenTold{-1};
    reports_.during = [&](const Report&) { classesWhenTold = WinPnpStack::notifications(); };
    Registration registration;
    ASSERT_TRUE(HotK_Init(&registration.handle, &params));
    EXPECT_EQ(WinPnpStack::notifications(), 0);
    const Clock::time_point plugged = Clock::now();
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    ASSERT_TRUE(reports_.waitFor(5));
    // Only the two-second node-change timer could have found it.
    EXPECT_GE(reports_.snapshot()[0].at - plugged, std::chrono::milliseconds(1900));
    for (const Report& r : reports_.snapshot()) EXPECT_EQ(r.event, KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(classesWhenTold.load(), 1) << "one interface class, asked for before the client is told";

    ASSERT_NO_FATAL_FAILURE(expectRemovalToldByName(nodes[3], 6));
    const Report removal = reports_.snapshot()[5];
    EXPECT_EQ(removal.event, KHOT_EVENT_REMOVAL);
    EXPECT_EQ(interfaceOf(removal.deviceId), "&MI_03");
    ASSERT_TRUE(registration.free());
}

struct PowerSeen {
    std::mutex mutex;
    std::vector<std::pair<std::string, UINT>> calls;  // interface, event
};
PowerSeen* powerSeen = nullptr;

void recordPower(KHOT_HANDLE, KLST_DEVINFO_HANDLE info, UINT event) {
    std::lock_guard<std::mutex> lock(powerSeen->mutex);
    powerSeen->calls.emplace_back(interfaceOf(info->deviceId), event);
}

// Suspend and resume reach the power callback once per connected entry;
// other power notices reach nobody.
TEST_F(HotKTest, PowerBroadcastReachesTheCallbackForEachConnectedEntry) {
    PowerSeen seenCalls;
    powerSeen = &seenCalls;
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params params = paramsFor("USB\\VID_fff0");
    params.onPowerBroadcast = recordPower;
    Registration registration;
    ASSERT_TRUE(HotK_Init(&registration.handle, &params));
    ASSERT_TRUE(reports_.waitFor(5));
    WinPnp::instance().unplug(nodes[1]);
    ASSERT_TRUE(reports_.waitFor(6));
    HWND window = usbtest::ownWindow(HOTK_WINDOW_CLASS);
    ASSERT_NE(window, nullptr);

    struct Case {
        WPARAM event;
        size_t calls;
    };
    const Case cases[] = {
        {PBT_APMSUSPEND, 4},
        {PBT_APMRESUMEAUTOMATIC, 4},
        {0x000A, 0},  // a power status change
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event);
        {
            std::lock_guard<std::mutex> lock(seenCalls.mutex);
            seenCalls.calls.clear();
        }
        EXPECT_EQ(SendMessageA(window, WM_POWERBROADCAST, c.event, 0), 0);
        std::lock_guard<std::mutex> lock(seenCalls.mutex);
        ASSERT_EQ(seenCalls.calls.size(), c.calls);
        for (size_t i = 0; i < c.calls; ++i) {
            EXPECT_EQ(seenCalls.calls[i].second, c.event);
            EXPECT_NE(seenCalls.calls[i].first, "&MI_01") << "the removed interface is not told";
        }
    }
    ASSERT_TRUE(registration.free());
    powerSeen = nullptr;
}

// A client window of its own thread, told of each event by message.
struct ClientWindow {
    static constexpr const char* kClass = "HotKTestClientWindow";
    static constexpr UINT kMessage = WM_USER + 100;
    static constexpr UINT kQuit = WM_USER + 99;

    struct Message {
        UINT message;
        KHOT_HANDLE handle;
        KLST_DEVINFO* info;
        std::string deviceId;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Message> messages;
    std::function<void(const Message&)> during;  // on the window's thread
    HWND window = nullptr;
    std::thread thread;

    static ClientWindow* current;
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == kQuit) PostQuitMessage(0);
        if (message != kMessage && message != kMessage + 1) return DefWindowProcA(window, message, wParam, lParam);
        auto* info = reinterpret_cast<KLST_DEVINFO*>(lParam);
        Message seen{message, reinterpret_cast<KHOT_HANDLE>(wParam), info, info->deviceId};
        std::function<void(const Message&)> during;
        {
            std::lock_guard<std::mutex> lock(current->mutex);
            current->messages.push_back(seen);
            current->changed.notify_all();
            during = current->during;
        }
        if (during) during(seen);
        return 0;
    }

    void start() {
        current = this;
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.lpszClassName = kClass;
        ASSERT_NE(RegisterClassExA(&wc), 0);
        std::promise<HWND> created;
        auto future = created.get_future();
        thread = std::thread([&created] {
            HWND w = CreateWindowExA(0, kClass, "client", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
            created.set_value(w);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            if (w != nullptr) DestroyWindow(w);
        });
        window = future.get();
        ASSERT_NE(window, nullptr);
    }
    void stop() {
        if (thread.joinable()) {
            PostMessageA(window, kQuit, 0, 0);
            thread.join();
        }
        if (current == this) UnregisterClassA(kClass, nullptr);
        current = nullptr;
    }
    ~ClientWindow() { stop(); }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= count; });
    }
};
ClientWindow* ClientWindow::current = nullptr;

// The client's window hears each arrival as its message + 1 and each
// removal as its message, sent or posted as it asked. A client that answers
// a sent arrival by registering anew and unplugging that interface makes the notice arrive while
// the monitor waits for the client: the removal is still told, once.
TEST_F(HotKTest, AClientWindowIsToldOfEachEventSentOrPosted) {
    const UINT sendOrPost[] = {KHOT_FLAG_PLUG_ALL_ON_INIT, KHOT_FLAG_PLUG_ALL_ON_INIT | KHOT_FLAG_POST_USER_MESSAGE};
    for (const UINT flags : sendOrPost) {
        SCOPED_TRACE(flags);
        WinPnp::instance().reset();
        const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
        ASSERT_TRUE(stack_->waitDelivered(std::chrono::seconds(10)));
        ClientWindow client;
        client.start();
        const std::string first = WinPnp::instance().node(nodes[0])->instanceId;
        HotK_Params none = paramsFor("no such device", KHOT_FLAG_NONE);
        Registration inner;
        {
            std::lock_guard<std::mutex> lock(client.mutex);
            client.during = [&](const ClientWindow::Message& m) {
                if (m.message != ClientWindow::kMessage + 1 || m.deviceId != first) return;
                EXPECT_TRUE(HotK_Init(&inner.handle, &none));
                WinPnp::instance().unplug(nodes[0]);
                // Its notice is handled by the monitor meanwhile (or, posted, after the pass).
                stack_->waitDelivered(std::chrono::seconds(10));
            };
        }
        HotK_Params params = paramsFor("USB\\VID_fff0", flags);
        params.onHotPlug = nullptr;
        params.userWindow = client.window;
        params.userMessage = ClientWindow::kMessage;
        Registration registration;
        ASSERT_TRUE(HotK_Init(&registration.handle, &params));
        KHOT_HANDLE handle = registration.handle;
        ASSERT_TRUE(client.waitFor(6));
        ASSERT_TRUE(inner.free());
        ASSERT_TRUE(registration.free());
        client.stop();

        ASSERT_EQ(client.messages.size(), 6u) << "nothing told twice";
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(client.messages[i].message, ClientWindow::kMessage + 1) << i;
            EXPECT_EQ(client.messages[i].handle, handle);
        }
        const ClientWindow::Message& removal = client.messages[5];
        EXPECT_EQ(removal.message, ClientWindow::kMessage);
        EXPECT_EQ(removal.deviceId, first);
        EXPECT_EQ(removal.info, client.messages[0].info);
    }
}

// Parameters of a registration for the simulated sensor whose client is told in its callback or,
// `byWindow`, in `client`'s window; either way `onArrival` hears of each report.
HotK_Params toldIn(ClientWindow& client, bool byWindow, const std::function<void(KHOT_HANDLE)>& onArrival) {
    client.start();
    client.during = [onArrival](const ClientWindow::Message& m) { onArrival(m.handle); };
    reports->during = [onArrival](const Report& r) { onArrival(r.handle); };
    HotK_Params params = paramsFor("USB\\VID_fff0");
    if (byWindow) params = {client.window, ClientWindow::kMessage, 1, params.pattern, {}, nullptr, nullptr, {}};
    return params;
}

// Freed while its client is told (in its callback, or in its window while the monitor waits for
// it), the last registration's free returns at once and the monitor stops when the pass ends.
TEST_F(HotKTest, TheLastRegistrationFreedWhileItsClientIsToldStopsTheMonitorAfterThePass) {
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    for (const bool byWindow : {false, true}) {
        std::promise<BOOL> freed;
        std::atomic<int> told{0};
        auto onArrival = [&](KHOT_HANDLE handle) { told++ == 0 ? freed.set_value(HotK_Free(handle)) : void(); };
        ClientWindow client;
        HotK_Params params = toldIn(client, byWindow, onArrival);
        KHOT_HANDLE handle = nullptr;
        ASSERT_TRUE(HotK_Init(&handle, &params));
        std::future<BOOL> answer = freed.get_future();
        if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::abort();  // stuck for good
        EXPECT_TRUE(answer.get());
        EXPECT_TRUE(usbtest::monitorWindowGone());
        EXPECT_EQ(told.load(), 1);
    }
    reports_.during = nullptr;
}


// The answer of a call made elsewhere; none is a hang for good, which ends the test program.
template <typename T>
T answerOf(std::future<T> answer) {
    if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::abort();
    return answer.get();
}

// Told of an arrival (in its callback or its window), a client frees the last registration and registers
// anew, or has another thread do so: the stop is called off and the monitor runs on; freed again, it stops.
// The new client, alone on a list made for the first, is told of no device its own pattern does not match.
TEST_F(HotKTest, ARegistrationWhileTheStopIsPendingKeepsTheRunningMonitor) {
    enum Step { kFree, kInit, kInitElsewhere, kFreeNew };
    const std::tuple<bool, std::vector<Step>> cases[] = {{false, {kFree, kInit}},
                                                         {false, {kFree, kInit, kFreeNew}},
                                                         {true, {kFree, kInit}},
                                                         {true, {kFree, kInitElsewhere}}};
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params none = paramsFor("no such device");
    for (const auto& [byWindow, steps] : cases) {
        SCOPED_TRACE(::testing::Message() << byWindow << " " << steps.size() << " " << steps.back());
        Registration second;
        std::future<BOOL> elsewhere;
        std::promise<std::vector<BOOL>> done;
        std::atomic<int> told{0};
        auto initSecond = [&] { return HotK_Init(&second.handle, &none); };
        auto onArrival = [&](KHOT_HANDLE handle) {
            if (told++ != 0) return;
            std::vector<BOOL> results;
            for (const Step step : steps) {
                if (step == kInitElsewhere) elsewhere = std::async(std::launch::async, initSecond);
                results.push_back(step == kFree ? HotK_Free(handle)
                                  : step == kInit ? initSecond()
                                  : step == kFreeNew ? second.free()
                                  : elsewhere.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                                        elsewhere.get());
            }
            done.set_value(results);
        };
        ClientWindow client;
        HotK_Params params = toldIn(client, byWindow, onArrival);
        KHOT_HANDLE handle = nullptr;
        ASSERT_TRUE(HotK_Init(&handle, &params));
        EXPECT_EQ(answerOf(done.get_future()), std::vector<BOOL>(steps.size(), TRUE));
        {
            std::unique_lock<std::mutex> lock(reports_.mutex);
            EXPECT_FALSE(reports_.changed.wait_for(lock, std::chrono::milliseconds(300), [&] {
                return std::any_of(reports_.all.begin(), reports_.all.end(),
                                   [&](const Report& r) { return r.handle == second.handle && r.handle != nullptr; });
            })) << "the second client's initial report holds only what its pattern matches";
        }
        EXPECT_TRUE(steps.back() == kFreeNew || (usbtest::ownWindow(HOTK_WINDOW_CLASS) != nullptr && second.free()));
        EXPECT_TRUE(usbtest::monitorWindowGone());
    }
}

std::function<void()> onceInside;  // run by the next hooked system call, on its thread
void runOnceInside() { if (std::function<void()> hook = std::exchange(onceInside, nullptr)) hook(); }

// Registrations by other threads while the first one makes the window (as many as there are handles), or
// while the last one's stop runs, wait and succeed; the stopping thread's own fails at once (it would wait
// for itself).
TEST_F(HotKTest, ARegistrationWhileTheMonitorStartsOrEndsWaitsForIt) {
    static const UsbAccessSystemApi plain = api_;
    const auto classDevices = [](const GUID* g, PCSTR e, HWND w, DWORD f) {
        return runOnceInside(), plain.SetupDiGetClassDevsA(g, e, w, f);
    };
    const auto unregisterNotice = [](HDEVNOTIFY n) { return runOnceInside(), plain.UnregisterDeviceNotification(n); };
    const std::tuple<bool, size_t> cases[] = {{true, 7}, {false, 1}, {false, 0}};
    zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
    HotK_Params params = paramsFor("USB\\VID_fff0", KHOT_FLAG_NONE);
    for (const auto& [atStart, others] : cases) {
        SCOPED_TRACE(::testing::Message() << atStart << " " << others);
        api_.SetupDiGetClassDevsA = atStart ? +classDevices : plain.SetupDiGetClassDevsA;
        api_.UnregisterDeviceNotification = atStart ? plain.UnregisterDeviceNotification : +unregisterNotice;
        std::vector<Registration> registrations(8);
        auto init = [&](size_t i) { return HotK_Init(&registrations[i].handle, &params); };
        ASSERT_TRUE(atStart || init(0));
        std::vector<std::future<BOOL>> answers;
        size_t answeredInside = 0;
        bool ownFailedAtOnce = false;
        onceInside = [&, others = others] {
            if (others == 0) ownFailedAtOnce = !init(1) && GetLastError() == ERROR_NOT_FOUND;
            for (size_t i = 1; i <= others; ++i) answers.push_back(std::async(std::launch::async, init, i));
            // Briefly, for what must not happen: an answer while this call holds the monitor here.
            const Clock::time_point end = Clock::now() + std::chrono::milliseconds(200);
            for (std::future<BOOL>& a : answers) answeredInside += a.wait_until(end) == std::future_status::ready;
        };
        auto first = [&, atStart = atStart] { return atStart ? init(0) : registrations[0].free(); };
        EXPECT_TRUE(answerOf(std::async(std::launch::async, first)));
        EXPECT_EQ(answeredInside, 0u);
        EXPECT_EQ(ownFailedAtOnce, others == 0);
        for (std::future<BOOL>& a : answers) EXPECT_TRUE(answerOf(std::move(a)));
        for (Registration& r : registrations) EXPECT_TRUE(r.handle == nullptr || r.free());
        EXPECT_EQ(usbtest::ownWindow(HOTK_WINDOW_CLASS), nullptr);
    }
    api_ = plain;
}

// A (no initial report) is registered when the sensor is plugged, B before A's timer finds it: A is told as
// without B; B by its own initial report, and without one not at all (one client per device id and pass).
TEST_F(HotKTest, ARegistrationTakesNoReportOwedToAnotherClient) {
    const std::tuple<UINT, size_t, size_t> cases[] = {{KHOT_FLAG_PLUG_ALL_ON_INIT, 5, 5}, {KHOT_FLAG_NONE, 5, 0}};
    for (const auto& [secondFlags, toldFirst, toldSecond] : cases) {
        SCOPED_TRACE(secondFlags);
        WinPnp::instance().reset();
        reports_.all.clear();  // the last case's monitor has ended
        HotK_Params firstParams = paramsFor("USB\\VID_fff0", KHOT_FLAG_NONE);
        HotK_Params secondParams = paramsFor("USB\\VID_fff0", secondFlags);
        Registration first, second;
        ASSERT_TRUE(HotK_Init(&first.handle, &firstParams));
        zsim::pnpPlugSensor(WinPnp::instance(), kSensor, "SN1", true);
        ASSERT_TRUE(HotK_Init(&second.handle, &secondParams));
        ASSERT_TRUE(reports_.waitFor(toldFirst + toldSecond));
        EXPECT_FALSE(reports_.waitFor(toldFirst + toldSecond + 1, std::chrono::milliseconds(300)));
        std::map<KHOT_HANDLE, size_t> told;
        for (const Report& r : reports_.snapshot()) told[r.handle] += r.event == KHOT_EVENT_ARRIVAL;
        EXPECT_EQ(told[first.handle], toldFirst);
        EXPECT_EQ(told[second.handle], toldSecond);
    }
}

}  // namespace
