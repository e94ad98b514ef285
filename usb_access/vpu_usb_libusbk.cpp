#include "usb_access/vpu_usb_libusbk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/context.h"
#include "runtime/logger.h"

const char* const VPU_USB_INTERFACE_PREFIX = "ZarnSensor";

const vpu_usb_backend_ops vpu_usb_libusbk_ops = {
    vpu_usb_libusbk_init,      vpu_usb_libusbk_deinit,    vpu_usb_libusbk_open,
    vpu_usb_libusbk_close,     vpu_usb_libusbk_write_bulk, vpu_usb_libusbk_read_bulk,
    vpu_usb_libusbk_query_attached_devices, vpu_usb_libusbk_unsupported, vpu_usb_libusbk_read_forward,
};

// Messages of the hot-plug callback carry its name, from whichever helper.
#define HOTPLUG_LOG(level, ...) LOGG_print((level), 0, LOGG_SIDE_HOST_E, "", "OnHotPlug", __LINE__, __VA_ARGS__)

namespace {

// How long a close aborts before it looks again for transfers still using
// the handle (one that was about to enter the driver when the pipes were
// aborted is caught by the next round).
constexpr std::chrono::milliseconds kAbortRound{50};
// How long deinit waits for a call into the boot layer in flight.
constexpr std::chrono::milliseconds kStopBound{10000};

constexpr int kBootedInterfaceCount = 5;
constexpr uint8_t kClientIndex = 4;

struct UsbDevice {
    UsbDeviceHandle device;  // handle and table first
    KLST_DEVINFO* devInfo;
    bool booted;
    uint8_t inPipe;
    uint8_t outPipe;
};

// Bytes of the IN pipe read before a caller asked for them. A driver is
// never asked for less than a whole packet (libusb0 fails such a read and
// loses the packet; libusbK and WinUSB keep or drop its rest by pipe
// policy), nor for more than the caller still wants rounded up to a packet
// (a longer request can wait for a device transfer that never comes, since
// a device need not end whole packets with a zero-length one). So the part
// of a read that is less than a packet is asked for as one packet, into
// here, and what it brought beyond the caller's want waits here for the
// next read.
struct ReadAhead {
    std::vector<uint8_t> bytes;
    uint32_t begin = 0;
    uint32_t end = 0;
    bool endsTransfer = false;  // its last byte ended a device transfer

    void drop() { begin = end = 0; }
};

// One recorded interface. `device.handle` and the flags are guarded by
// `mutex`; the handle stays valid while `users` is above zero.
struct InterfaceEntry {
    UsbDevice usb{};
    uint32_t packetSize = 0;  // of the IN pipe, from its descriptor; 0 until its pipe is known
    std::string serial;  // the sensor it belongs to
    bool ready = false;  // opened with its alternate setting and pipes
    bool closing = false;
    int users = 0;
    std::mutex mutex;
    std::condition_variable idle;
    // One read at a time takes the IN pipe's bytes, in order (each
    // interface has one reading thread in this system: the client's read
    // thread, a connection's receive thread, the boot layer; the lock keeps
    // any other from splitting a packet between two callers).
    std::mutex readMutex;
    ReadAhead ahead;  // under readMutex
    // Under readMutex: a driver read that failed after it had delivered
    // bytes; the next read returns it.
    DWORD failure = ERROR_SUCCESS;
};
using EntryPtr = std::shared_ptr<InterfaceEntry>;

struct BackEnd {
    std::mutex mutex;  // the map and the texts below
    std::map<uint32_t, EntryPtr> interfaceMap;
    // Interfaces a stop closed and forgot: the host library's own close of
    // them afterwards finds them closed already, not unknown.
    std::set<uint32_t> closedByStop;
    std::optional<std::string> serialFilter;
    std::optional<std::string> firstSerial;
    vpu_usb_transport_params params{};
    KHOT_HANDLE hotPlugMonitor = nullptr;
    // The driver context of whoever started the monitor: the monitor's own
    // thread has none, and the boot layer and the log find their state
    // through the calling thread's context.
    PZContextHolder clientContext;

    // Calls into the boot layer from OnHotPlug, and whether new ones may start.
    std::mutex flightMutex;
    std::condition_variable flightDone;
    int inFlight = 0;
    int32_t flightEvent = 0;  // the event of the call in flight
    std::thread::id flightThread;  // the monitor's thread, while a call is in flight
    bool stopping = false;
    // A stop asked for from inside the call in flight, on the monitor's
    // thread: it runs when that call returns, or at once when an init from
    // the same call wants the monitor back (under flightMutex).
    KHOT_HANDLE deferredStop = nullptr;

