// The simulated Windows USB stack beneath the USB access library's
// device-facing table (usb_access/system_api.h): device files opened by path,
// a simulated libusbK/libusb0 kernel driver that decodes the 24-byte request
// blocks by control code, and simulated WinUSB functions, all over one
// device model per device node.
//
// A device node (SimWinDevice) holds its descriptors, its driver, its
// configuration and alternate-setting state, and one EndpointLink per
// endpoint that carries the bytes: an in-memory link (MemoryLink) for tests,
// or the existing simulated sensor's pipes (sim/win_usb_simusb.h) so that the
// whole program can run over it. Nodes are registered with the stack by
// their device path.
//
// How a plug-and-play layer attaches (device list, device registry,
// interface GUIDs, WM_DEVICECHANGE): it keeps its own device tree in files
// of its own, registers each interface node here with addDevice() under the
// path its SetupAPI answers give, removes it with removeDevice(), and fills
// the SetupAPI, registry, configuration-manager and notification entries of
// api() (and procedures of "cfgmgr32" with addProcedure) before the table is
// installed with UsbAccess_SetSystemApi(). The stack only ever fills the
// device-file, I/O and library entries itself.
//
// Transfers: a write completes at once unless its endpoint holds writes. A
// read completes at once when the packets that end it are there; otherwise
// it stays pending, served in order by a thread of its endpoint, until they
// arrive, its transfer time-out passes (PIPE_TRANSFER_TIMEOUT, libusbK and
// WinUSB: it ends with ERROR_SEM_TIMEOUT and what it took so far), the pipe
// is aborted, the request is cancelled, its file closed, or the device
// removed (then it fails with ERROR_DEVICE_NOT_CONNECTED); a read that ends
// so reports the bytes it took. Other kernel
// requests, and WinUSB control transfers, pend while a test holds their kind.
// Completion writes the overlapped record's status and length, and the
// buffer, and sets its event, as the system does.
//
// Bulk IN data comes as USB packets of the endpoint's maximum packet size
// (from its endpoint descriptor: 512 at high speed, 1024 at SuperSpeed). A device
// transfer is a run of full packets ended by a short one; one whose length is
// a whole number of packets is followed by a zero-length packet only when the
// device sends them (setZeroLengthPackets; an empty transfer is a
// zero-length packet all the same). A read takes packets until its buffer is
// full or a short or zero-length packet comes, waiting for each: without
// zero-length packets, transfers of whole packets run together in one read.
// A zero-length packet that a full buffer did not take ends the next read,
// with nothing. With RAW_IO on, a read that is not a whole number of packets,
// or is longer than MAXIMUM_TRANSFER_SIZE, fails with
// ERROR_INVALID_PARAMETER. A packet larger than the room left in the buffer:
//  - libusb0: the read fails with ERROR_GEN_FAILURE (the controller's data
//    overrun) and the packet is lost;
//  - libusbK and WinUSB, pipe policy ALLOW_PARTIAL_READS on (the default):
//    the read takes what fits and succeeds; the rest of the packet starts the
//    next read when AUTO_FLUSH is off (the default) and is thrown away when
//    it is on; a flush of the pipe throws it away as well;
//  - ALLOW_PARTIAL_READS off: as libusb0.
//
// Strict where Windows is: closing a device file cancels its transfers but
// does not wait for them, so a transfer still pending completes later into
// the caller's record and buffer; GetOverlappedResult waits on the record's
// event, or on the file when the record has none (any completion on the file
// wakes it); a file opened without FILE_FLAG_OVERLAPPED runs every request to
// its end inside DeviceIoControl; a WinUSB pipe call on a handle whose
// interface does not own the pipe fails with ERROR_INVALID_PARAMETER; and
// GetOverlappedResult without a record faults, as the system does.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "usb_access/system_api.h"

namespace zsim::win {

struct SimWinAccess;
using Bytes = std::vector<uint8_t>;

// What lies beneath an endpoint.
class EndpointLink {
public:
    virtual ~EndpointLink() = default;
    // A host OUT transfer; a Win32 error, 0 when it was taken.
    virtual DWORD write(const uint8_t* data, uint32_t length, uint32_t* moved) = 0;
    // Takes up to `length` bytes of the oldest device transfer, never from
    // two: 0 with data (`ended` tells whether that was the transfer's last
    // byte; an empty transfer moves nothing and ends); ERROR_IO_PENDING
    // without data once giveUp() is true (it waits while it is false);
    // another error when the link failed.
    virtual DWORD read(uint8_t* buffer, uint32_t length, uint32_t* moved, bool* ended,
                       const std::function<bool()>& giveUp) = 0;
    // Makes a waiting read look at its giveUp() again.
    virtual void wake() = 0;
};

// Device transfers queued by a test; host writes kept with their boundaries.
class MemoryLink : public EndpointLink {
public:
    void deviceSend(const Bytes& transfer);
    std::vector<Bytes> hostWrites() const;
    DWORD write(const uint8_t* data, uint32_t length, uint32_t* moved) override;
    DWORD read(uint8_t* buffer, uint32_t length, uint32_t* moved, bool* ended,
               const std::function<bool()>& giveUp) override;
    void wake() override;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Bytes> toHost_;
    std::vector<Bytes> written_;
};

enum class SimDriver { LibusbK, Libusb0, WinUsb };

// Operations a fault can be aimed at (kernel requests and WinUSB calls alike).
enum class SimOp {
    GetVersion,
    GetConfiguration,
    SetConfiguration,
    GetDescriptor,
    ReadPipe,
    WritePipe,
    Control,
    Claim,
    Release,
    SetAlt,
    GetAlt,
    ResetPipe,
    AbortPipe,
    FlushPipe,
    ResetDevice,
    PipePolicy,
    PowerPolicy,
    QueryInformation,
    FrameNumber,
    Initialize,
    AssociatedInterface,
    Other,
};

class SimWinDevice {
public:
    SimWinDevice(std::string path, SimDriver driver);
    ~SimWinDevice();
    SimWinDevice(const SimWinDevice&) = delete;
    SimWinDevice& operator=(const SimWinDevice&) = delete;

