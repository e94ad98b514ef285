// The host library's transport back-end over a device of the test's own
// behind the driver table: interfaces found by device path, a descriptor
// that says booted or not, two bulk pipes, reads that wait for data until
// their pipe is aborted.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/usb_transport.h"
#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "usb_access/system_api.h"
#include "usb_access/tests/own_window.h"
#include "usb_access/vpu_usb_libusbk.h"

namespace {

using Bytes = std::vector<uint8_t>;

// --- the device under the table ------------------------------------------------

struct FakeInterface {
    bool booted = true;
    bool failInit = false;
    int failInits = 0;  // the next opens that fail, as a busy device file would
    int failReadsSilently = 0;  // the next reads that fail with no last error
    uint32_t shortenWritesBy = 0;
    uint16_t inPacketSize = 512;  // as the IN pipe's descriptor gives it
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Bytes> toHost;
    uint64_t aborts = 0;
    int blockedReads = 0;
    std::vector<std::pair<uint8_t, Bytes>> written;  // pipe, bytes
    std::vector<uint8_t> readPipes;
    int alt = -1;
    bool open = false;
};

std::mutex fakesMutex;
std::map<std::string, std::shared_ptr<FakeInterface>> fakes;  // by device path

constexpr DWORD kSharingViolation = 32;  // ERROR_SHARING_VIOLATION: the file is open elsewhere

FakeInterface* asFake(KUSB_HANDLE handle) { return static_cast<FakeInterface*>(handle); }

BOOL WINAPI fakeInit(KUSB_HANDLE* handle, KLST_DEVINFO_HANDLE info) {
    std::lock_guard<std::mutex> lock(fakesMutex);
    auto found = fakes.find(info->devicePath);
    if (found == fakes.end() || found->second->failInit || found->second->failInits > 0) {
        if (found != fakes.end() && found->second->failInits > 0) --found->second->failInits;
        SetLastError(found == fakes.end() || found->second->failInit ? ERROR_GEN_FAILURE : kSharingViolation);
        return FALSE;
    }
    found->second->open = true;
    *handle = found->second.get();
    return TRUE;
}
BOOL WINAPI fakeFree(KUSB_HANDLE handle) {
    asFake(handle)->open = false;
    return TRUE;
}
BOOL WINAPI fakeClaim(KUSB_HANDLE, UCHAR, BOOL) { return TRUE; }
BOOL WINAPI fakeControl(KUSB_HANDLE handle, WINUSB_SETUP_PACKET setup, PUCHAR buffer, UINT length, PUINT transferred,
                        LPOVERLAPPED) {
    if (setup.RequestType != 0x80 || setup.Request != 6 || setup.Value != 0x0100 || length < 18) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xA7, 0xF3, 0x51, 0x0D, 0x00, 0x01, 1, 2, 3, 1};
    if (!asFake(handle)->booted) descriptor[13] |= 0x80;
    std::memcpy(buffer, descriptor, 18);
    if (transferred != nullptr) *transferred = 18;
    return TRUE;
}
BOOL WINAPI fakeSetAlt(KUSB_HANDLE handle, UCHAR alt) {
    asFake(handle)->alt = alt;
    return TRUE;
}
// The OUT pipe is listed first: pipes must be told apart by direction.
BOOL WINAPI fakeQueryPipe(KUSB_HANDLE handle, UCHAR, UCHAR index, PWINUSB_PIPE_INFORMATION info) {
    if (index > 1) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    info->PipeType = UsbdPipeTypeBulk;
    info->PipeId = index == 0 ? 0x01 : 0x81;
    info->MaximumPacketSize = index == 0 ? 512 : asFake(handle)->inPacketSize;
    info->Interval = 0;
    return TRUE;
}
BOOL WINAPI fakeRead(KUSB_HANDLE handle, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred, LPOVERLAPPED) {
    FakeInterface& fake = *asFake(handle);
    std::unique_lock<std::mutex> lock(fake.mutex);
    fake.readPipes.push_back(pipe);
    if (fake.failReadsSilently > 0) {
        --fake.failReadsSilently;
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    const uint64_t aborts = fake.aborts;
    ++fake.blockedReads;
    fake.changed.notify_all();
    // No time-out of its own: only data or an abort ends it.
    fake.changed.wait(lock, [&] { return !fake.toHost.empty() || fake.aborts != aborts; });
    --fake.blockedReads;
    if (fake.toHost.empty()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    Bytes data = std::move(fake.toHost.front());
    fake.toHost.pop_front();
    const UINT n = std::min<UINT>(length, static_cast<UINT>(data.size()));
    std::memcpy(buffer, data.data(), n);
    *transferred = n;
    return TRUE;
}
BOOL WINAPI fakeWrite(KUSB_HANDLE handle, UCHAR pipe, PUCHAR buffer, UINT length, PUINT transferred, LPOVERLAPPED) {
    FakeInterface& fake = *asFake(handle);
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.written.emplace_back(pipe, Bytes(buffer, buffer + length));
    *transferred = length - std::min(length, fake.shortenWritesBy);
    return TRUE;
}
BOOL WINAPI fakeAbort(KUSB_HANDLE handle, UCHAR) {
    FakeInterface& fake = *asFake(handle);
    std::lock_guard<std::mutex> lock(fake.mutex);
    ++fake.aborts;
    fake.changed.notify_all();
    return TRUE;
}
BOOL WINAPI fakeFlush(KUSB_HANDLE, UCHAR) { return TRUE; }

int32_t fakeLoader(KUSB_DRIVER_API* api, int32_t driverId) {
    api->DriverId = driverId;
    api->Init = fakeInit;
    api->Free = fakeFree;
    api->ClaimInterface = fakeClaim;
    api->ReleaseInterface = fakeClaim;
    api->ControlTransfer = fakeControl;
    api->SetAltInterface = fakeSetAlt;
    api->QueryPipe = fakeQueryPipe;
    api->ReadPipe = fakeRead;
    api->WritePipe = fakeWrite;
    api->AbortPipe = fakeAbort;
    api->FlushPipe = fakeFlush;
    api->FunctionCount = 11;
    return api->FunctionCount;
}

// --- what the boot layer and the log hear --------------------------------------------

struct BootEvent {
    int32_t event;
    bool booted;
    bool operator==(const BootEvent&) const = default;
};

struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BootEvent> events;
    std::vector<morv::driver::Context*> contexts;  // the handler's context per event
    std::function<void(int32_t)> during;  // runs inside the handler, on the caller's thread
    std::vector<std::string> lines;

    size_t lineCount(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
    std::vector<BootEvent> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    bool waitForLine(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& line : lines) {
                if (line.find(text) != std::string::npos) return true;
            }
            return false;
        });
    }
    bool waitForEvents(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= count; });
    }
};
Heard heard;

