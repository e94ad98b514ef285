// The USB transport the updater's driver talks through.
//
// On Windows the sensor's USB stack carries the driver's traffic. It does not
// exist on Linux, so there the program talks to a simulated sensor instead: a
// complete device (vision processor and sensor firmware) on a simulated bus,
// installed as the transport back-end, with a hot-plug monitor that reports
// the sensor to the driver's boot layer once the driver starts its transport,
// as the real monitor reports an attached sensor. After a firmware update's
// warm reboot the simulated sensor goes away and comes back a moment later
// running the firmware it installed.
//
// The program calls attachSensorTransport() first, before the driver is
// initialised, and detachSensorTransport() last, after the control loop is
// released (which shuts the driver down). What attach sets up is taken down
// only there: an end of the process from anywhere else leaves it running,
// since the driver's threads may still be using it.
//
// The simulated sensor is configured through the environment, so that a
// whole run of the real program can be tried against different devices:
//
//   ZARN_SIM_SENSOR    "attached" (default): a booted sensor is plugged in;
//                      "unbooted": a sensor whose vision processor has not
//                      booted is plugged in (the updater gives the driver no
//                      boot folder, so it stays in recovery);
//                      "absent": nothing is attached, the updater waits.
//   ZARN_SIM_FIRMWARE  the firmware version the sensor runs, "major.minor.patch"
//                      with decimal numbers of at most 65535 (default "0.9.7").
//   ZARN_SIM_STATE     the state the sensor reports: "ready" (default),
//                      "initializing", "calibrationCorrupt", "fwMismatch",
//                      "prodDataMismatch", "fwCorrupt", "fwNotSupported", or
//                      "lowPower" (ready, but only the secondary processor
//                      answers: the driver reports Low Power Mode).
//   ZARN_SIM_UPDATE    "ok" (default): firmware updates succeed; "fail": the
//                      sensor refuses every firmware package as damaged;
//                      "unplug": the sensor is pulled out in the middle of
//                      the first update, after its second progress report.
//   ZARN_SIM_FLASH_MS  milliseconds the sensor takes per flash block of each
//                      update phase (default 0), to watch the progress.
//   ZARN_SIM_CLOSE_AFTER_FRAMES
//                      the window closes as if the user had closed it when
//                      it draws this frame (default 0: never), so that tests
//                      run the real program's window for a bounded time.
//                      Only this simulated build reads it.
//   ZARN_SIM_DRIVER    the driver bound to the sensor: "libusbK" (default),
//                      "libusb0" or "WinUSB". Only this simulated build reads it.
//   ZARN_SIM_PARTIAL_READS
//                      "on" (default): the sensor's IN pipes under libusbK or
//                      WinUSB allow reads shorter than a packet (pipe policy
//                      ALLOW_PARTIAL_READS); "off": such a read fails, as it
//                      always does under libusb0. Only this simulated build
//                      reads it.
//   ZARN_SIM_ZERO_LENGTH_PACKETS
//                      "off" (default): after a transfer of whole USB packets
//                      the sensor sends no zero-length packet, as many devices
//                      do, so a read that asks for more than came waits for
//                      the next transfer; "on": it sends one. Only this
//                      simulated build reads it.
//   ZARN_SIM_PACKET_SIZE
//                      the packet size of the sensor's bulk pipes: "512"
//                      (default: a high-speed port) or "1024" (a SuperSpeed
//                      port), in its descriptors and in the packets its
//                      transfers are cut into. Only this simulated build
//                      reads it.
//   ZARN_SIM_USB       "ok" (default); "missing": the program finds no USB
//                      stack to talk through, so the driver cannot start its
//                      transport and its initialisation fails. Nothing else
//                      makes it fail here; tests use it to see the program end
//                      then. Only this simulated build reads it.
//
// A value that cannot be read is named on standard error and its default is
// used.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace ZarnFirmwareUpdater {

void attachSensorTransport();
// True when everything attach started has stopped and is gone; false when a
// driver thread was still inside the transport, which then stays with it and
// must not be torn down under that thread.
bool detachSensorTransport();
// ZARN_SIM_CLOSE_AFTER_FRAMES as attachSensorTransport read it; 0 with a
// real sensor, whose program reads no variable of the environment.
int32_t windowCloseAfterFrames();

// The simulated sensor's configuration as read from the environment.
struct SimulatedSensorSettings {
    bool attached = true;
    bool unbooted = false;  // attached, with only the processor's boot monitor
    uint16_t firmwareMajor = 0;
    uint16_t firmwareMinor = 9;
    uint16_t firmwareRevision = 7;
    uint16_t processor = 1;  // wire value of the state reports: primary
    uint16_t state = 2;      // wire value of the state reports: ready
    bool updateFails = false;
    bool updateUnplugs = false;
    uint32_t flashBlockMs = 0;
    uint32_t windowCloseAfterFrames = 0;  // 0: the window stays until the user closes it
    bool usbMissing = false;  // no transport back-end: the driver cannot start
    enum class Driver { LibusbK, Libusb0, WinUsb } driver = Driver::LibusbK;
    bool partialReads = true;
    bool zeroLengthPackets = false;
    uint16_t packetSize = 512;
};

// The names ZARN_SIM_STATE takes, with the processor and state the sensor
// then reports (wire values of the device protocol).
struct SimulatedSensorStateName {
    const char* name;
    uint16_t processor;
    uint16_t state;
};
extern const std::span<const SimulatedSensorStateName> simulatedSensorStates;

// Reads the settings through `lookup` (the environment: a variable's value,
// or null when unset). Each unreadable value adds one message to `problems`
// and leaves that setting at its default.
SimulatedSensorSettings readSimulatedSensorSettings(const std::function<const char*(const char*)>& lookup,
                                                    std::vector<std::string>& problems);

}  // namespace ZarnFirmwareUpdater