    // An open device file of this node (the stack's own record).
    struct File;

    const std::string& path() const { return path_; }
    SimDriver driver() const { return driver_; }

    // --- identity -------------------------------------------------------------
    void setDeviceDescriptor(const Bytes& descriptor);
    // Configuration descriptors by index, taken as they are (a test may give
    // a malformed one). The first one's value is the configuration at start.
    void setConfigurations(const std::vector<Bytes>& descriptors);
    // String descriptor of an index (language 0x0409), and the language list at 0.
    void setString(uint8_t index, const std::string& text);
    // A string descriptor of an index exactly as given, whatever its length
    // byte, type byte or size says (index 0 is the language list).
    void setStringDescriptor(uint8_t index, const Bytes& descriptor);
    // What get-configuration answers; by default the current configuration.
    // 0 plays an unconfigured device.
    void setReportedConfiguration(uint8_t value);
    void setDriverVersion(std::array<uint32_t, 5> version);
    // A pipe policy as the driver holds it before anyone sets it (as an
    // installation may configure it).
    void setPipePolicy(uint8_t pipe, uint32_t type, const Bytes& value);
    void attach(uint8_t endpoint, std::shared_ptr<EndpointLink> link);
    // Whether the device sends a zero-length packet after a transfer whose
    // length is a whole number of packets (an empty transfer is one all the
    // same). Off by default: many devices send none.
    void setZeroLengthPackets(bool on);

    // --- faults ---------------------------------------------------------------
    // The next operation of that kind fails with `error` (nothing moves).
    void failNext(SimOp op, DWORD error);
    // Reads (IN endpoint) or writes (OUT endpoint) pend until the hold is
    // lifted, or they are aborted or cancelled.
    void holdReads(uint8_t endpoint, bool hold);
    void holdWrites(uint8_t endpoint, bool hold);
    // A transfer held on the endpoint finishes when its pipe is aborted, as
    // one the controller completed just before the abort reached it: a read
    // takes what its link has, a write is sent.
    void finishOnAbort(uint8_t endpoint, bool finish);
    // Abort-pipe requests succeed without reaching any transfer.
    void missAborts(bool miss);
    // Requests of this kind (kernel requests other than pipe transfers and
    // aborts; WinUSB control transfers) pend until released, then run as
    // they would have; cancelled meanwhile, they fail as aborted.
    void holdRequests(SimOp op, bool hold);
    // A cancelled read takes this long to complete and writes `fill` over
    // its buffer first, as a controller that had part of it under way.
    void setAbortCompletion(std::chrono::milliseconds delay, uint8_t fill);
    // Removal: pending transfers fail with ERROR_DEVICE_NOT_CONNECTED, and
    // every later operation on an open file too. Waits for the endpoint
    // threads to end.
    void unplug();
    bool plugged() const;

    // --- observation ------------------------------------------------------------
    struct Request {
        DWORD code;
        std::array<uint8_t, 24> block;
        DWORD inLength;
        DWORD outLength;
    };
    // Every kernel-driver request, in order.
    std::vector<Request> requests() const;
    // Interface number of the WinUSB handle that served each pipe operation.
    std::vector<uint8_t> winUsbServedBy() const;
    size_t pendingTransfers() const;
    bool waitForPendingTransfers(size_t count, std::chrono::milliseconds timeout) const;
    uint8_t currentConfiguration() const;
    uint8_t currentAlt(uint8_t interfaceNumber) const;
    size_t openFiles() const;

private:
    friend class SimWinUsbStack;
    friend struct SimWinAccess;
    struct Pending;
    struct Endpoint;