    // A stop handed over by deinit (see the header). The thread object is
    // joined or replaced by one caller at a time, under stopperMutex (taken
    // before mutex, never after it).
    std::mutex stopperMutex;
    std::thread stopper;
    bool stopperRunning = false;       // under mutex
    bool stopFailed = false;           // under mutex: the stopper's HotK_Free failed
    std::condition_variable stopped;  // with mutex: the monitor or the stopper ended
};

// Never destroyed: an exit from any thread (the display library ends the
// process when its server goes away) leaves the connection layer's threads
// writing through it while static objects are torn down.
BackEnd& backEnd() {
    static BackEnd* state = new BackEnd;
    return *state;
}

std::atomic<VpuUsbDriverLoader> driverLoader{nullptr};

void loadDriverApi(KUSB_DRIVER_API* table, int32_t driverId) {
    std::memset(table, 0, sizeof(*table));
    VpuUsbDriverLoader loader = driverLoader.load();
    if (loader != nullptr) {
        loader(table, driverId);
    } else {
        LibK_LoadDriverApi(table, driverId);
    }
}

EntryPtr lookup(uint8_t index) {
    BackEnd& b = backEnd();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto found = b.interfaceMap.find(index);
    return found == b.interfaceMap.end() ? nullptr : found->second;
}

// Marks a transfer as a user of the entry's handle; false when it has none,
// is closing, or was not opened with its pipes (an interface that failed on
// the way keeps its handle until its removal, without pipes to move bytes on).
bool beginUse(InterfaceEntry& entry) {
    std::lock_guard<std::mutex> lock(entry.mutex);
    if (entry.usb.device.handle == nullptr || entry.closing || !entry.ready) return false;
    ++entry.users;
    return true;
}

void endUse(InterfaceEntry& entry) {
    std::lock_guard<std::mutex> lock(entry.mutex);
    if (--entry.users == 0) entry.idle.notify_all();
}

// Aborts the pipes until no transfer uses the handle, then frees it.
void closeEntry(InterfaceEntry& entry) {
    KUSB_HANDLE handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(entry.mutex);
        if (entry.usb.device.handle == nullptr || entry.closing) return;
        entry.closing = true;
        handle = entry.usb.device.handle;
    }
    KUSB_DRIVER_API& usb = entry.usb.device.Usb;
    std::unique_lock<std::mutex> lock(entry.mutex);
    while (entry.users > 0) {
        lock.unlock();
        if (usb.AbortPipe != nullptr) {
            usb.AbortPipe(handle, entry.usb.inPipe);
            usb.AbortPipe(handle, entry.usb.outPipe);
        }
        lock.lock();
        // Reason for the wait: an aborted transfer ends with an error.
        entry.idle.wait_for(lock, kAbortRound, [&] { return entry.users == 0; });
    }
    lock.unlock();
    if (usb.Free != nullptr) usb.Free(handle);
    {
        // What was read ahead belongs to the handle that is gone.
        std::lock_guard<std::mutex> reading(entry.readMutex);
        entry.ahead.drop();
        entry.failure = ERROR_SUCCESS;
    }
    lock.lock();
    entry.usb.device.handle = nullptr;
    entry.ready = false;
    entry.closing = false;
}

// Fills `buffer` from what was read ahead and from the IN pipe. The driver
// is asked for whole packets only, and for no more than the bytes still
// wanted rounded up to a packet: the whole packets of what is wanted go
// straight into the caller's buffer, a rest of less than a packet is asked
// for as one packet through the read-ahead buffer. Like a driver's read it
// ends when the buffer is full or a device transfer has ended; a
// zero-length packet ends a transfer but delivers nothing, so it is passed
// over until a byte has come. Whatever a driver says it moved is delivered,
// a failed read's too (a time-out ends a read with what it had). A failure
// is returned by the read it happened in when that delivered nothing (false,
// `error` its last error); otherwise that read succeeds with its bytes and
// the failure is returned by the next read that finds nothing read ahead,
// once. The caller holds readMutex and a use of the handle.
bool readPackets(InterfaceEntry& entry, uint8_t* buffer, uint32_t length, uint32_t* got, DWORD* error) {
    ReadAhead& ahead = entry.ahead;
    const uint32_t packet = entry.packetSize;  // never 0: such a pipe is not opened
    *got = 0;
    while (*got < length) {
        if (ahead.begin < ahead.end) {
            const uint32_t count = std::min(length - *got, ahead.end - ahead.begin);
            std::memcpy(buffer + *got, ahead.bytes.data() + ahead.begin, count);
            ahead.begin += count;
            *got += count;
            if (ahead.begin == ahead.end && ahead.endsTransfer) break;
            continue;
        }
        if (entry.failure != ERROR_SUCCESS) {
            if (*got != 0) break;  // the bytes that came before it first
            *error = entry.failure;
            entry.failure = ERROR_SUCCESS;
            return false;
        }
        const uint32_t room = length - *got;
        const bool direct = room >= packet;
        if (!direct && ahead.bytes.size() != packet) ahead.bytes.assign(packet, 0);
        uint8_t* target = direct ? buffer + *got : ahead.bytes.data();
        const uint32_t ask = direct ? room - room % packet : packet;
        UINT transferred = 0;
        const BOOL ok =
            entry.usb.device.Usb.ReadPipe(entry.usb.device.handle, entry.usb.inPipe, target, ask, &transferred, nullptr);
        if (!ok) {
            // A failure the driver gives no reason for is a failure still,
            // not a read to ask for again.
            const DWORD reason = GetLastError();
            entry.failure = reason != ERROR_SUCCESS ? reason : ERROR_GEN_FAILURE;
        }
        // A driver that claims more than was asked is believed no further.
        if (transferred > ask) {
            LOGG_print(LOG_ERROR_E, 0, LOGG_SIDE_HOST_E, "", "vpu_usb_libusbk_read_bulk", __LINE__,
                       "vpu_usb_read_bulk: the driver claims %u bytes of a read of %u; %u taken\n",
                       static_cast<unsigned>(transferred), static_cast<unsigned>(ask), static_cast<unsigned>(ask));
        }
        const uint32_t count = std::min<uint32_t>(transferred, ask);
        const bool ended = !ok || count < ask;  // a short or zero-length packet came, or the read failed
        if (direct) {
            *got += count;
        } else {
            ahead.begin = 0;
            ahead.end = count;
            ahead.endsTransfer = ended;
        }
        if (!ok || (count == 0 && *got == 0)) continue;
        if (count == 0 || (direct && ended)) break;
    }
    return true;
}

