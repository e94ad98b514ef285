#include "driver/device_manager.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "driver/device_record.h"
#include "driver/driver_thread.h"
#include "driver/frame_streams.h"
#include "driver/imu_stream.h"
#include "driver/twist_comp.h"
#include "host_lib/usb_boot.h"
#include "host_lib/vpu_host_api.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"
#include "runtime/usb_transport.h"

namespace {

// What the device record does not hold: the lock that orders the starts of
// cleanup threads with the waits for them, a shutdown asked for while a
// removal cleanup runs, and the bring-up that a shutdown has to wait for.
// One per driver context, in a slot of its own.
struct CleanupControl {
    std::mutex lock;
    std::condition_variable ended;  // a cleanup cleared cleanupActive, or a bring-up ended
    bool shutdownPending = false;   // run a shutdown pass when the running cleanup ends
    // A bring-up runs on the hot-plug thread. Set under the lock only once no
    // cleanup runs, so a cleanup that starts later finds it set.
    bool bringUpActive = false;
    // A shutdown asked the running bring-up to stop where it is.
    std::atomic<bool> cutShort{false};
};

// Where the application's state callback may run while the driver itself
// waits: on the cleanup thread, and inside a bring-up, which a shutdown
// cleanup waits for. An initialisation from there would wait for the
// cleanup, that is for itself.
thread_local bool onCleanupThread = false;
thread_local bool insideBringUp = false;

const unsigned char kCleanupControlTag = 0;

void* newCleanupControl(void*) { return new (std::nothrow) CleanupControl(); }
void deleteCleanupControl(void* object) { delete static_cast<CleanupControl*>(object); }

CleanupControl& cleanupControl() {
    return *static_cast<CleanupControl*>(PZContext_GetSlot(PZContext_GetCurrent(), &kCleanupControlTag,
                                                           &newCleanupControl, nullptr, &deleteCleanupControl));
}

// Monotonic seconds of the OS layer.
double now() { return static_cast<double>(OS_LYRG_getNsecTime()) / 1e9; }

// Joins the thread of a cleanup that has ended. Called with the control lock
// held and cleanupActive clear: that thread has nothing left to do but return.
void reapCleanupThreadLocked(PZDeviceRecord* device) {
    if (device->cleanupThread.handle == nullptr) return;
    OS_LYRG_waitForThread(device->cleanupThread.handle, 0);
    device->cleanupThread.handle = nullptr;
}

// Waits until no cleanup runs and reaps the thread of the last one.
void waitForCleanupLocked(std::unique_lock<std::mutex>& lock, PZDeviceRecord* device, CleanupControl& control) {
    // Bounded by the cleanup itself: every step of it ends once the device
    // or the host library is gone.
    control.ended.wait(lock, [&] { return !device->cleanupActive.load(); });
    reapCleanupThreadLocked(device);
}

// A shutdown has asked the running bring-up to stop: it reports nothing more,
// since the application hears no state after its shutdown.
bool cutShort(CleanupControl& control) {
    if (!control.cutShort.load()) return false;
    LOGG_PRINT(LOG_INFO_E, 0, "Bring-up cut short by the shutdown\n");
    return true;
}

// Event 1: the processor runs. Brings the sensor up and reports where it ended.
void bringUp(PZDeviceRecord* device, CleanupControl& control) {
    device->bootStartTime = now();
    // Event 2 reported Booting already; the USB boot ends here.
    if (device->state.load() != PZDeviceState_Booting) updateState(PZDeviceState_Booting);
    device->booting = false;
    // A link that came up after an earlier bring-up had given up on it left
    // its signal behind: this bring-up waits for its own link.
    OS_LYRG_waitEvent(device->bootEvent, 0);
    if (cutShort(control)) return;

    PZStatus status = startClient(&eventCbWrapper) == 0 ? PZStatus_Success : PZStatus_Error;
    const double clientStart = now();
    bool isPrimary = false;
    uint16_t deviceState = 0;
    if (status == PZStatus_Success) status = waitForDeviceState(PZ_BOOT_BUDGET_SECONDS, &isPrimary, &deviceState);
    if (cutShort(control)) return;
    if (status == PZStatus_Success && !isPrimary) {
        // The secondary processor answers while the primary sleeps: the
        // framework stays down.
        updateState(PZDeviceState_LowPowerMode);
        return;
    }
    if (status == PZStatus_Success) status = initFramework();
    if (cutShort(control)) return;
    if (status == PZStatus_Success) {
        const OS_LYRG_statusT waited = OS_LYRG_waitEvent(device->bootEvent, PZDevice_bootWaitMs(clientStart, now()));
        if (waited == OS_LYRG_FAIL) {
            LOGG_PRINT(LOG_WARN_E, 0, "OS_LYRG_waitEvent timeout\n");
            status = PZStatus_Timeout;
        } else if (waited != OS_LYRG_SUCCESS) {
            LOGG_PRINT(LOG_ERROR_E, 0, "OS_LYRG_waitEvent failed\n");
            status = PZStatus_Error;
        }
    }
    if (cutShort(control)) return;
    if (status != PZStatus_Success) {
        LOGG_PRINT(LOG_WARN_E, 0, "Error waiting for boot to finish: %s\n", PZStatus_toString(status));
        updateState(PZDeviceState_Error);
        return;
    }

    int32_t driverState = PZDeviceState_Error;
    if (const PZDeviceStateMapping* mapping = PZDevice_findStateMapping(deviceState)) {
        driverState = mapping->driverState;
        if (mapping->message != nullptr) LOGG_PRINT(LOG_WARN_E, 0, "%s", mapping->message);
    } else {
        LOGG_PRINT(LOG_ERROR_E, 0, "Unhandled device state: %d\n", static_cast<int>(deviceState));
    }
    const float bootTime =
        device->bootStartTime != 0.0 ? static_cast<float>(now() - device->bootStartTime) : 0.0f;
    LOGG_PRINT(LOG_INFO_E, 0, "Boot time: %f sec\n", static_cast<double>(bootTime));
    updateState(driverState);
}

// A shutdown while a bring-up runs on the hot-plug thread: the bring-up is
// cut short and the shutdown waits for it to end, so that the two never take
// the same client, framework and boot event up and down at once. The waits
// of the bring-up end at once: the boot event is set, and closing the client
// interface ends the client's reads, so its state wait and a request waiting
// for its reply end within one reply slice (250 ms). A host-library request
// of the framework's bring-up ends within its own time-out (1 s). The
// bring-up then stops at its next step.
void cutShortBringUp(PZDeviceRecord* device, CleanupControl& control) {
    std::unique_lock<std::mutex> lock(control.lock);
    if (!control.bringUpActive) return;
    LOGG_PRINT(LOG_INFO_E, 0, "Cleanup: cutting the bring-up short\n");
    control.cutShort.store(true);
    // Released only by this cleanup, after the link is down.
    OS_LYRG_setEvent(device->bootEvent);
    vpu_usb_close(PZ_CLIENT_INTERFACE);
    control.ended.wait(lock, [&] { return !control.bringUpActive; });
}

// One pass of the cleanup with the arguments in the record.
void runCleanupPass(PZDeviceRecord* device) {
    if (device->stopStreams) {
        LOGG_PRINT(LOG_INFO_E, 0, "Cleanup: stopping streams\n");
        const PZStreamingConfig allOff{};
        PZFrames_ApplyStreamingConfig(allOff);
        PZImu_ApplyStreamingConfig(nullptr, 0, nullptr, nullptr, device->state.load());
    }
    deinitImuStream();
    const bool shutdown = !device->keepUsb.load();
    // At shutdown the sensor may still be attached and silent, and the
    // client's read thread would wait for its next byte for ever: closing
    // the client interface ends that read, so that the stop returns.
    if (shutdown) vpu_usb_close(PZ_CLIENT_INTERFACE);
    stopClient();
    // Twist compensation outlives the streams that started it. With the
    // client stopped its requests fail at once, so its worker ends within
    // one wait slice; no driver thread may outlive the cleanup.
    TwistComp_stop(true);
    // The device is gone or going: the services are closed on the host only.
    if (device->systemService != nullptr) {
        VPUG_close(device->systemService, 1);
        device->systemService = nullptr;
    }
    if (device->loggerService != nullptr) {
        VPUG_close(device->loggerService, 1);
        device->loggerService = nullptr;
    }
    if (shutdown) {
        device->stateCallback.store(nullptr);
        device->userData.store(nullptr);
        vpu_usb_boot_deinit();
        deinitFrameStreams();
    }
    // Stops the link and its thread: after this nothing can set the boot
    // event any more, so only now may a shutdown release it.
    VPUG_deinit();
    if (shutdown && device->bootEvent != nullptr) {
        OS_LYRG_releaseEvent(device->bootEvent, 0);
        device->bootEvent = nullptr;
    }
    updateState(device->finalState);
}

}  // namespace