    // --- used by the stack ---
    DWORD kernelRequest(File* file, DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out, DWORD outLength,
                        LPOVERLAPPED overlapped, bool* pending);
    DWORD pipeTransfer(File* file, uint8_t endpoint, uint8_t* buffer, uint32_t length, LPOVERLAPPED overlapped,
                       bool* pending);
    DWORD descriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* out, uint32_t length, uint32_t* moved);
    DWORD control(const WINUSB_SETUP_PACKET& setup, uint8_t* buffer, uint32_t length, uint32_t* moved);
    DWORD setAlt(uint8_t interfaceNumber, uint8_t alt);
    // Distinct interface numbers of the current configuration, in order.
    std::vector<uint8_t> interfaceNumbers() const;
    bool endpointInCurrentAlt(uint8_t interfaceNumber, uint8_t endpoint) const;
    // `abort`: an abort of the pipe (which finishOnAbort may turn into a
    // completion), not a cancellation.
    void cancel(const std::function<bool(const Pending&)>& which, DWORD error, bool abort = false);
    DWORD execute(DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out, DWORD outLength, uint32_t* moved);
    // Lock held: queues a request that a hold keeps; ERROR_IO_PENDING.
    DWORD holdRequest(File* file, SimOp op, LPOVERLAPPED overlapped, std::function<DWORD(uint32_t*)> run,
                      bool* pending);
    // Lock held: a completed request of `file` signals the file.
    void signalFile(File* file);
    // Lock held: completes a pending request into its caller's record; the
    // request's file when that was closed and this was its last request.
    File* retire(Pending* pending, DWORD error, uint32_t moved);
    bool takeFault(SimOp op, DWORD* error);
    void complete(Pending* pending, DWORD error, uint32_t moved);
    void serve(Endpoint* endpoint);
    // How the endpoint's driver hands packets to a read that has less room.
    struct PacketRules {
        uint32_t packetSize = 512;
        bool partialReads = true;
        bool autoFlush = false;
        bool rawIo = false;
        bool zeroLengthPackets = false;
        std::chrono::milliseconds timeout{0};  // PIPE_TRANSFER_TIMEOUT; 0: none
        uint32_t maximumTransfer = 0;
    };
    // Lock held.
    PacketRules packetRules(uint8_t endpoint) const;
    bool policyOn(uint8_t pipe, uint32_t type) const;
    // Lock held: throws away what a partial read left of a packet.
    void dropKept(uint8_t endpoint);
    // Moves device packets into a host read (the endpoint's packet lock
    // held), going on from the `moved` bytes it took already: 0 when the
    // read is complete, ERROR_IO_PENDING when it waits for a packet and
    // giveUp() is true, or the read's failure; `moved` counts what it has
    // taken in every case.
    DWORD readPackets(Endpoint* endpoint, const PacketRules& rules, uint8_t* buffer, uint32_t length,
                      uint32_t* moved, const std::function<bool()>& giveUp);
    const Bytes* configByValue(uint8_t value) const;

    const std::string path_;
    const SimDriver driver_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool plugged_ = true;
    Bytes deviceDescriptor_;
    std::vector<Bytes> configurations_;
    std::map<uint8_t, Bytes> strings_;
    int reportedConfiguration_ = -1;
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alts_;
    std::set<uint8_t> claimed_;
    std::array<uint32_t, 5> version_{};
    std::map<uint8_t, std::unique_ptr<Endpoint>> endpoints_;
    std::map<SimOp, DWORD> faults_;
    std::map<std::pair<uint8_t, uint32_t>, Bytes> pipePolicies_;
    std::map<uint32_t, Bytes> powerPolicies_;
    std::set<SimOp> heldOps_;
    bool missAborts_ = false;
    bool zeroLengthPackets_ = false;
    std::chrono::milliseconds abortDelay_{0};
    uint8_t abortFill_ = 0;
    std::vector<Request> requests_;
    std::vector<uint8_t> servedBy_;
    std::set<Pending*> pending_;
    size_t openFiles_ = 0;
    uint32_t frame_ = 0;
};

class SimWinUsbStack {
public:
    static SimWinUsbStack& instance();

    // The stack's device-facing table. Its SetupAPI, registry,
    // configuration-manager and notification entries find nothing until a
    // plug-and-play layer fills them.
    UsbAccessSystemApi& api() { return api_; }

    void addDevice(std::shared_ptr<SimWinDevice> device);
    // Unplugs the device and forgets its path (open files keep the model).
    void removeDevice(const std::string& path);
    std::shared_ptr<SimWinDevice> find(const std::string& path) const;
    // winusb.dll present or not (present by default).
    void setWinUsbAvailable(bool available);
    // A procedure that LoadLibraryExA/GetProcAddress of the table find in a
    // device library ("cfgmgr32", "winusb.dll").
    void addProcedure(const std::string& module, const std::string& name, FARPROC procedure);
    // Every device removed, winusb.dll present, no refused library load, the
    // table's plug-and-play entries back to finding nothing.
    void reset();

    // --- observation ---
    // Device files and WinUSB handles handed out and not yet closed or freed.
    size_t openFiles() const;
    size_t openWinUsbHandles() const;
    // Library loads refused because they could search beyond the system
    // folder (a bare name, or a file given).
    size_t searchingLibraryLoads() const;

private:
    friend struct SimWinAccess;
    SimWinUsbStack();
    UsbAccessSystemApi api_;
};

}  // namespace zsim::win