int indexOf(const char* description) {
    if (std::strcmp(description, "VPU_control") == 0) return 0;
    static const char* const kNames[] = {"control", "infrared", "depth", "visible", "client"};
    const size_t prefix = std::strlen(VPU_USB_INTERFACE_PREFIX);
    if (std::strncmp(description, VPU_USB_INTERFACE_PREFIX, prefix) != 0 || description[prefix] != '.') return -1;
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(description + prefix + 1, kNames[i]) == 0) return i;
    }
    return -1;
}

// A KLST_DEVINFO text, read no further than its field.
std::string fieldText(const char (&field)[256]) { return std::string(field, strnlen(field, sizeof(field))); }

// Counts a call into the boot layer; false once deinit has begun.
bool enterBootLayer(int32_t event) {
    BackEnd& b = backEnd();
    std::lock_guard<std::mutex> lock(b.flightMutex);
    if (b.stopping) return false;
    ++b.inFlight;
    b.flightEvent = event;
    b.flightThread = std::this_thread::get_id();
    return true;
}

bool stopAndRecord(KHOT_HANDLE monitor);

void leaveBootLayer() {
    BackEnd& b = backEnd();
    KHOT_HANDLE deferred = nullptr;
    {
        std::lock_guard<std::mutex> lock(b.flightMutex);
        if (--b.inFlight != 0) return;
        b.flightThread = std::thread::id();
        std::swap(deferred, b.deferredStop);
        b.flightDone.notify_all();
    }
    if (deferred != nullptr) stopAndRecord(deferred);
}

// Whether the caller is the monitor's thread inside a call into the boot
// layer: nothing it calls may wait for that call to end. Under flightMutex.
bool insideBootLayerCallLocked(const BackEnd& b) {
    return b.inFlight != 0 && b.flightThread == std::this_thread::get_id();
}

bool insideBootLayerCall() {
    BackEnd& b = backEnd();
    std::lock_guard<std::mutex> lock(b.flightMutex);
    return insideBootLayerCallLocked(b);
}

void callBootLayer(int32_t event, bool booted) {
    if (!enterBootLayer(event)) return;
    vpu_usb_boot_hotplug_handler(event, booted);
    leaveBootLayer();
}

// An interface that could not be opened keeps its entry, with or without
// its handle, until its removal: its sensor is not reported complete, and
// the interface is not tried again until it is plugged in anew.
void openFailed(uint8_t index, KLST_DEVINFO* devInfo, const char* step, DWORD error) {
    HOTPLUG_LOG(LOG_ERROR_E, "Interface %d (%s, %s) not opened: %s failed, ErrorCode: %08Xh; not tried again until "
                "it is plugged in anew\n", index, fieldText(devInfo->deviceDescription).c_str(),
                fieldText(devInfo->devicePath).c_str(), step, static_cast<unsigned>(error));
}