struct LogSink {
    LOGG_callbackT record{&LogSink::onLine};
    static void onLine(uint8_t, const char* line, LOGG_callbackT*) {
        std::lock_guard<std::mutex> lock(heard.mutex);
        heard.lines.emplace_back(line);
        heard.changed.notify_all();
    }
};
LogSink logSink;
void* logSlot(void*) { return &logSink.record; }
void keepLog(void*) {}

}  // namespace

// The boot layer, as this executable has it.
int vpu_usb_boot_hotplug_handler(int32_t event, bool booted) {
    std::function<void(int32_t)> during;
    {
        std::lock_guard<std::mutex> lock(heard.mutex);
        during = heard.during;
    }
    if (during) during(event);
    std::lock_guard<std::mutex> lock(heard.mutex);
    heard.events.push_back({event, booted});
    heard.contexts.push_back(PZContext_GetCurrent());
    heard.changed.notify_all();
    return 0;
}

namespace {

const char* const kNames[] = {"control", "infrared", "depth", "visible", "client"};

class VpuUsbLibusbkTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Log lines of every thread that uses the default context (the
        // monitor's thread included).
        PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &logSlot, nullptr,
                          &keepLog);
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        {
            std::lock_guard<std::mutex> lock(heard.mutex);
            heard.events.clear();
            heard.contexts.clear();
            heard.lines.clear();
            heard.during = nullptr;
        }
        zsim::WinPnp::instance().reset();
        api_ = UsbAccess_DefaultSystemApi();
        zsim::WinPnpStack::fill(api_);
        UsbAccess_SetSystemApi(&api_);
        vpu_usb_libusbk_setDriverLoader(fakeLoader);
        vpu_usb_set_backend(&vpu_usb_libusbk_ops);
    }
    void TearDown() override {
        vpu_usb_libusbk_deinit();  // forgets what a test left recorded
        // A stop handed to the stopper thread (a removal's call was still in
        // the boot layer) closes the interfaces through the fakes below: it
        // ends before they go.
        EXPECT_TRUE(vpu_usb_libusbk_waitStopped(10000));
        vpu_usb_set_backend(nullptr);
        vpu_usb_libusbk_setDriverLoader(nullptr);
        UsbAccess_SetSystemApi(nullptr);
        std::lock_guard<std::mutex> lock(fakesMutex);
        fakes.clear();
    }

    // A device record as the monitor's list would hold it, and the fake
    // device behind its path.
    KLST_DEVINFO& interfaceOf(const std::string& serial, int index, bool booted) {
        auto info = std::make_unique<KLST_DEVINFO>();
        std::memset(info.get(), 0, sizeof(KLST_DEVINFO));
        std::snprintf(info->deviceId, sizeof(info->deviceId), "USB\\VID_F3A7&PID_0D51&MI_%02d\\7&%s&0&%04d", index,
                      serial.c_str(), index);
        std::snprintf(info->deviceDescription, sizeof(info->deviceDescription), "%s.%s", VPU_USB_INTERFACE_PREFIX,
                      kNames[index]);
        std::snprintf(info->serialNumber, sizeof(info->serialNumber), "%s", serial.c_str());
        std::snprintf(info->devicePath, sizeof(info->devicePath), "fake:%s:%d", serial.c_str(), index);
        auto fake = std::make_shared<FakeInterface>();
        fake->booted = booted;
        {
            std::lock_guard<std::mutex> lock(fakesMutex);
            fakes[info->devicePath] = fake;
        }
        records_.push_back(std::move(info));
        return *records_.back();
    }
    std::shared_ptr<FakeInterface> fakeOf(const KLST_DEVINFO& info) {
        std::lock_guard<std::mutex> lock(fakesMutex);
        return fakes[info.devicePath];
    }
    void arriveAll(const std::string& serial, std::vector<KLST_DEVINFO*>* out = nullptr) {
        for (int i = 0; i < 5; ++i) {
            KLST_DEVINFO& info = interfaceOf(serial, i, true);
            OnHotPlug(nullptr, &info, KHOT_EVENT_ARRIVAL);
            if (out != nullptr) out->push_back(&info);
        }
    }

    UsbAccessSystemApi api_{};
    std::vector<std::unique_ptr<KLST_DEVINFO>> records_;
};