// ---------------------------------------------------------------------------
// Initialisation and shutdown

PZStatus PlovarZarn_InitBootId(PZStateCallback stateCallback, void* userData, int32_t bootId,
                               const PZInitParams* params) {
    if (onCleanupThread || insideBringUp) {
        // The application's state callback, called by the cleanup or a
        // bring-up: waiting for a cleanup here could wait for this very call.
        LOGG_PRINT(LOG_ERROR_E, 0, "Plovar Zarn Init refused: called on the %s\n",
                   onCleanupThread ? "cleanup thread" : "thread of a bring-up");
        return PZStatus_Error;
    }
    morv::driver::Context* context = PZContext_GetCurrent();
    PZDeviceRecord* device = PZDevice_get();
    const bool isDefault = PZContext_IsDefault(context);
    if (!isDefault && device->reuseGuard.exchange(true)) {
        throw std::runtime_error("Detected reuse of a non-default Plovar Zarn driver context. This is not supported.");
    }
    // A shutdown still running would clear what this initialisation stores.
    PZDevice_waitForCleanup();

    LOGG_init();
    LOGG_PRINT(LOG_INFO_E, 0, "Plovar Zarn Init (%d.%d.%d.%d)\n", PZ_DRIVER_VERSION_MAJOR, PZ_DRIVER_VERSION_MINOR,
               PZ_DRIVER_VERSION_PATCH, PZ_DRIVER_VERSION_BUILD);
    if (isDefault) {
        LOGG_PRINT(LOG_WARN_E, 0, "Plovar Zarn driver operating in single-device compatibility mode\n");
    } else {
        LOGG_PRINT(LOG_INFO_E, 0, "Plovar Zarn driver operating in multi-device mode\n");
    }

    const PZInitParams given = PZInitParams_orDefault(params);
    vpu_usb_transport_params usbParams{};
    usbParams.valueA = given.transportValueB;
    usbParams.valueB = given.transportValueA;
    usbParams.serialNumber = given.serial;

    device->userData.store(userData);
    device->stateCallback.store(stateCallback);
    // An initialisation again without a shutdown in between keeps its event.
    if (device->bootEvent == nullptr) device->bootEvent = OS_LYRG_createEvent(0);

    if (vpu_usb_boot_init(given.bootDirectory, &PlovarZarn_hotplugCallback, bootId, &usbParams) != 0) {
        // The callback and the event stay. The USB layer may still run from
        // an earlier initialisation (it refuses a second start), and its
        // arrivals wait on this event: only a shutdown cleanup, once nothing
        // can signal or wait on it any more, or the context's end releases it.
        LOGG_deinit();
        return PZStatus_Error;
    }
    return PZStatus_Success;
}