void onArrival(const std::string& serial, KLST_DEVINFO* devInfo, uint8_t index) {
    BackEnd& b = backEnd();
    const std::string deviceId = fieldText(devInfo->deviceId);
    const std::string description = fieldText(devInfo->deviceDescription);
    EntryPtr entry;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (!b.firstSerial) {
            if (serial.empty()) {
                HOTPLUG_LOG(LOG_ERROR_E, "attachSerial failed.\n");
            } else {
                b.firstSerial = serial;
            }
        }
        if (!b.serialFilter && b.firstSerial && *b.firstSerial != serial) {
            HOTPLUG_LOG(LOG_ERROR_E, "Skip (%s)interface: %s\n",
                       deviceId.c_str(), serial.c_str());
            return;
        }
        if (b.interfaceMap.count(index) != 0) {
            HOTPLUG_LOG(LOG_WARN_E,
                       "WARNING: OnHotPlug insert called AND usbDevice already exists\n");
            return;
        }
        HOTPLUG_LOG(LOG_INFO_E, "Found (%s)interface: %s (%d)\n",
                   deviceId.c_str(), description.c_str(), index);
        entry = std::make_shared<InterfaceEntry>();
        entry->usb.devInfo = devInfo;
        entry->serial = serial;
        b.interfaceMap.emplace(index, entry);
        b.closedByStop.erase(index);
    }
    // Opening runs on the monitor's thread only, before any transfer can
    // see a handle: the entry's lock guards just the handle's publication.
    UsbDevice& usb = entry->usb;
    loadDriverApi(&usb.device.Usb, devInfo->driverId);
    KUSB_HANDLE handle = nullptr;
    if (usb.device.Usb.Init == nullptr || !usb.device.Usb.Init(&handle, devInfo)) {
        const DWORD error = GetLastError();
        HOTPLUG_LOG(LOG_ERROR_E, "Init device failed. ErrorCode: %08Xh\n", static_cast<unsigned>(error));
        openFailed(index, devInfo, "Init", error);
        return;
    }
    UsbDeviceHandle probe{handle, usb.device.Usb};
    usb.booted = isDeviceBooted(&probe);
    const uint8_t alt = usb.booted && index != kClientIndex ? 1 : 0;
    HOTPLUG_LOG(LOG_ERROR_E, "Setting alt %d on %s / %s \n", alt,
               description.c_str(), usb.booted ? "True" : "False");
    bool ready = false;
    const char* failedStep = nullptr;
    DWORD failure = 0;
    if (!usb.device.Usb.SetAltInterface(handle, alt)) {
        failure = GetLastError();
        failedStep = "SetAltInterface";
        HOTPLUG_LOG(LOG_ERROR_E, "Error: usbDevice->Usb.SetAltInterface ret=%d \n", static_cast<int>(failure));
    } else {
        if (index == 0) usb.device.Usb.ClaimInterface(handle, 0, TRUE);
        bool haveIn = false, haveOut = false;
        WINUSB_PIPE_INFORMATION pipe{};
        for (UCHAR i = 0; usb.device.Usb.QueryPipe(handle, alt, i, &pipe); ++i) {
            HOTPLUG_LOG(LOG_INFO_E,
                       "PipeId=0x%02X PipeType=0x%02X Interval=%u MaximumPacketSize=%u\n", pipe.PipeId,
                       static_cast<unsigned>(pipe.PipeType), pipe.Interval, pipe.MaximumPacketSize);
            // Pipes by their direction: the first IN pipe reads, the last OUT pipe writes.
            if ((pipe.PipeId & 0x80) != 0) {
                if (!haveIn) {
                    usb.inPipe = pipe.PipeId;
                    entry->packetSize = pipe.MaximumPacketSize;
                }
                haveIn = true;
            } else {
                usb.outPipe = pipe.PipeId;
                haveOut = true;
            }
        }
        usb.device.Usb.AbortPipe(handle, usb.inPipe);
        usb.device.Usb.FlushPipe(handle, usb.inPipe);
        usb.device.Usb.AbortPipe(handle, usb.outPipe);
        usb.device.Usb.FlushPipe(handle, usb.outPipe);
        // The reads are cut to the IN pipe's packet size, which only its
        // descriptor gives: a pipe that claims none cannot be read.
        ready = haveIn && haveOut && entry->packetSize != 0;
        if (!ready) {
            failure = haveIn && haveOut ? ERROR_INVALID_DATA : ERROR_NO_MORE_ITEMS;
            failedStep = "QueryPipe";
        }
    }
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        usb.device.handle = handle;
        entry->ready = ready;
    }
    if (!ready) {
        openFailed(index, devInfo, failedStep, failure);
        return;
    }

    // Complete when every interface of the device is open with its pipes.
    int open = 0;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        for (const auto& [i, e] : b.interfaceMap) {
            std::lock_guard<std::mutex> entryLock(e->mutex);
            if (e->ready && e->serial == serial) ++open;
        }
    }
    if (open == (usb.booted ? kBootedInterfaceCount : 1)) {
        HOTPLUG_LOG(LOG_INFO_E, "Found all interfaces for %s device\n",
                   usb.booted ? "booted" : "unbooted");
        callBootLayer(2, usb.booted);
    }
}

void onRemoval(const std::string& serial, KLST_DEVINFO* devInfo, uint8_t index) {
    BackEnd& b = backEnd();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        auto found = b.interfaceMap.find(index);
        // Without a filter, the interface of a sensor that was skipped at its
        // arrival is not the recorded one: leave the recorded one alone.
        if (!b.serialFilter && (found == b.interfaceMap.end() || found->second->serial != serial)) {
            HOTPLUG_LOG(LOG_ERROR_E, "Skip (%s)interface: %s\n",
                       fieldText(devInfo->deviceId).c_str(), serial.c_str());
            return;
        }
    }
    callBootLayer(1, false);
    vpu_usb_close(index);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.interfaceMap.erase(index);
    b.firstSerial.reset();
}

// Closes and forgets every recorded interface (the monitor is gone).
void forgetInterfaces() {
    BackEnd& b = backEnd();
    std::map<uint32_t, EntryPtr> all;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        all.swap(b.interfaceMap);
        b.firstSerial.reset();
        for (const auto& entry : all) b.closedByStop.insert(entry.first);
    }
    for (auto& [index, entry] : all) closeEntry(*entry);
}