TEST_F(VpuUsbLibusbkTest, ADeviceIsReportedWhenItsLastInterfaceIsOpen) {
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    struct Case {
        const char* what;
        bool booted;
        int interfaces;
        std::vector<int> alts;
    };
    const Case cases[] = {
        {"booted", true, 5, {1, 1, 1, 1, 0}},
        {"unbooted", false, 1, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<KLST_DEVINFO*> infos;
        for (int i = 0; i < c.interfaces; ++i) {
            KLST_DEVINFO& info = interfaceOf(c.what, i, c.booted);
            infos.push_back(&info);
            EXPECT_TRUE(heard.snapshot().empty()) << "reported before interface " << i;
            OnHotPlug(nullptr, &info, KHOT_EVENT_ARRIVAL);
        }
        EXPECT_EQ(heard.snapshot(), (std::vector<BootEvent>{{2, c.booted}}));
        for (int i = 0; i < c.interfaces; ++i) EXPECT_EQ(fakeOf(*infos[i])->alt, c.alts[i]) << i;

        // Pipes by direction: the write goes OUT, the read comes IN.
        auto fake = fakeOf(*infos[0]);
        fake->toHost.push_back({1, 2, 3});
        uint8_t buffer[8];
        uint32_t count = 0;
        EXPECT_EQ(vpu_usb_write_bulk(0, "ab", 2, &count), VPU_USB_OK);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(vpu_usb_read_bulk(0, buffer, sizeof(buffer), &count), VPU_USB_OK);
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(fake->written.back().first, 0x01);
        EXPECT_EQ(fake->readPipes.back(), 0x81);

        for (KLST_DEVINFO* info : infos) OnHotPlug(nullptr, info, KHOT_EVENT_REMOVAL);
        EXPECT_EQ(heard.snapshot().size(), 1u + c.interfaces) << "one removal per interface";
        EXPECT_FALSE(fake->open) << "a removed interface's handle is freed";
        std::lock_guard<std::mutex> lock(heard.mutex);
        heard.events.clear();
    }
    // An interface that could not be opened does not count towards a complete device.
    std::vector<KLST_DEVINFO*> infos;
    for (int i = 0; i < 5; ++i) {
        KLST_DEVINFO& info = interfaceOf("half", i, true);
        if (i == 2) fakeOf(info)->failInit = true;
        OnHotPlug(nullptr, &info, KHOT_EVENT_ARRIVAL);
    }
    EXPECT_TRUE(heard.snapshot().empty());
    EXPECT_EQ(heard.lineCount("Init device failed. ErrorCode: 0000001Fh"), 1u);
}

// Reads are cut to the IN pipe's packet size, which only its descriptor
// gives: an interface whose IN pipe claims none is not opened, nor read.
TEST_F(VpuUsbLibusbkTest, AnInterfaceWhoseInPipeClaimsNoPacketSizeIsNeitherOpenedNorRead) {
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    for (int i = 0; i < 4; ++i) OnHotPlug(nullptr, &interfaceOf("SN", i, true), KHOT_EVENT_ARRIVAL);
    KLST_DEVINFO& info = interfaceOf("SN", 4, true);
    const std::shared_ptr<FakeInterface> client = fakeOf(info);
    client->inPacketSize = 0;
    OnHotPlug(nullptr, &info, KHOT_EVENT_ARRIVAL);
    EXPECT_TRUE(heard.snapshot().empty()) << "a sensor with an interface it cannot read is not reported";
    EXPECT_EQ(heard.lineCount("Interface 4 (ZarnSensor.client, fake:SN:4) not opened: QueryPipe failed, "
                              "ErrorCode: 0000000Dh"), 1u);
    client->toHost.push_back({1});
    uint8_t buffer[8];
    uint32_t count = 0;
    EXPECT_EQ(vpu_usb_read_bulk(4, buffer, sizeof(buffer), &count), VPU_USB_ERR_NOT_REGISTERED);
    EXPECT_TRUE(client->readPipes.empty());
}

TEST_F(VpuUsbLibusbkTest, SensorChoiceWithAndWithoutASerialFilter) {
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    std::vector<KLST_DEVINFO*> first;
    arriveAll("SNA", &first);
    KLST_DEVINFO& second = interfaceOf("SNB", 0, true);
    OnHotPlug(nullptr, &second, KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(heard.lineCount("Skip (USB\\VID_F3A7&PID_0D51&MI_00\\7&SNB&0&0000)interface: SNB"), 1u);
    EXPECT_FALSE(fakeOf(second)->open);
    // The skipped sensor's removal leaves the used one's interface alone.
    OnHotPlug(nullptr, &second, KHOT_EVENT_REMOVAL);
    EXPECT_EQ(heard.lineCount("Skip ("), 2u);
    EXPECT_TRUE(fakeOf(*first[0])->open);
    uint32_t count = 0;
    EXPECT_EQ(vpu_usb_write_bulk(0, "x", 1, &count), VPU_USB_OK);
    EXPECT_EQ(heard.snapshot(), (std::vector<BootEvent>{{2, true}}));
    ASSERT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);
    EXPECT_FALSE(fakeOf(*first[0])->open) << "deinit closes what is left";

    // A filter naming the second sensor: the first is skipped.
    char serial[] = "SNB";
    vpu_usb_transport_params params{0, 0, serial};
    ASSERT_EQ(vpu_usb_libusbk_init(&params), VPU_USB_OK);
    OnHotPlug(nullptr, first[0], KHOT_EVENT_ARRIVAL);
    EXPECT_FALSE(fakeOf(*first[0])->open);
    std::vector<KLST_DEVINFO*> wanted;
    arriveAll("SNB", &wanted);
    EXPECT_TRUE(fakeOf(*wanted[4])->open);
    EXPECT_EQ(heard.snapshot().size(), 2u);
}

TEST_F(VpuUsbLibusbkTest, TransferResults) {
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    std::vector<KLST_DEVINFO*> infos;
    arriveAll("SN", &infos);
    auto client = fakeOf(*infos[4]);
    uint8_t buffer[16] = {};
    uint32_t count = 99;

    client->shortenWritesBy = 1;
    EXPECT_EQ(vpu_usb_write_bulk(4, "abcd", 4, &count), VPU_USB_ERR_TRANSFER);
    EXPECT_EQ(count, 99u) << "a short write leaves the count alone";
    client->toHost.push_back({7, 7});
    EXPECT_EQ(vpu_usb_read_bulk(4, buffer, sizeof(buffer), nullptr), VPU_USB_OK);
    EXPECT_EQ(client->toHost.size(), 0u) << "a read without a count still transfers";
    client->failReadsSilently = 1;
    client->toHost.push_back({5});
    ASSERT_EQ(vpu_usb_read_bulk(4, buffer, sizeof(buffer), &count), VPU_USB_ERR_TRANSFER)
        << "a failure the driver gives no reason for is not asked again";
    EXPECT_EQ(vpu_usb_read_bulk(4, buffer, sizeof(buffer), &count), VPU_USB_OK);
    EXPECT_EQ(count, 1u);

    EXPECT_EQ(vpu_usb_read_bulk(6, buffer, sizeof(buffer), &count), VPU_USB_ERR_NOT_REGISTERED);
    EXPECT_EQ(heard.lineCount("Attempted to operate on unregistered interface 6"), 1u);
    EXPECT_EQ(vpu_usb_close(4), VPU_USB_OK);
    EXPECT_EQ(vpu_usb_read_bulk(4, buffer, sizeof(buffer), &count), VPU_USB_ERR_NOT_REGISTERED);
    EXPECT_EQ(heard.lineCount("vpu_usb_read_bulk->VPU_USB_ERR_NO_DEVICE, interfaceIdx=4"), 1u);
    EXPECT_EQ(vpu_usb_write_bulk(4, "a", 1, &count), VPU_USB_ERR_NOT_REGISTERED);
    // The closed entry stays until its removal: a second arrival is refused.
    OnHotPlug(nullptr, infos[4], KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(heard.lineCount("WARNING: OnHotPlug insert called AND usbDevice already exists"), 1u);
}

TEST_F(VpuUsbLibusbkTest, InitAndDeinitRefuseADirtyState) {
    EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_ERR_INIT);
    EXPECT_EQ(heard.lineCount("libusbk: Driver in a dirty state -- not deiniting"), 1u);
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    EXPECT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_ERR_INIT);
    EXPECT_EQ(heard.lineCount("libusbk: Driver in a dirty state -- not reinitializing"), 1u);
    ASSERT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);
    // Entries recorded without a monitor also refuse a start.
    KLST_DEVINFO& info = interfaceOf("SN", 0, false);
    OnHotPlug(nullptr, &info, KHOT_EVENT_ARRIVAL);
    EXPECT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_ERR_INIT);
    EXPECT_EQ(heard.lineCount("not reinitializing"), 2u);
    OnHotPlug(nullptr, &info, KHOT_EVENT_REMOVAL);
    EXPECT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);

    char pattern[32];
    vpu_usb_libusbk_devicePattern(0x0A12, pattern, sizeof(pattern));
    EXPECT_STREQ(pattern, "USB\\VID_0a12") << "four digits, as the system writes vendor ids";
}