PZStatus PlovarZarn_Init(PZStateCallback stateCallback, void* userData, const PZInitParams* params) {
    return PlovarZarn_InitBootId(stateCallback, userData, -1, params);
}

PZStatus PlovarZarn_Deinit() {
    // Without its thread the shutdown did not happen: Error says so.
    return startCleanupThread(false, PZDeviceState_Unknown) ? PZStatus_Success : PZStatus_Error;
}

// ---------------------------------------------------------------------------
// Events

int PlovarZarn_hotplugCallback(int32_t status) {
    PZDeviceRecord* device = PZDevice_get();
    CleanupControl& control = cleanupControl();
    {
        // A bring-up never overlaps a cleanup: it is marked under the same
        // lock, so a shutdown that comes later finds it and waits for it.
        std::unique_lock<std::mutex> lock(control.lock);
        // A shutdown that runs, or waits behind a removal's cleanup, ends
        // with the driver down, so the event would be ignored after it
        // anyway. It is ignored now: the shutdown stops the transport, and
        // that waits for this very call to return.
        const bool shuttingDown =
            device->cleanupActive.load() && (!device->keepUsb.load() || control.shutdownPending);
        if (!shuttingDown) waitForCleanupLocked(lock, device, control);
        if (shuttingDown || device->bootEvent == nullptr) {
            // Handed over while a shutdown ran: the driver is down.
            LOGG_PRINT(LOG_INFO_E, 0, "USB event %d after the shutdown ignored\n", static_cast<int>(status));
            return 0;
        }
        if (status == VPU_USB_BOOT_STATUS_BOOT_DONE) {
            control.bringUpActive = true;
            control.cutShort.store(false);
        }
    }
    switch (status) {
        case VPU_USB_BOOT_STATUS_BOOT_DONE: {
            insideBringUp = true;
            bringUp(device, control);
            insideBringUp = false;
            std::lock_guard<std::mutex> lock(control.lock);
            control.bringUpActive = false;
            control.ended.notify_all();
            break;
        }
        case VPU_USB_BOOT_STATUS_BOOTING:
            device->booting = true;
            device->bootStartTime = now();
            updateState(PZDeviceState_Booting);
            break;
        case VPU_USB_BOOT_STATUS_RECOVERY:
            // Whatever boot ran has ended without the processor.
            device->booting = false;
            LOGG_PRINT(LOG_INFO_E, 0, "Plovar Zarn in recovery mode\n");
            updateState(PZDeviceState_RecoveryMode);
            break;
        case VPU_USB_BOOT_STATUS_REMOVED:
            if (device->booting) {
                // The processor re-enumerates once while it boots: that one
                // removal is expected. It also ends the booting phase, so
                // that a boot which never completes does not hide every
                // later removal.
                device->booting = false;
                break;
            }
            LOGG_PRINT(LOG_INFO_E, 0, "Plovar Zarn removed (state: %s)\n", PZDeviceState_toString(device->state.load()));
            device->bootStartTime = 0.0;
            startCleanupThread(true, PZDeviceState_Disconnected);
            break;
        case VPU_USB_BOOT_STATUS_BOOT_FAILED:
            device->booting = false;
            LOGG_PRINT(LOG_ERROR_E, 0, "Boot failed\n");
            updateState(PZDeviceState_Error);
            break;
        default:
            LOGG_PRINT(LOG_WARN_E, 0, "Unsupported USB event received\n");
            updateState(PZDeviceState_Error);
            break;
    }
    return 0;
}

