// Simulated boot monitor: the vision processor of an unbooted sensor, seen
// on interface 0 of the simulated USB bus.
//
// Like the real processor's boot ROM it answers three requests, each one
// bulk transfer (all words 32-bit little-endian):
//   read   0x100, 8, address, count        -> 0x103, 4 + count, error, data
//   write  0x120, 4 + n, address, n bytes  -> 0x123, 4, error
//   jump   0x310, 4, address (+ padding)   -> 0x313, 4, error
// over a sparse 32-bit memory in which the processor's registers are words.
// A jump runs what was loaded there when the monitor recognises it:
//  - a boot-detect program (header "ZBDT", chip version, size) fills the
//    production-data marker and record and sets the done register to 2;
//  - a second-stage loader image (header "ZSPL", chip version) publishes its
//    load table and answers the handshake with 0x101;
//  - the load table's jump address, once the loader runs, starts the kernel:
//    the device re-enumerates as booted (interface 0 unplugged, then
//    interfaces 0 to 4 plugged) once the host has taken the jump's answer.
// A jump anywhere else is answered with error 3.
//
// Tests script it: chip version, boot state (loader present, recovery),
// production data or none, a loader that is slow or never ready, and
// one-shot faults on a chosen request: silence, a wrong answer code, an error
// code, a truncated answer, or removal of the device.
//
// Create it after SimUsb::installFresh()/reset(); start a SimVpu on the
// booted interfaces only after the re-enumeration.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/sim_usb.h"

namespace zsim {

class SimBootMonitor {
public:
    // Registers and addresses of the processor.
    static constexpr uint32_t kRegChipVersion = 0x080200B4;
    static constexpr uint32_t kRegBootState = 0x08020114;
    static constexpr uint32_t kRegHandshake = 0x08020118;
    static constexpr uint32_t kRegTablePointer = 0x08020110;
    static constexpr uint32_t kRegDetectDone = 0x08020108;
    static constexpr uint32_t kAddrBootDetect = 0x02020000;
    static constexpr uint32_t kAddrMarker = 0x02030000;
    static constexpr uint32_t kAddrRecord = 0x02030004;
    static constexpr uint32_t kAddrLoader = 0x01000000;
    static constexpr uint32_t kRecordSize = 659;

    static constexpr uint32_t kChipVpu3 = 0x30000001;
    static constexpr uint32_t kChipVpu4 = 0x40000000;
    static constexpr uint32_t kStateLoaderPresent = 0x87654321;
    static constexpr uint32_t kStateRecovery = 0x43218765;

    static constexpr uint32_t kProgramMagic = 0x5444425A;  // "ZBDT"
    static constexpr uint32_t kLoaderMagic = 0x4C50535A;   // "ZSPL"
    static constexpr uint32_t kJumpRefused = 3;
    static constexpr uint32_t kBadRequest = 0x0E;

    // Where the simulated loader puts its table and the images.
    struct LoadTable {
        uint32_t jump = 0x80008000;
        uint32_t zImage = 0x80008000;
        uint32_t dtb = 0x81F00000;
        uint32_t app = 0x83000000;
    };
    static constexpr uint32_t kTableAddress = 0x01FF0000;

    struct ProductionData {
        int32_t bootId = 0;
        std::string serialNumber;
        std::string manufacturer;
        std::string modelNumber;
        std::string hardwareRevision;
    };

    enum class Op { Read, Write, Jump, Any };
    enum class Fault {
        Silent,      // the request is taken, nothing is answered
        WrongCode,   // the answer carries another request's answer code
        ErrorCode,   // the answer carries error code 5
        Truncated,   // only the first 8 bytes of the answer arrive
        Unplug,      // the device goes away instead of answering
    };

    explicit SimBootMonitor(SimUsb& usb = SimUsb::instance());
    ~SimBootMonitor();
    SimBootMonitor(const SimBootMonitor&) = delete;
    SimBootMonitor& operator=(const SimBootMonitor&) = delete;

    // --- device set-up (before plugUnbooted) ---------------------------------------
    void setChipVersion(uint32_t version);
    void setBootState(uint32_t state);
    // What the boot-detect program finds (and, with the loader present, what
    // is already in memory). Without it the marker stays 0.
    void setProductionData(std::optional<ProductionData> data);
    void setLoadTable(const LoadTable& table);
    // The loader answers 0x101 only from this handshake read on (0: at once);
    // never: it keeps answering its busy value.
    void setLoaderReadyAfterReads(uint32_t reads);
    void setLoaderNeverReady(bool never);
    // The boot-detect program never sets its done register.
    void setBootDetectHangs(bool hangs);