TEST_F(VpuUsbLibusbkTest, CloseEndsAReadPendingOnASilentInterface) {
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    std::vector<KLST_DEVINFO*> infos;
    arriveAll("SN", &infos);
    auto client = fakeOf(*infos[4]);
    int result = -1;
    std::thread reader([&] {
        uint8_t buffer[64];
        uint32_t count = 0;
        result = vpu_usb_read_bulk(4, buffer, sizeof(buffer), &count);
    });
    {
        std::unique_lock<std::mutex> lock(client->mutex);
        ASSERT_TRUE(client->changed.wait_for(lock, std::chrono::seconds(10), [&] { return client->blockedReads == 1; }));
    }
    EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);  // closes the interface under the reader
    // The fake's read has no time-out of its own: only the close's abort can end it.
    reader.join();
    EXPECT_EQ(result, VPU_USB_ERR_TRANSFER);
    EXPECT_FALSE(client->open);
    // The host library's own close after the stop finds it closed already, once.
    EXPECT_EQ(vpu_usb_close(4), VPU_USB_OK);
    EXPECT_EQ(heard.lineCount("unregistered interface"), 0u);
    EXPECT_EQ(vpu_usb_close(4), VPU_USB_ERR_NOT_REGISTERED);
    EXPECT_EQ(heard.lineCount("Attempted to operate on unregistered interface 4"), 1u);
}