void eventCbWrapper(int32_t code, int32_t) {
    LOGG_PRINT(LOG_INFO_E, 0, "System Event: %s\n", PZSystemEvent_toString(code));
}

void hostLibraryCallback(uint32_t sid, uint32_t event) {
    if (sid != VPUG_SID_SVC_MNGR) return;
    PZDeviceRecord* device = PZDevice_get();
    if (event == VPUG_CONN_STATE_CONNECTED_E) {
        if (device->bootEvent != nullptr) OS_LYRG_setEvent(device->bootEvent);
    } else if (event == VPUG_CONN_STATE_DISCONNECTED_E) {
        if (!device->cleanupActive.load()) updateState(PZDeviceState_Error);
    }
}

// ---------------------------------------------------------------------------
// Host framework

PZStatus initFramework() {
    PZDeviceRecord* device = PZDevice_get();
    VPUG_loggerParams& logger = device->loggerParams;
    logger.severity = 2;
    logger.print = 1;
    logger.printGp = 1;
    logger.sendGp = 0;
    logger.word = 2;
    logger.byte0 = 1;
    logger.byte1 = 1;

    ERRG_codeE status = VPUG_init(&hostLibraryCallback);
    if (ERRG_SUCCEEDED(status)) status = VPUG_open(&device->loggerService, VPUG_SID_LOGGER);
    if (ERRG_SUCCEEDED(status)) status = VPUG_ioctl(device->loggerService, LOGGER_SET_PARAMS_E, &logger);
    if (ERRG_SUCCEEDED(status)) status = VPUG_ioctl(device->loggerService, LOGGER_START_E, nullptr);
    if (ERRG_SUCCEEDED(status)) status = VPUG_open(&device->systemService, VPUG_SID_SYSTEM);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "VPU call failed\n");
        return PZStatus_Error;
    }

    if (const int32_t result = initFrameStreams(); result != 0) return static_cast<PZStatus>(result);
    if (const int32_t result = initImuStream(); result != 0) return static_cast<PZStatus>(result);
    return PlovarZarnClient_SyncSystemTime(true);
}

