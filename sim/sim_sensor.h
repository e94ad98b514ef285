// The whole simulated sensor as one object: the simulated bus installed as
// the transport back-end, the vision processor with every peer the host
// framework talks to on interfaces 0 to 3, the sensor firmware on the client
// interface 4, and a hot-plug monitor that reports arrivals and removals to
// the handler the owner gives (the host's boot layer; the simulator knows
// nothing above the transport).
//
// The back-end table it installs is the simulated bus's, except that its
// init starts the hot-plug monitor and its deinit stops it, as the real
// back-end starts and stops its device-change monitor. The stop lets no
// further event start and waits (bounded) for an arrival in flight, a
// bring-up that still talks to the device; a removal in flight is left to
// finish on its own, since the host's removal handling may be waiting for
// the very shutdown that stops the transport. A sensor plugged
// before the host initialises its transport therefore arrives as soon as the
// host does, as an attached sensor does on the real system.
//
// An unbooted sensor (plugUnbooted) shows only its processor's boot monitor
// on interface 0. Booted from a boot folder, it comes back as a booted
// sensor: the processor's services take interface 0 again and the firmware
// reports its state once the five interfaces are there.
//
// A warm or cold reboot request makes the device go away once it has
// answered, and come back a moment later (setRebootDelay) with the firmware
// it holds then, the one a successful update installed: the processor side
// starts a new session and the firmware reports its state again, so the host
// brings the sensor up a second time. An unplug() while the device is away
// keeps it away. While the host's monitor runs, the device comes back only
// once the host has taken every removal (bounded by kDefaultStopBound): the
// simulated pipes are known by index alone, and a host thread of the old
// session still running would otherwise read the new session's bytes, which
// a stale handle on a real bus never could.
//
// Its normal run has transfers of whole packets, which no short packet ends,
// on both kinds of interface: the processor forwards its boot log when the
// host starts its logger, and the firmware reports its power with its state
// at attach (see SimProcessorServices::forwardBootLog and
// SimFirmware::setPowerReportOnAttach).
//
// One sensor per process at a time, as there is one simulated bus.
// Configuration and plugging may happen from any thread at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/usb_transport.h"
#include "sim/sim_boot_monitor.h"
#include "sim/sim_firmware.h"
#include "sim/sim_hotplug.h"
#include "sim/sim_svc_mngr_peer.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace zsim {

class SimSensor {
public:
    using HotplugHandler = SimHotplug::Handler;

    // A booted sensor shows the processor's interfaces 0 to 3 and the client interface 4.
    static constexpr uint8_t kClientInterface = 4;
    static constexpr uint8_t kInterfaceCount = 5;
    // Wire values of the firmware's state reports.
    static constexpr uint16_t kProcessorPrimary = 1;
    static constexpr uint16_t kProcessorSecondary = 2;  // the host sees Low Power Mode
    static constexpr uint16_t kStateReady = 2;
    static constexpr std::chrono::milliseconds kDefaultRebootDelay{200};
    // How long stopping the monitor waits for a handler in flight (a whole
    // bring-up may run inside it).
    static constexpr std::chrono::milliseconds kDefaultStopBound{10000};
    // What the unbooted processor's boot-detect program finds: the boot
    // images of this id and chip are the ones to load.
    static constexpr int32_t kBootId = 601;
    static constexpr uint32_t kChipVersion = SimBootMonitor::kChipVpu3;

    // Resets the simulated bus, installs the sensor's back-end table and
    // starts the device models; nothing is plugged yet. Throws
    // std::logic_error while another sensor exists.
    explicit SimSensor(HotplugHandler handler);
    // Unplugs the device and stops everything (the monitor's handler in
    // flight is waited for, however long). The back-end table stays
    // installed and, with no sensor, acts as the plain simulated bus.
    ~SimSensor();
    SimSensor(const SimSensor&) = delete;
    SimSensor& operator=(const SimSensor&) = delete;

    // The back-end table the constructor installs.
    static const vpu_usb_backend_ops* ops();