// The monitor delivers the sensor; the boot layer's handler is still busy
// on the monitor's thread when the transport is stopped: an arrival that
// ends once the stop has begun, and a removal that waits for the stop to
// have returned (as the driver's removal handling waits for its shutdown).
TEST_F(VpuUsbLibusbkTest, DeinitWhileTheBootLayerRunsOnTheMonitorThread) {
    const zsim::PnpSensorIdentity identity{VPU_USB_SENSOR_VENDOR_ID, VPU_USB_SENSOR_PRODUCT_ID, VPU_USB_INTERFACE_PREFIX,
                                           "M", 1, 1};
    for (const int32_t blockedEvent : {2, 1}) {
        SCOPED_TRACE(blockedEvent);
        zsim::WinPnp::instance().reset();
        zsim::WinPnpStack stack;
        const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(zsim::WinPnp::instance(), identity, "SN", true);
        // Notices of the plug reach no monitor: none runs yet.
        ASSERT_TRUE(stack.waitDelivered(std::chrono::seconds(10)));
        for (uint32_t number : nodes) {
            std::lock_guard<std::mutex> lock(fakesMutex);
            fakes[zsim::WinPnp::instance().node(number)->interfaces[0].symbolicLink] =
                std::make_shared<FakeInterface>();
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool inHandler = false;
        bool release = false;
        {
            std::lock_guard<std::mutex> lock(heard.mutex);
            heard.events.clear();
            heard.during = [&](int32_t event) {
                if (event != blockedEvent) return;
                std::unique_lock<std::mutex> guard(mutex);
                inHandler = true;
                changed.notify_all();
                changed.wait(guard, [&] { return release; });
            };
        }
        ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
        if (blockedEvent == 1) {
            ASSERT_TRUE(heard.waitForEvents(1));
            zsim::WinPnp::instance().unplug(nodes[0]);
        }
        {
            std::unique_lock<std::mutex> guard(mutex);
            ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return inHandler; }));
            // An arrival ends as soon as the stop has begun; a removal only
            // after the stop has returned (below).
            if (blockedEvent == 2) release = true;
            changed.notify_all();
        }
        EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);
        // Neither call held the stop up: the arrival had been let go, and a
        // removal is never waited for.
        EXPECT_EQ(heard.lineCount("still runs after the stop's wait"), 0u);
        // Closed is said only once the monitor is: at once when the arrival
        // ended, after the handed-over stop when the removal still runs.
        const char* const closed = "HotK monitor closed successfully!";
        EXPECT_EQ(heard.lineCount(closed), blockedEvent == 2 ? 1u : 0u);
        if (blockedEvent == 1) {
            EXPECT_FALSE(vpu_usb_libusbk_waitStopped(0)) << "the stop is still under way";
            EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_ERR_INIT) << "and is not started twice";
        }
        auto alsoWaiting = std::async(std::launch::async, [] { return vpu_usb_libusbk_waitStopped(10000); });  // as at exit
        {
            std::lock_guard<std::mutex> guard(mutex);
            release = true;
            changed.notify_all();
        }
        EXPECT_TRUE(vpu_usb_libusbk_waitStopped(10000));
        EXPECT_TRUE(alsoWaiting.get());
        EXPECT_EQ(heard.lineCount(closed), 1u);
        EXPECT_EQ(usbtest::ownWindow(HOTK_WINDOW_CLASS), nullptr) << "the monitor's window is gone";
        EXPECT_EQ(heard.snapshot().front(), (BootEvent{2, true}));
        std::lock_guard<std::mutex> lock(heard.mutex);
        heard.during = nullptr;
        heard.lines.clear();
    }
}