// The monitor's stop once no call into the boot layer is in flight.
bool stopMonitor(KHOT_HANDLE monitor) {
    if (!HotK_Free(monitor)) {
        LOGG_print(LOG_ERROR_E, 0, LOGG_SIDE_HOST_E, "", "vpu_usb_libusbk_deinit", __LINE__,
                   "HotK_Free failed. ErrorCode: %08Xh\n", static_cast<unsigned>(GetLastError()));
        return false;
    }
    forgetInterfaces();
    return true;
}

// Stops the monitor and, once HotK_Free has succeeded, forgets it and says
// so; a failure is logged as an error and leaves the monitor recorded (and
// the boot layer reachable again), so that the caller or a later stop hears
// of it.
bool stopAndRecord(KHOT_HANDLE monitor) {
    BackEnd& b = backEnd();
    if (!stopMonitor(monitor)) {
        {
            std::lock_guard<std::mutex> lock(b.flightMutex);
            b.stopping = false;
        }
        std::lock_guard<std::mutex> lock(b.mutex);
        b.stopFailed = true;
        b.stopped.notify_all();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.serialFilter.reset();
        b.hotPlugMonitor = nullptr;
        b.clientContext.reset();
        b.stopped.notify_all();
    }
    LOGG_print(LOG_INFO_E, 0, LOGG_SIDE_HOST_E, "", "vpu_usb_libusbk_deinit", __LINE__,
               "HotK monitor closed successfully!\n");
    return true;
}

// Joins the stopper of an earlier handed-over stop, waiting for it if it is
// still at work; with `onlyEnded`, only one that has done its work (a new
// stop may have been handed over since the caller looked).
void joinStopperLocked(bool onlyEnded) {
    BackEnd& b = backEnd();
    if (!b.stopper.joinable() || b.stopper.get_id() == std::this_thread::get_id()) return;
    if (onlyEnded) {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (b.stopperRunning) return;
    }
    b.stopper.join();
}

void joinStopper(bool onlyEnded) {
    std::lock_guard<std::mutex> lock(backEnd().stopperMutex);
    joinStopperLocked(onlyEnded);
}

}  // namespace

void vpu_usb_libusbk_setDriverLoader(VpuUsbDriverLoader loader) { driverLoader.store(loader); }

void vpu_usb_libusbk_devicePattern(uint16_t vendorId, char* out, size_t size) {
    std::snprintf(out, size, "USB\\VID_%04x", vendorId);
}

int vpu_usb_libusbk_init(vpu_usb_transport_params* params) {
    BackEnd& b = backEnd();
    if (insideBootLayerCall()) {
        // A deinit from this same call left its stop for the call's end: the
        // monitor is wanted back, so the stop runs now (on this thread the
        // monitor ends its window only once the current report is done, and
        // a new registration calls that off). A stopper handed a stop by
        // another thread waits for this very call: it is not waited for, and
        // the monitor it has still to stop makes this start dirty below.
        KHOT_HANDLE deferred = nullptr;
        {
            std::lock_guard<std::mutex> lock(b.flightMutex);
            std::swap(deferred, b.deferredStop);
        }
        if (deferred != nullptr) stopAndRecord(deferred);
    } else {
        // A stop handed over by the last deinit ends first (bounded by the
        // boot layer call it waits for).
        joinStopper(false);
    }
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (params != nullptr) {
            b.params = *params;
            if (params->serialNumber != nullptr) {
                b.serialFilter.reset();
                if (params->serialNumber[0] == '\0') {
                    LOGG_PRINT(LOG_ERROR_E, 0, "attachSerial failed.\n");
                } else {
                    b.serialFilter = std::string(params->serialNumber, strnlen(params->serialNumber, 255));
                }
            }
        }
        if (b.hotPlugMonitor != nullptr || !b.interfaceMap.empty()) {
            LOGG_PRINT(LOG_ERROR_E, 0, "libusbk: Driver in a dirty state -- not reinitializing\n");
            return VPU_USB_ERR_INIT;
        }
        b.closedByStop.clear();
    }
    {
        std::lock_guard<std::mutex> lock(b.flightMutex);
        b.stopping = false;
    }
    HotK_Params hotParams;
    std::memset(&hotParams, 0, sizeof(hotParams));
    hotParams.flags = KHOT_FLAG_PLUG_ALL_ON_INIT;
    hotParams.onHotPlug = OnHotPlug;
    vpu_usb_libusbk_devicePattern(VPU_USB_SENSOR_VENDOR_ID, hotParams.pattern.deviceIdPattern,
                                  sizeof(hotParams.pattern.deviceIdPattern));
    std::strcpy(hotParams.pattern.interfaceGuidPattern, "*");
    LOGG_PRINT(LOG_INFO_E, 0, "Initialize a HotK device notification event monitor..\n");
    LOGG_PRINT(LOG_INFO_E, 0, "Looking for 'DeviceInterfaceGUID's matching the pattern '%s'..\n",
               hotParams.pattern.interfaceGuidPattern);
    KHOT_HANDLE monitor = nullptr;
    {
        // Taken before the first report can arrive on the monitor's thread.
        std::unique_ptr<PZContextHolder> current(PZContext_AcquireCurrent());
        std::lock_guard<std::mutex> lock(b.mutex);
        b.clientContext = *current;
    }
    if (!HotK_Init(&monitor, &hotParams)) {
        LOGG_PRINT(LOG_ERROR_E, 0, "HotK_Init failed. ErrorCode: %08Xh\n", static_cast<unsigned>(GetLastError()));
        std::lock_guard<std::mutex> lock(b.mutex);
        b.clientContext.reset();
        return VPU_USB_ERR_INIT;
    }
    std::lock_guard<std::mutex> lock(b.mutex);
    b.hotPlugMonitor = monitor;
    return VPU_USB_OK;
}