uint32_t PZDevice_bootWaitMs(double clientStart, double now) {
    const double remaining = (static_cast<double>(PZ_BOOT_BUDGET_SECONDS) - (now - clientStart)) * 1000.0;
    if (!(remaining > 0.0)) return 0;
    return static_cast<uint32_t>(remaining);
}

// ---------------------------------------------------------------------------
// Cleanup

void PZDevice_waitForCleanup() {
    PZDeviceRecord* device = PZDevice_get();
    CleanupControl& control = cleanupControl();
    std::unique_lock<std::mutex> lock(control.lock);
    waitForCleanupLocked(lock, device, control);
}

bool startCleanupThread(bool keepUsb, int32_t finalState) {
    PZDeviceRecord* device = PZDevice_get();
    CleanupControl& control = cleanupControl();
    std::lock_guard<std::mutex> lock(control.lock);
    if (device->cleanupActive.load()) {
        // A shutdown must not be lost behind a removal cleanup that keeps
        // the USB layer and the callback: it runs when that one is done.
        if (!keepUsb && device->keepUsb.load()) control.shutdownPending = true;
        return true;
    }
    reapCleanupThreadLocked(device);
    device->stopStreams = isReadyState(false);
    device->keepUsb.store(keepUsb);
    device->finalState = finalState;
    device->cleanupActive.store(true);
    device->cleanupThread.func = &cleanupThreadEntry;
    device->cleanupThread.param = device;
    device->cleanupThread.name = PZ_CLEANUP_THREAD_NAME;
    if (PZThread_start(&device->cleanupThread) == nullptr) {
        // No cleanup runs after all: nothing may wait for one.
        device->cleanupActive.store(false);
        control.ended.notify_all();
        return false;
    }
    return true;
}

uint32_t cleanupThreadEntry(void* arg) {
    onCleanupThread = true;
    auto* device = static_cast<PZDeviceRecord*>(arg);
    CleanupControl& control = cleanupControl();
    while (true) {
        if (!device->keepUsb.load()) cutShortBringUp(device, control);
        runCleanupPass(device);
        std::lock_guard<std::mutex> lock(control.lock);
        if (control.shutdownPending) {
            control.shutdownPending = false;
            device->stopStreams = isReadyState(false);
            device->keepUsb.store(false);
            device->finalState = PZDeviceState_Unknown;
            continue;
        }
        device->cleanupActive.store(false);
        control.ended.notify_all();
        return 0;
    }
}