// The sensor plugged under the simulated plug and play, each interface's
// fake device behind its symbolic link.
std::vector<uint32_t> plugSensor(zsim::WinPnpStack& stack, const std::string& serial, bool booted = true) {
    const zsim::PnpSensorIdentity identity{VPU_USB_SENSOR_VENDOR_ID, VPU_USB_SENSOR_PRODUCT_ID,
                                           VPU_USB_INTERFACE_PREFIX, "M", 1, 1};
    const std::vector<uint32_t> nodes = zsim::pnpPlugSensor(zsim::WinPnp::instance(), identity, serial, booted);
    EXPECT_TRUE(stack.waitDelivered(std::chrono::seconds(10)));
    std::lock_guard<std::mutex> lock(fakesMutex);
    for (uint32_t number : nodes) {
        (fakes[zsim::WinPnp::instance().node(number)->interfaces[0].symbolicLink] = std::make_shared<FakeInterface>())
            ->booted = booted;
    }
    return nodes;
}

std::shared_ptr<FakeInterface> fakeOfNode(uint32_t number) {
    std::lock_guard<std::mutex> lock(fakesMutex);
    return fakes[zsim::WinPnp::instance().node(number)->interfaces[0].symbolicLink];
}

// A driver in a context of its own starts the transport: the monitor's
// thread reaches its boot layer in that context, for arrivals and removals.
TEST_F(VpuUsbLibusbkTest, MonitorCallbacksRunInTheContextThatStartedTheTransport) {
    zsim::WinPnpStack stack;
    const std::vector<uint32_t> nodes = plugSensor(stack, "SN");
    auto context = std::make_shared<morv::driver::Context>();
    {
        morv::driver::ScopedThreadContext scope(context);
        ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    }
    ASSERT_TRUE(heard.waitForEvents(1));
    zsim::WinPnp::instance().unplug(nodes[4]);
    ASSERT_TRUE(heard.waitForEvents(2));
    {
        std::lock_guard<std::mutex> lock(heard.mutex);
        EXPECT_EQ(heard.events[0], (BootEvent{2, true}));
        EXPECT_EQ(heard.events[1], (BootEvent{1, false}));
        for (morv::driver::Context* seen : heard.contexts) EXPECT_EQ(seen, context.get());
    }
    morv::driver::ScopedThreadContext scope(context);
    EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);
}