int vpu_usb_libusbk_deinit() {
    BackEnd& b = backEnd();
    KHOT_HANDLE monitor = nullptr;
    bool stopUnderWay = false;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        monitor = b.hotPlugMonitor;
        stopUnderWay = b.stopperRunning;
    }
    // A stop handed over already is not started twice.
    if (monitor == nullptr || stopUnderWay) {
        LOGG_PRINT(LOG_ERROR_E, 0, "libusbk: Driver in a dirty state -- not deiniting\n");
        return VPU_USB_ERR_INIT;
    }
    bool settled = false;
    bool deferred = false;
    {
        std::unique_lock<std::mutex> lock(b.flightMutex);
        if (b.deferredStop != nullptr) {
            LOGG_PRINT(LOG_ERROR_E, 0, "libusbk: Driver in a dirty state -- not deiniting\n");
            return VPU_USB_ERR_INIT;
        }
        b.stopping = true;
        // Called from the boot layer's own call on the monitor's thread,
        // which cannot end while this waits: the stop runs when it returns.
        deferred = insideBootLayerCallLocked(b);
        if (deferred) b.deferredStop = monitor;
    }
    if (deferred) {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.stopFailed = false;
        return VPU_USB_OK;
    }
    bool outlasted = false;
    {
        std::unique_lock<std::mutex> lock(b.flightMutex);
        // An arrival in flight is a bring-up still talking to the device: it
        // is waited for. A removal in flight may be waiting for our own
        // caller's cleanup: it is not.
        outlasted = !b.flightDone.wait_for(lock, kStopBound, [&] { return b.inFlight == 0 || b.flightEvent == 1; });
        settled = b.inFlight == 0;
    }
    // A shutdown held up for the whole bound is worth a line of its own.
    if (outlasted) LOGG_PRINT(LOG_WARN_E, 0, "libusbk: a hot-plug call still runs after the stop's wait for it\n");
    if (settled) return stopAndRecord(monitor) ? VPU_USB_OK : VPU_USB_ERR_INIT;

    // The call in flight may be waiting for our own caller: stop as soon as
    // it returns, without holding the caller up. The monitor stays recorded
    // until HotK_Free has succeeded: until then the success line is not
    // logged, a new start is refused as dirty, and vpu_usb_libusbk_waitStopped
    // tells whether the stop failed.
    std::lock_guard<std::mutex> threadLock(b.stopperMutex);
    // No stop is under way (looked at above): an earlier stopper has done its work.
    joinStopperLocked(false);
    PZContextHolder context;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.stopperRunning = true;
        b.stopFailed = false;
        context = b.clientContext;
    }
    b.stopper = std::thread([monitor, context] {
        // Its lines go where the client's own go.
        morv::driver::ScopedThreadContext scope(context);
        BackEnd& state = backEnd();
        {
            std::unique_lock<std::mutex> lock(state.flightMutex);
            // Reason for the wait: the boot layer's call ends once the
            // cleanup that called deinit has ended.
            state.flightDone.wait(lock, [&] { return state.inFlight == 0; });
        }
        const bool stopped = stopAndRecord(monitor);
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stopFailed = !stopped;
        state.stopperRunning = false;
        state.stopped.notify_all();
    });
    return VPU_USB_OK;
}

bool vpu_usb_libusbk_waitStopped(uint32_t timeoutMs) {
    BackEnd& b = backEnd();
    bool stopperEnded = false;
    bool stopped = false;
    {
        std::unique_lock<std::mutex> lock(b.mutex);
        b.stopped.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return !b.stopperRunning && (b.hotPlugMonitor == nullptr || b.stopFailed);
        });
        stopperEnded = !b.stopperRunning;
        stopped = b.hotPlugMonitor == nullptr && stopperEnded;
    }
    // The back-end lives as long as the process, so nothing else would join
    // a stopper that has done its work: its thread ends here, with the stop.
    if (stopperEnded) joinStopper(true);
    return stopped;
}

int vpu_usb_libusbk_open(uint8_t) { return VPU_USB_OK; }

int vpu_usb_libusbk_close(uint8_t index) {
    EntryPtr entry = lookup(index);
    if (!entry) {
        BackEnd& b = backEnd();
        {
            std::lock_guard<std::mutex> lock(b.mutex);
            if (b.closedByStop.erase(index) != 0) return VPU_USB_OK;
        }
        LOGG_PRINT(LOG_ERROR_E, 0, "Attempted to operate on unregistered interface %d\n", index);
        return VPU_USB_ERR_NOT_REGISTERED;
    }
    closeEntry(*entry);
    return VPU_USB_OK;
}

