// Device manager: the driver's control layer for the one sensor of a driver
// context. It starts the driver, hears the boot and hot-plug events of the
// vision chip's USB layer, brings an arriving sensor up (device client,
// device state, host framework, first clock synchronisation, the host
// library's link), derives the driver state it reports to the application
// and tears everything down again on removal or shutdown in its "Cleanup
// thread".
//
// Threads: events and the whole bring-up run on the USB layer's hot-plug
// thread and block it meanwhile; the cleanup runs on a thread of its own,
// and every event first waits for a running cleanup to end, so a bring-up
// never overlaps a cleanup. The state callback is called on the hot-plug
// thread, the cleanup thread or the host library's link thread, never under
// a driver lock.
#pragma once

#include <array>
#include <cstdint>

#include "driver/driver_api.h"
#include "driver/driver_types.h"

// How long an arriving sensor gets, from the start of the device client,
// to report its state and bring the host library's link up.
constexpr uint32_t PZ_BOOT_BUDGET_SECONDS = 8;
constexpr const char* PZ_CLEANUP_THREAD_NAME = "Cleanup thread";

// One line of the device's State to the driver state reported at the end of
// a bring-up. message is logged at WARN; null logs nothing.
struct PZDeviceStateMapping {
    uint16_t deviceState;  // State on the wire
    int32_t driverState;   // PZDeviceState
    const char* message;
};
extern const std::array<PZDeviceStateMapping, 6> PZDeviceStateTable;
// The table's line for a device State, or null for a State it does not list
// (reported as Error with an ERROR line naming the value).
const PZDeviceStateMapping* PZDevice_findStateMapping(uint16_t deviceState);

// Milliseconds the boot-event wait gets: what is left of the boot budget
// counted from clientStart, truncated. Zero once the budget is spent (or the
// clock reads nonsense): the wait then only looks whether the link is up
// already, and never takes a negative count as a huge unsigned one.
uint32_t PZDevice_bootWaitMs(double clientStart, double now);

// Status callback registered with the USB boot layer: boot statuses 1 boot
// done, 2 booting, 3 recovery, 4 removed, 5 boot failed; any other value is
// an unsupported event. Returns 0.
int PlovarZarn_hotplugCallback(int32_t status);
// System-event callback given to the device client: logs the event's name.
void eventCbWrapper(int32_t code, int32_t value);
// Connection-state callback given to the host library: sid 0 connected sets
// the boot event; disconnected reports Error unless a cleanup runs.
void hostLibraryCallback(uint32_t sid, uint32_t event);
// Brings the host framework up against the booted vision chip: host library,
// LOGGER (configured and started) and SYSTEM services, frame and IMU
// streams, and the first clock synchronisation.
PZStatus initFramework();
// Starts the cleanup thread unless one runs; the caller does not wait.
// keepUsb: a removal, which keeps the USB layer and the state callback.
// False when the platform refused the thread (logged): no cleanup runs.
// A shutdown cuts a bring-up in progress short and waits for it to end
// before it cleans up (see cutShortBringUp for the bound).
bool startCleanupThread(bool keepUsb, int32_t finalState);
// Body of the cleanup thread (argument: the device record).
uint32_t cleanupThreadEntry(void* arg);

// Waits until no cleanup runs and reaps the thread of the last one. Every
// event and every initialisation does this first; an application (or a
// test) that has to know the shutdown finished may call it after Deinit.
void PZDevice_waitForCleanup();