// The driver restarting its transport from the boot layer's own call on the
// monitor's thread (a deinit, then an init, or a second deinit): nothing
// waits for that call to end. The old monitor stops when the init wants it
// back, the new one reports the sensor again, and a deinit left pending
// when the call returns stops the monitor then.
TEST_F(VpuUsbLibusbkTest, DeinitAndInitFromTheBootLayersOwnCallWaitForNothing) {
    for (const bool initAgain : {true, false}) {
        SCOPED_TRACE(initAgain);
        zsim::WinPnpStack stack;
        plugSensor(stack, "SN");
        std::mutex mutex;
        std::condition_variable changed;
        bool started = false, entered = false;  // the first report can come before init has returned
        std::vector<int> results;
        {
            std::lock_guard<std::mutex> lock(heard.mutex);
            heard.during = [&](int32_t) {
                {
                    std::unique_lock<std::mutex> guard(mutex);
                    if (std::exchange(entered, true)) return;
                    changed.wait_for(guard, std::chrono::seconds(10), [&] { return started; });
                }
                const int stop = vpu_usb_libusbk_deinit();
                const int again = initAgain ? vpu_usb_libusbk_init(nullptr) : vpu_usb_libusbk_deinit();
                std::lock_guard<std::mutex> guard(mutex);
                results = {stop, again};
                changed.notify_all();
            };
        }
        ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
        std::unique_lock<std::mutex> guard(mutex);
        started = true;
        changed.notify_all();
        if (!changed.wait_for(guard, std::chrono::seconds(10), [&] { return !results.empty(); })) {
            ADD_FAILURE() << "the monitor's thread waits on itself";
            std::abort();  // the stuck thread holds what teardown needs
        }
        EXPECT_EQ(results, (std::vector<int>{VPU_USB_OK, initAgain ? VPU_USB_OK : VPU_USB_ERR_INIT}));
        guard.unlock();  // the new monitor's report goes through `during` too
        const size_t arrivals = initAgain ? 2 : 1;
        if (initAgain) {
            ASSERT_TRUE(heard.waitForEvents(arrivals)) << "the new monitor reports the sensor";
            EXPECT_EQ(vpu_usb_libusbk_deinit(), VPU_USB_OK);
        }
        EXPECT_TRUE(vpu_usb_libusbk_waitStopped(10000));
        EXPECT_TRUE(heard.waitForLine("HotK monitor closed successfully!"));  // said just after the stop
        EXPECT_EQ(heard.snapshot(), std::vector<BootEvent>(arrivals, BootEvent{2, true}));
        EXPECT_EQ(heard.lineCount("HotK monitor closed successfully!"), arrivals);
        EXPECT_TRUE(usbtest::monitorWindowGone());
        std::lock_guard<std::mutex> lock(heard.mutex);
        heard.during = nullptr;
        heard.events.clear();
        heard.lines.clear();
    }
}

// An unbooted sensor that cannot be opened is not used nor tried again; its
// removal is told like any other, and the next sensor plugged in is used.
TEST_F(VpuUsbLibusbkTest, AfterASensorThatCouldNotBeOpenedIsUnpluggedTheNextOneIsUsed) {
    zsim::WinPnpStack stack;
    const std::vector<uint32_t> first = plugSensor(stack, "SNA", false);
    fakeOfNode(first[0])->failInits = 1;
    ASSERT_EQ(vpu_usb_libusbk_init(nullptr), VPU_USB_OK);
    ASSERT_TRUE(heard.waitForLine("Init failed, ErrorCode: 00000020h; not tried again until it is plugged in anew"));
    zsim::WinPnp::instance().unplug(first[0]);
    ASSERT_TRUE(heard.waitForEvents(1));
    const std::vector<uint32_t> second = plugSensor(stack, "SNB", false);
    ASSERT_TRUE(heard.waitForEvents(2));
    EXPECT_EQ(heard.snapshot(), (std::vector<BootEvent>{{1, false}, {2, false}}));
}

}  // namespace