    // Runs on the monitor's own thread when the booted kernel takes over:
    // after the boot interface has gone and before the booted interfaces
    // arrive, so that whatever serves them is ready when the host sees them.
    void setKernelStart(std::function<void()> start);

    // Installs the monitor on interface 0 and plugs it (an unbooted sensor arrives).
    void plugUnbooted();

    // --- faults ---------------------------------------------------------------------
    // The (skip + 1)-th request of kind `op` (at `address` when given) gets the fault.
    void addFault(Op op, std::optional<uint32_t> address, Fault fault, uint32_t skip = 0);

    // --- observation ----------------------------------------------------------------
    // Memory as the device sees it (zeros where nothing was written).
    std::vector<uint8_t> memory(uint32_t address, uint32_t count) const;
    uint32_t word(uint32_t address) const;
    struct Request {
        Op op;
        uint32_t address;
        uint32_t length;  // data bytes (read: bytes asked; write: bytes carried)
        size_t transferSize;
    };
    std::vector<Request> requests() const;
    std::vector<uint32_t> jumps() const;
    bool bootDetectRan() const;
    // Waits (bounded) until the host has started the boot-detect program.
    bool waitForBootDetect(std::chrono::milliseconds timeout);
    bool loaderRunning() const;
    // The host's last write to the handshake register.
    uint32_t handshakeWritten() const;
    // Waits (bounded) until the device has come back as a booted sensor.
    bool waitForReenumeration(std::chrono::milliseconds timeout);
    bool reenumerated() const;

    // Boot-folder files for a chip and boot id, named as the host looks for
    // them, with deterministic contents of the given sizes; the loader image
    // carries its header.
    struct ImageSizes {
        uint32_t kernel = 5000;
        uint32_t dtb = 1300;
        uint32_t app = 4100;
        uint32_t loader = 2100;
    };
    static void writeBootFolder(const std::filesystem::path& folder, uint32_t chipVersion, int32_t bootId,
                                const ImageSizes& sizes);
    static void writeBootFolder(const std::filesystem::path& folder, uint32_t chipVersion, int32_t bootId) {
        writeBootFolder(folder, chipVersion, bootId, ImageSizes());
    }
    // The deterministic contents of one of those files.
    static std::vector<uint8_t> imageBytes(const std::string& name, uint32_t size, uint32_t chipVersion);

private:
    struct FaultRule {
        Op op;
        std::optional<uint32_t> address;
        Fault fault;
        uint32_t skip;
    };

    void onTransfer(const Bytes& transfer);
    void answer(Op op, uint32_t address, Bytes response);
    std::optional<Fault> takeFaultLocked(Op op, uint32_t address);
    uint32_t jumpLocked(uint32_t address);
    uint32_t readHandshakeLocked();
    void writeLocked(uint32_t address, const uint8_t* data, size_t count);
    void readLocked(uint32_t address, uint8_t* data, size_t count) const;
    uint32_t wordLocked(uint32_t address) const;
    void putWordLocked(uint32_t address, uint32_t value);
    void publishProductionDataLocked();
    void reenumerate();

    static constexpr uint32_t kPage = 4096;
    SimUsb& usb_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> pages_;
    uint32_t chipVersion_ = kChipVpu3;
    uint32_t bootState_ = 0;
    std::optional<ProductionData> production_;
    LoadTable table_;
    uint32_t loaderReadyAfter_ = 0;
    bool loaderNeverReady_ = false;
    bool detectHangs_ = false;
    bool detectRan_ = false;
    bool loaderRunning_ = false;
    bool handshakeArmed_ = false;  // the loader has been started or greeted with 0x100
    uint32_t handshakeReads_ = 0;
    uint32_t handshakeWritten_ = 0;
    bool installed_ = false;
    bool kernelStarted_ = false;
    bool reenumerated_ = false;
    bool stopping_ = false;
    std::vector<FaultRule> faults_;
    std::vector<Request> requests_;
    std::vector<uint32_t> jumps_;
    std::function<void()> kernelStart_;
    std::thread reenumerator_;
};

}  // namespace zsim