int vpu_usb_libusbk_write_bulk(uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
    EntryPtr entry = lookup(index);
    if (!entry) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Attempted to operate on unregistered interface %d\n", index);
        return VPU_USB_ERR_NOT_REGISTERED;
    }
    if (!beginUse(*entry)) return VPU_USB_ERR_NOT_REGISTERED;
    UINT transferred = 0;
    const BOOL ok = entry->usb.device.Usb.WritePipe(entry->usb.device.handle, entry->usb.outPipe,
                                                    static_cast<PUCHAR>(const_cast<void*>(buffer)), length,
                                                    &transferred, nullptr);
    const DWORD error = GetLastError();
    endUse(*entry);
    if (ok == TRUE && transferred == length) {
        if (written != nullptr) *written = transferred;
        return VPU_USB_OK;
    }
    LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: vpu_usb_write_bulk, ret=%d\n", static_cast<int>(error));
    return VPU_USB_ERR_TRANSFER;
}

int vpu_usb_libusbk_read_bulk(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    EntryPtr entry = lookup(index);
    if (!entry) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Attempted to operate on unregistered interface %d\n", index);
        return VPU_USB_ERR_NOT_REGISTERED;
    }
    std::lock_guard<std::mutex> reading(entry->readMutex);
    if (!beginUse(*entry)) {
        LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_read_bulk->VPU_USB_ERR_NO_DEVICE, interfaceIdx=%u\n", index);
        return VPU_USB_ERR_NOT_REGISTERED;
    }
    if (read != nullptr) *read = 0;
    uint32_t got = 0;
    DWORD error = ERROR_INVALID_PARAMETER;
    const bool ok = buffer != nullptr ? readPackets(*entry, static_cast<uint8_t*>(buffer), length, &got, &error)
                                      : length == 0;
    endUse(*entry);
    if (ok) {
        if (read != nullptr) *read = got;
        return VPU_USB_OK;
    }
    LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_read_bulk ret=%d, index=%i\n", static_cast<int>(error), index);
    return VPU_USB_ERR_TRANSFER;
}

int vpu_usb_libusbk_unsupported() { return VPU_USB_ERR_NOT_REGISTERED; }

int vpu_usb_libusbk_read_forward(uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
    return vpu_usb_read_bulk(index, buffer, length, read);
}

void OnHotPlug(KHOT_HANDLE, KLST_DEVINFO_HANDLE devInfo, int32_t event) {
    if (devInfo == nullptr) return;
    // The monitor's thread runs in the context of the client that started it
    // for the length of the call: the boot layer and the log find their
    // state through it.
    PZContextHolder context;
    {
        BackEnd& b = backEnd();
        std::lock_guard<std::mutex> lock(b.mutex);
        context = b.clientContext;
    }
    std::optional<morv::driver::ScopedThreadContext> scope;
    if (context) scope.emplace(std::move(context));
    const std::string description = fieldText(devInfo->deviceDescription);
    const int index = indexOf(description.c_str());
    if (index < 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Unknown interface: %s\n", description.c_str());
        return;
    }
    const std::string serial = fieldText(devInfo->serialNumber);
    {
        BackEnd& b = backEnd();
        std::lock_guard<std::mutex> lock(b.mutex);
        if (b.serialFilter && *b.serialFilter != serial) {
            LOGG_PRINT(LOG_ERROR_E, 0, "Skip (%s)interface: %s\n", fieldText(devInfo->deviceId).c_str(),
                       serial.c_str());
            return;
        }
    }
    if (event == KHOT_EVENT_ARRIVAL) {
        onArrival(serial, devInfo, static_cast<uint8_t>(index));
    } else if (event == KHOT_EVENT_REMOVAL) {
        onRemoval(serial, devInfo, static_cast<uint8_t>(index));
    }
}

bool isDeviceBooted(UsbDeviceHandle* device) {
    if (device == nullptr || device->handle == nullptr || device->Usb.ControlTransfer == nullptr) return false;
    WINUSB_SETUP_PACKET setup{};
    setup.RequestType = 0x80;
    setup.Request = 0x06;
    setup.Value = 0x0100;
    setup.Index = 0;
    setup.Length = 18;
    UCHAR descriptor[18] = {};
    UINT transferred = 0;
    // A descriptor that cannot be read (the device is usually gone by then)
    // counts as unbooted: nothing is driven as a running processor unasked.
    if (!device->Usb.ControlTransfer(device->handle, setup, descriptor, sizeof(descriptor), &transferred, nullptr) ||
        transferred < 14) {
        return false;
    }
    const uint16_t bcdDevice = static_cast<uint16_t>(descriptor[12] | (descriptor[13] << 8));
    return (bcdDevice & 0x8000) == 0;
}