    // --- presence ------------------------------------------------------------
    // A booted sensor arrives with all five interfaces. Nothing happens when
    // it is fully present already; a partly present device goes away first
    // and then arrives whole. Cancels a pending comeback after a reboot.
    void plug();
    // An unbooted sensor arrives: the boot monitor alone, on interface 0.
    // Whatever was plugged goes first. Set the monitor up (bootMonitor())
    // before.
    void plugUnbooted();
    // The device goes away (and stays away, even if it was rebooting).
    void unplug();
    // All five interfaces are present.
    bool plugged() const;

    // --- configuration -------------------------------------------------------
    void setDeviceInfo(const SimDeviceInfo& info);
    // What the firmware answers now: a successful update changes the version.
    SimDeviceInfo deviceInfo() const;
    void setFirmwareVersion(uint16_t major, uint16_t minor, uint16_t revision);
    // Processor and State (wire values) of the firmware's state reports from
    // the next report on; a device already attached keeps the state it
    // reported until it is plugged again.
    void setDeviceState(uint16_t processor, uint16_t state);
    // Time between the removal a reboot causes and the device's return.
    void setRebootDelay(std::chrono::milliseconds delay);

    // --- observation ---------------------------------------------------------
    // The host initialised the transport and has not stopped it yet (the
    // monitor runs).
    bool transportRunning() const;
    // Waits until the host has stopped the transport it had started (true
    // at once when it never started it or stopped it already).
    bool waitForTransportStopped(std::chrono::milliseconds timeout) const;
    // Events the handler has returned from, over every monitor run, in order.
    std::vector<SimHotplug::Event> hotplugEvents() const;
    bool waitForHotplugEvents(size_t count, std::chrono::milliseconds timeout) const;
    // Returns of the device after a reboot.
    size_t reenumerations() const;
    bool waitForReenumerations(size_t count, std::chrono::milliseconds timeout) const;

    // Ends the comeback thread and the monitor (waiting at most `bound` for a
    // handler in flight, also one the host's transport stop left running;
    // false when one did not return in time) and stops the device models.
    // The device stays as plugged as it was.
    bool stop(std::chrono::milliseconds bound = kDefaultStopBound);

    // --- the parts, for tests that script them ----------------------------------
    SimUsb& usb() { return usb_; }
    SimVpu& vpu() { return vpu_; }
    SimProcessorServices& processor() { return processor_; }
    SimFirmware& firmware() { return firmware_; }
    // The unbooted processor's boot monitor, made on first use with the
    // sensor's production data (kBootId, the serial number), chip kChipVersion.
    SimBootMonitor& bootMonitor();

private:
    // Back-end slots 0 and 1.
    static int backendInit(vpu_usb_transport_params* params);
    static int backendDeinit();
    // The monitor's handler: the owner's handler, then the record.
    static int deliverHotplug(int32_t event, bool booted);

    void startMonitor();
    // The host's transport stop (see the top of this file).
    void stopMonitorForHost();
    void onReboot();
    void plugWhole();
    void cancelComeback();
    // Under presenceMutex_: the boot monitor leaves the bus, and the
    // processor's services have interface 0 again.
    void dropBootMonitor();
    SimBootMonitor& bootMonitorLocked();
    void runComebacks();

    const HotplugHandler handler_;
    SimUsb& usb_;
    SimVpu vpu_;
    SimProcessorServices processor_;
    SimFirmware firmware_;
    std::unique_ptr<SimBootMonitor> bootMonitor_;  // under presenceMutex_

    // Plugs and unplugs one at a time, whoever asks (owner or comeback thread).
    std::mutex presenceMutex_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::unique_ptr<SimHotplug> monitor_;
    // Monitors whose handler outlived the stop bound: joined at destruction.
    std::vector<std::unique_ptr<SimHotplug>> retired_;
    std::vector<SimHotplug::Event> events_;
    int32_t inFlight_ = 0;  // the event whose handler runs now (0: none)
    std::chrono::milliseconds rebootDelay_ = kDefaultRebootDelay;
    bool comebackPending_ = false;
    // Removals the host has taken since the last arrival it took.
    size_t removalsSinceArrival_ = 0;
    std::chrono::steady_clock::time_point comebackAt_;
    size_t reenumerations_ = 0;
    bool stopping_ = false;
    bool stopped_ = false;
    std::thread comebacks_;
};

}  // namespace zsim