int readStringDescriptor(UsbDeviceHandle* device, uint8_t index, char* buffer, uint32_t length) {
    UCHAR scratch[256] = {};
    if (buffer != nullptr && length != 0) std::memset(buffer, 0, length);
    if (device == nullptr || device->handle == nullptr || buffer == nullptr || length == 0) return 0;
    // Through the interface's own table: the kernel driver's request would
    // mean nothing to a device under another driver.
    if (device->Usb.GetDescriptor == nullptr) return 0;
    device->Usb.GetDescriptor(device->handle, USB_STRING_DESCRIPTOR_TYPE, 0, 0, scratch, sizeof(scratch), nullptr);
    const USHORT language = static_cast<USHORT>(scratch[2] | (scratch[3] << 8));
    std::memset(scratch, 0, sizeof(scratch));
    UINT transferred = 0;
    const BOOL result = device->Usb.GetDescriptor(device->handle, USB_STRING_DESCRIPTOR_TYPE, index, language, scratch,
                                           sizeof(scratch), &transferred);
    if (!result || scratch[1] != USB_STRING_DESCRIPTOR_TYPE || scratch[0] > transferred) return 0;
    const uint32_t descriptorLength = scratch[0];
    for (uint32_t i = 0; 2 + 2 * i < descriptorLength && i < length - 1; ++i) {
        const UCHAR low = scratch[2 + 2 * i];
        const UCHAR high = scratch[3 + 2 * i];
        buffer[i] = low >= 0x80 || high != 0 ? '?' : static_cast<char>(low);
    }
    return result;
}

int vpu_usb_libusbk_query_attached_devices(void** records, uint32_t* count) {
    if (count != nullptr) *count = 0;
    if (records != nullptr) *records = nullptr;
    if (records == nullptr || count == nullptr) return VPU_USB_ERR_TRANSFER;
    KLST_HANDLE list = nullptr;
    if (!LstK_Init(&list, KLST_FLAG_NONE)) {
        LOGG_PRINT(LOG_ERROR_E, 0, "Failed to initialize ListK. errorCode=%08Xh\n",
                   static_cast<unsigned>(GetLastError()));
        return VPU_USB_ERR_TRANSFER;
    }
    // The array is sized by what qualifies, not by a share of the list.
    const std::string control = std::string(VPU_USB_INTERFACE_PREFIX) + ".control";
    std::vector<KLST_DEVINFO*> qualifying;
    KLST_DEVINFO* info = nullptr;
    while (LstK_MoveNext(list, &info)) {
        if (fieldText(info->deviceDescription) == control &&
            (info->vendorId == VPU_USB_SENSOR_VENDOR_ID || info->productId == VPU_USB_SENSOR_PRODUCT_ID)) {
            qualifying.push_back(info);
        }
    }
    if (qualifying.empty()) {
        LstK_Free(list);
        return VPU_USB_OK;
    }
    auto* out = static_cast<vpu_usb_attached_device*>(std::calloc(qualifying.size(), sizeof(vpu_usb_attached_device)));
    if (out == nullptr) {
        LstK_Free(list);
        return VPU_USB_ERR_TRANSFER;
    }
    for (size_t i = 0; i < qualifying.size(); ++i) {
        vpu_usb_attached_device& record = out[i];
        UsbDeviceHandle device{};
        loadDriverApi(&device.Usb, qualifying[i]->driverId);
        if (device.Usb.Init == nullptr || !device.Usb.Init(&device.handle, qualifying[i])) {
            LOGG_PRINT(LOG_ERROR_E, 0, "Failed to init device. ErrorCode: %08Xh\n",
                       static_cast<unsigned>(GetLastError()));
            device.handle = nullptr;
        }
        if (device.handle != nullptr && device.Usb.ClaimInterface(device.handle, 0, TRUE)) {
            record.claimed = 0;
            device.Usb.ReleaseInterface(device.handle, 0, TRUE);
        } else {
            record.claimed = 1;
        }
        record.booted = isDeviceBooted(&device) ? 1 : 0;
        ++*count;
        // The texts of a device that could not be opened stay empty.
        if (device.handle == nullptr) continue;
        WINUSB_SETUP_PACKET setup{0x80, 0x06, 0x0100, 0, 18};
        UCHAR descriptor[18] = {};
        UINT transferred = 0;
        if (!device.Usb.ControlTransfer(device.handle, setup, descriptor, sizeof(descriptor), &transferred, nullptr) ||
            transferred < sizeof(descriptor)) {
            const unsigned error = static_cast<unsigned>(GetLastError());
            LOGG_PRINT(LOG_ERROR_E, 0, "Can't get device descriptor. Win32Error=%u (0x%08X)\n", error, error);
        } else {
            struct Text {
                uint8_t index;
                char* field;
                const char* failure;
            };
            const Text texts[] = {
                {descriptor[14], record.manufacturer, "Can't get Manufacturer. Win32Error=%u (0x%08X)\n"},
                {descriptor[15], record.product, "Can't get Product ID. Win32Error=%u (0x%08X)\n"},
                {descriptor[16], record.serial, "Can't get iSerialNumber. Win32Error=%u (0x%08X)\n"},
            };
            for (const Text& text : texts) {
                if (!readStringDescriptor(&device, text.index, text.field, 256)) {
                    const unsigned error = static_cast<unsigned>(GetLastError());
                    LOGG_PRINT(LOG_ERROR_E, 0, text.failure, error, error);
                }
            }
        }
        device.Usb.Free(device.handle);
    }
    *records = out;
    LstK_Free(list);
    return VPU_USB_OK;
}
