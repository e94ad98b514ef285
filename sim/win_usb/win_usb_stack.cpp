// The simulated Windows USB stack: device files, the simulated kernel driver,
// the simulated WinUSB functions and the endpoint threads of pending reads.
#include "sim/win_usb/win_usb_stack.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace zsim::win {

namespace {

constexpr ULONG_PTR kStatusPending = 0x103;

// Control codes of the kernel drivers (what their request blocks mean).
enum : DWORD {
    kSetConfiguration = 0x222004,
    kGetDescriptor = 0x222024,
    kBulkWrite = 0x222029,
    kBulkRead = 0x22202E,
    kResetEndpoint = 0x222038,
    kAbortEndpoint = 0x22203C,
    kResetDevice = 0x222040,
    kGetVersion = 0x222048,
    kGetConfiguration = 0x222408,
    kQueryDeviceInformation = 0x222410,
    kSetPipePolicy = 0x222418,
    kGetPipePolicy = 0x22241C,
    kSetPowerPolicy = 0x222420,
    kGetPowerPolicy = 0x222424,
    kControlWrite = 0x222429,
    kControlRead = 0x22242E,
    kFlushPipe = 0x222430,
    kClaimInterface = 0x222434,
    kReleaseInterface = 0x222438,
    kSetInterface = 0x222440,
    kGetInterface = 0x222444,
    kGetFrameNumber = 0x222448,
};

uint32_t get32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

SimOp opOf(DWORD code) {
    switch (code) {
        case kGetVersion: return SimOp::GetVersion;
        case kGetConfiguration: return SimOp::GetConfiguration;
        case kSetConfiguration: return SimOp::SetConfiguration;
        case kGetDescriptor: return SimOp::GetDescriptor;
        case kBulkRead: return SimOp::ReadPipe;
        case kBulkWrite: return SimOp::WritePipe;
        case kControlRead:
        case kControlWrite: return SimOp::Control;
        case kClaimInterface: return SimOp::Claim;
        case kReleaseInterface: return SimOp::Release;
        case kSetInterface: return SimOp::SetAlt;
        case kGetInterface: return SimOp::GetAlt;
        case kResetEndpoint: return SimOp::ResetPipe;
        case kAbortEndpoint: return SimOp::AbortPipe;
        case kFlushPipe: return SimOp::FlushPipe;
        case kResetDevice: return SimOp::ResetDevice;
        case kSetPipePolicy:
        case kGetPipePolicy: return SimOp::PipePolicy;
        case kSetPowerPolicy:
        case kGetPowerPolicy: return SimOp::PowerPolicy;
        case kQueryDeviceInformation: return SimOp::QueryInformation;
        case kGetFrameNumber: return SimOp::FrameNumber;
        default: return SimOp::Other;
    }
}

// The largest transfer the simulated drivers take in one request.
constexpr uint32_t kMaximumTransferSize = 2 * 1024 * 1024;

// What a pipe policy is before anyone sets it: partial reads are allowed,
// every other policy of one byte is off, the transfer time-out none, and
// the maximum transfer size is the driver's.
Bytes policyDefault(uint32_t type) {
    if (type == ALLOW_PARTIAL_READS) return Bytes{1};
    Bytes value(4, 0);
    if (type == MAXIMUM_TRANSFER_SIZE) {
        for (int i = 0; i < 4; ++i) value[i] = static_cast<uint8_t>(kMaximumTransferSize >> (8 * i));
    }
    return value;
}

// Wakes a waiting read's link when its transfer time-out has passed.
class Alarm {
public:
    Alarm(std::chrono::steady_clock::time_point deadline, std::shared_ptr<EndpointLink> link)
        : thread_([this, deadline, link] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!changed_.wait_until(lock, deadline, [this] { return off_; })) link->wake();
          }) {}
    ~Alarm() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            off_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool off_ = false;
    std::thread thread_;  // last: it uses the members above
};

// The endpoint's maximum packet size as its descriptor in `config` gives it
// (bits 11 and 12 count extra transactions per microframe); 0 when absent.
uint32_t packetSizeIn(const Bytes& config, uint8_t address) {
    for (size_t pos = 0; pos + 5 < config.size() && config[pos] != 0; pos += config[pos]) {
        if (config[pos + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[pos + 2] == address) {
            const uint32_t w = config[pos + 4] | (config[pos + 5] << 8);
            return (w & 0x7FF) * (1 + ((w >> 11) & 3));
        }
    }
    return 0;
}

// A transfer that completes later does this under its device's lock, which
// GetOverlappedResult takes too: once the caller has seen the status, the
// record (on the caller's stack) and its event are not touched again.
void finish(LPOVERLAPPED overlapped, DWORD error, uint32_t moved) {
    std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(moved);
    std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(error);
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

}  // namespace

// --- memory link --------------------------------------------------------------------------

void MemoryLink::deviceSend(const Bytes& transfer) {
    std::lock_guard<std::mutex> lock(mutex_);
    toHost_.push_back(transfer);
    changed_.notify_all();
}

std::vector<Bytes> MemoryLink::hostWrites() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

DWORD MemoryLink::write(const uint8_t* data, uint32_t length, uint32_t* moved) {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.emplace_back(data, data + length);
    *moved = length;
    return ERROR_SUCCESS;
}

DWORD MemoryLink::read(uint8_t* buffer, uint32_t length, uint32_t* moved, bool* ended,
                       const std::function<bool()>& giveUp) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !toHost_.empty() || giveUp(); });
    if (toHost_.empty()) return ERROR_IO_PENDING;
    Bytes& front = toHost_.front();
    const uint32_t count = std::min<uint32_t>(length, static_cast<uint32_t>(front.size()));
    if (count != 0) std::memcpy(buffer, front.data(), count);
    *ended = count == front.size();
    if (*ended) {
        toHost_.pop_front();
    } else {
        front.erase(front.begin(), front.begin() + count);
    }
    *moved = count;
    return ERROR_SUCCESS;
}

void MemoryLink::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

// --- device model -----------------------------------------------------------------------------

struct SimWinDevice::File {
    std::shared_ptr<SimWinDevice> device;
    bool overlapped = true;  // opened with FILE_FLAG_OVERLAPPED
    // Under the device's lock. A closed file lives on while requests of its
    // own are pending (they still complete into their callers' records).
    bool closed = false;
    size_t pending = 0;
    // The file object's own signal: cleared when a request starts on it,
    // set when one completes.
    bool signalled = false;
};

struct SimWinDevice::Endpoint {
    uint8_t address = 0;
    std::shared_ptr<EndpointLink> link;
    bool hold = false;
    bool finishOnAbort = false;
    std::deque<Pending*> queue;
    std::thread worker;
    bool stopping = false;
    // The worker's own wake-up (queue, hold, stop, cancellation), so that
    // the completions of other requests on the device do not wake it.
    std::condition_variable work;
    // Reads of the endpoint take packets one at a time. Under `packets`:
    // whether the device's zero-length packet after a transfer of whole
    // packets is still due (only a device that sends them), and room for a
    // packet that may not fit. Under
    // the device's lock: what a partial read left of a packet, and whether
    // that packet ended its transfer.
    std::mutex packets;
    bool zeroPacketDue = false;
    Bytes scratch;
    Bytes kept;
    bool keptEnds = false;
};

struct SimWinDevice::Pending {
    File* file = nullptr;
    Endpoint* endpoint = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    LPOVERLAPPED overlapped = nullptr;
    std::atomic<bool> cancelled{false};
    DWORD cancelError = ERROR_OPERATION_ABORTED;
    bool finishNow = false;  // aborted on an endpoint that finishes instead
    // A read: what it has taken so far, and when its transfer time-out ends
    // it (none: the epoch).
    uint32_t moved = 0;
    std::chrono::steady_clock::time_point deadline{};
    // A held request that is not a pipe transfer (no endpoint): what it does
    // once released. Runs under the device's lock.
    SimOp op = SimOp::Other;
    std::function<DWORD(uint32_t*)> run;
};

SimWinDevice::SimWinDevice(std::string path, SimDriver driver) : path_(std::move(path)), driver_(driver) {
    version_ = driver == SimDriver::LibusbK ? std::array<uint32_t, 5>{3, 0, 7, 0, 0}
                                            : std::array<uint32_t, 5>{1, 2, 6, 0, 0};
}

SimWinDevice::~SimWinDevice() { unplug(); }

void SimWinDevice::setDeviceDescriptor(const Bytes& descriptor) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceDescriptor_ = descriptor;
}

void SimWinDevice::setConfigurations(const std::vector<Bytes>& descriptors) {
    std::lock_guard<std::mutex> lock(mutex_);
    configurations_ = descriptors;
    configuration_ = !descriptors.empty() && descriptors[0].size() > 5 ? descriptors[0][5] : 0;
}

void SimWinDevice::setString(uint8_t index, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    strings_[0] = Bytes{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    Bytes descriptor{static_cast<uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char c : text) {
        descriptor.push_back(static_cast<uint8_t>(c));
        descriptor.push_back(0);
    }
    strings_[index] = descriptor;
}

void SimWinDevice::setStringDescriptor(uint8_t index, const Bytes& descriptor) {
    std::lock_guard<std::mutex> lock(mutex_);
    strings_[index] = descriptor;
}

void SimWinDevice::setReportedConfiguration(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    reportedConfiguration_ = value;
}

void SimWinDevice::setDriverVersion(std::array<uint32_t, 5> version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = version;
}

void SimWinDevice::setPipePolicy(uint8_t pipe, uint32_t type, const Bytes& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    pipePolicies_[{pipe, type}] = value;
}

void SimWinDevice::attach(uint8_t address, std::shared_ptr<EndpointLink> link) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& endpoint = endpoints_[address];
    if (!endpoint) endpoint = std::make_unique<Endpoint>();
    endpoint->address = address;
    endpoint->link = std::move(link);
}

void SimWinDevice::setZeroLengthPackets(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    zeroLengthPackets_ = on;
}

void SimWinDevice::failNext(SimOp op, DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[op] = error;
}

void SimWinDevice::holdReads(uint8_t address, bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(address);
    if (it != endpoints_.end()) {
        it->second->hold = hold;
        it->second->work.notify_all();
    }
    changed_.notify_all();
}

void SimWinDevice::holdWrites(uint8_t address, bool hold) { holdReads(address, hold); }

void SimWinDevice::finishOnAbort(uint8_t address, bool finish) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(address);
    if (it != endpoints_.end()) it->second->finishOnAbort = finish;
}

void SimWinDevice::missAborts(bool miss) {
    std::lock_guard<std::mutex> lock(mutex_);
    missAborts_ = miss;
}

void SimWinDevice::holdRequests(SimOp op, bool hold) {
    std::vector<File*> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (hold) {
            heldOps_.insert(op);
            return;
        }
        heldOps_.erase(op);
        std::vector<Pending*> released;
        for (Pending* pending : pending_) {
            if (pending->endpoint == nullptr && pending->op == op && !pending->cancelled.load()) {
                released.push_back(pending);
            }
        }
        for (Pending* pending : released) {
            uint32_t moved = 0;
            const DWORD error = plugged_ ? pending->run(&moved) : DWORD{ERROR_DEVICE_NOT_CONNECTED};
            if (File* file = retire(pending, error, moved)) gone.push_back(file);
        }
    }
    for (File* file : gone) delete file;
}

void SimWinDevice::setAbortCompletion(std::chrono::milliseconds delay, uint8_t fill) {
    std::lock_guard<std::mutex> lock(mutex_);
    abortDelay_ = delay;
    abortFill_ = fill;
}

void SimWinDevice::unplug() {
    cancel([](const Pending&) { return true; }, ERROR_DEVICE_NOT_CONNECTED);
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugged_ = false;
        for (auto& [address, endpoint] : endpoints_) {
            endpoint->stopping = true;
            endpoint->work.notify_all();
            if (endpoint->worker.joinable()) workers.push_back(std::move(endpoint->worker));
        }
        changed_.notify_all();
    }
    for (auto& worker : workers) worker.join();
}

bool SimWinDevice::plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

std::vector<SimWinDevice::Request> SimWinDevice::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<uint8_t> SimWinDevice::winUsbServedBy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return servedBy_;
}

size_t SimWinDevice::pendingTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

bool SimWinDevice::waitForPendingTransfers(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pending_.size() == count; });
}

uint8_t SimWinDevice::currentConfiguration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configuration_;
}

uint8_t SimWinDevice::currentAlt(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = alts_.find(interfaceNumber);
    return it == alts_.end() ? 0 : it->second;
}

size_t SimWinDevice::openFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openFiles_;
}

// Lock held.
bool SimWinDevice::takeFault(SimOp op, DWORD* error) {
    auto it = faults_.find(op);
    if (it == faults_.end()) return false;
    *error = it->second;
    faults_.erase(it);
    return true;
}

// Lock held.
const Bytes* SimWinDevice::configByValue(uint8_t value) const {
    for (const auto& config : configurations_) {
        if (config.size() > 5 && config[5] == value) return &config;
    }
    return nullptr;
}

// Lock held. Walks the current configuration the way a host controller
// driver does; the simulated stack trusts its own test data no more than the
// library does, so a malformed descriptor only ends the walk.
std::vector<uint8_t> SimWinDevice::interfaceNumbers() const {
    std::vector<uint8_t> numbers;
    const Bytes* config = configByValue(configuration_);
    if (config == nullptr) return numbers;
    for (size_t pos = 0; pos + 1 < config->size() && (*config)[pos] != 0; pos += (*config)[pos]) {
        if ((*config)[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && pos + 2 < config->size() &&
            std::find(numbers.begin(), numbers.end(), (*config)[pos + 2]) == numbers.end()) {
            numbers.push_back((*config)[pos + 2]);
        }
    }
    return numbers;
}

// Lock held.
bool SimWinDevice::endpointInCurrentAlt(uint8_t interfaceNumber, uint8_t address) const {
    const Bytes* config = configByValue(configuration_);
    if (config == nullptr) return false;
    auto alt = alts_.find(interfaceNumber);
    const uint8_t current = alt == alts_.end() ? 0 : alt->second;
    bool inside = false;
    for (size_t pos = 0; pos + 1 < config->size() && (*config)[pos] != 0; pos += (*config)[pos]) {
        const uint8_t type = (*config)[pos + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && pos + 3 < config->size()) {
            inside = (*config)[pos + 2] == interfaceNumber && (*config)[pos + 3] == current;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && inside && pos + 2 < config->size() &&
                   (*config)[pos + 2] == address) {
            return true;
        }
    }
    return false;
}

// Lock held.
DWORD SimWinDevice::descriptor(uint8_t type, uint8_t index, uint16_t, uint8_t* out, uint32_t length,
                               uint32_t* moved) {
    const Bytes* found = nullptr;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0 && !deviceDescriptor_.empty()) {
        found = &deviceDescriptor_;
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index < configurations_.size()) {
        found = &configurations_[index];
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && strings_.count(index) != 0) {
        found = &strings_.at(index);
    }
    if (found == nullptr) return ERROR_GEN_FAILURE;  // the device stalls
    *moved = std::min<uint32_t>(length, static_cast<uint32_t>(found->size()));
    if (*moved != 0) std::memcpy(out, found->data(), *moved);
    return ERROR_SUCCESS;
}

// Lock held.
DWORD SimWinDevice::control(const WINUSB_SETUP_PACKET& setup, uint8_t* buffer, uint32_t length, uint32_t* moved) {
    *moved = 0;
    const uint32_t wanted = std::min<uint32_t>(length, setup.Length);
    if (setup.RequestType == 0x80 && setup.Request == 6) {  // standard GET_DESCRIPTOR
        return descriptor(static_cast<uint8_t>(setup.Value >> 8), static_cast<uint8_t>(setup.Value & 0xFF),
                          setup.Index, buffer, wanted, moved);
    }
    if ((setup.RequestType & 0x80) != 0) return ERROR_GEN_FAILURE;  // nothing else to say
    return ERROR_SUCCESS;
}

// Lock held.
DWORD SimWinDevice::setAlt(uint8_t interfaceNumber, uint8_t alt) {
    const Bytes* config = configByValue(configuration_);
    if (config != nullptr) {
        for (size_t pos = 0; pos + 3 < config->size() && (*config)[pos] != 0; pos += (*config)[pos]) {
            if ((*config)[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && (*config)[pos + 2] == interfaceNumber &&
                (*config)[pos + 3] == alt) {
                alts_[interfaceNumber] = alt;
                return ERROR_SUCCESS;
            }
        }
    }
    return ERROR_INVALID_PARAMETER;
}

void SimWinDevice::cancel(const std::function<bool(const Pending&)>& which, DWORD error, bool abort) {
    std::vector<std::shared_ptr<EndpointLink>> links;
    std::vector<Pending*> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Pending* pending : pending_) {
            if (!which(*pending) || pending->cancelled.load() || pending->finishNow) continue;
            if (abort && pending->endpoint != nullptr && pending->endpoint->finishOnAbort) {
                pending->finishNow = true;
                links.push_back(pending->endpoint->link);
                continue;
            }
            pending->cancelError = error;
            pending->cancelled.store(true);
            if (pending->endpoint != nullptr) {
                links.push_back(pending->endpoint->link);
            } else {
                held.push_back(pending);
            }
        }
        for (auto& [address, endpoint] : endpoints_) endpoint->work.notify_all();
        changed_.notify_all();
    }
    for (auto& link : links) link->wake();
    // A held request has no thread of its own: it completes here.
    for (Pending* pending : held) complete(pending, error, 0);
}

// Lock held. Completes a pending request into its caller's record; returns
// its file when that was closed and this was its last request.
SimWinDevice::File* SimWinDevice::retire(Pending* pending, DWORD error, uint32_t moved) {
    finish(pending->overlapped, error, moved);
    File* file = pending->file;
    signalFile(file);
    pending_.erase(pending);
    delete pending;
    changed_.notify_all();
    return --file->pending == 0 && file->closed ? file : nullptr;
}

void SimWinDevice::signalFile(File* file) {
    file->signalled = true;
    changed_.notify_all();
}

DWORD SimWinDevice::holdRequest(File* file, SimOp op, LPOVERLAPPED overlapped, std::function<DWORD(uint32_t*)> run,
                                bool* pending) {
    auto* request = new Pending{};
    request->file = file;
    request->overlapped = overlapped;
    request->op = op;
    request->run = std::move(run);
    std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(kStatusPending);
    ++file->pending;
    pending_.insert(request);
    changed_.notify_all();
    *pending = true;
    return ERROR_IO_PENDING;
}

void SimWinDevice::complete(Pending* pending, DWORD error, uint32_t moved) {
    File* gone = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone = retire(pending, error, moved);
    }
    delete gone;
}

// Lock held.
bool SimWinDevice::policyOn(uint8_t pipe, uint32_t type) const {
    auto it = pipePolicies_.find({pipe, type});
    const Bytes value = it != pipePolicies_.end() ? it->second : policyDefault(type);
    return !value.empty() && value[0] != 0;
}

// Lock held.
SimWinDevice::PacketRules SimWinDevice::packetRules(uint8_t address) const {
    PacketRules rules;
    const Bytes* config = configByValue(configuration_);
    const uint32_t size = config != nullptr ? packetSizeIn(*config, address) : 0;
    if (size != 0) rules.packetSize = size;
    // libusb0 knows no partial reads; its pipe policies never reach it.
    rules.partialReads = driver_ != SimDriver::Libusb0 && policyOn(address, ALLOW_PARTIAL_READS);
    rules.autoFlush = policyOn(address, AUTO_FLUSH);
    if (driver_ != SimDriver::Libusb0) {
        rules.rawIo = policyOn(address, RAW_IO);
        auto value = [&](uint32_t type) {
            auto it = pipePolicies_.find({address, type});
            const Bytes bytes = it != pipePolicies_.end() ? it->second : policyDefault(type);
            return bytes.size() >= 4 ? get32(bytes.data()) : 0;
        };
        rules.timeout = std::chrono::milliseconds(value(PIPE_TRANSFER_TIMEOUT));
        rules.maximumTransfer = value(MAXIMUM_TRANSFER_SIZE);
    }
    rules.zeroLengthPackets = zeroLengthPackets_;
    return rules;
}

// Lock held.
void SimWinDevice::dropKept(uint8_t address) {
    auto it = endpoints_.find(address);
    if (it != endpoints_.end()) it->second->kept.clear();
}

DWORD SimWinDevice::readPackets(Endpoint* endpoint, const PacketRules& rules, uint8_t* buffer, uint32_t length,
                                uint32_t* moved, const std::function<bool()>& giveUp) {
    const uint32_t size = rules.packetSize;
    uint32_t total = *moved;
    std::shared_ptr<EndpointLink> link;
    bool done = false;
    {
        // What a partial read kept comes first.
        std::lock_guard<std::mutex> lock(mutex_);
        link = endpoint->link;
        if (total == 0 && !endpoint->kept.empty()) {
            total = std::min<uint32_t>(length, static_cast<uint32_t>(endpoint->kept.size()));
            if (total != 0) std::memcpy(buffer, endpoint->kept.data(), total);
            endpoint->kept.erase(endpoint->kept.begin(), endpoint->kept.begin() + total);
            done = !endpoint->kept.empty() || endpoint->keptEnds;
        }
    }
    DWORD error = ERROR_SUCCESS;
    while (!done) {
        if (total == length) break;  // a full buffer leaves the rest, a due zero-length packet too
        if (endpoint->zeroPacketDue) {
            endpoint->zeroPacketDue = false;
            break;
        }
        const uint32_t room = length - total;
        const bool whole = room >= size;
        if (!whole && endpoint->scratch.size() < size) endpoint->scratch.resize(size);
        uint8_t* target = whole ? buffer + total : endpoint->scratch.data();
        // As many whole packets as fit go straight to the buffer in one go
        // (the link never hands over more than one transfer); one that may
        // not fit comes alone. Every packet is waited for: the request ends
        // only when its buffer is full or a short or zero-length packet came.
        const uint32_t ask = whole ? room - room % size : size;
        uint32_t count = 0;
        bool ended = false;
        error = link->read(target, ask, &count, &ended, giveUp);
        if (error != ERROR_SUCCESS) break;
        // The last packet of a transfer of whole packets: the device's
        // zero-length packet, if it sends one, comes next.
        const bool zeroPacketNext = rules.zeroLengthPackets && ended && count != 0 && count % size == 0;
        if (whole || count <= room) {
            if (!whole && count != 0) std::memcpy(buffer + total, target, count);
            total += count;
            // A short packet ends the transfer, and so does an empty one.
            if (count % size != 0 || count == 0) break;
            if (zeroPacketNext) endpoint->zeroPacketDue = true;
            continue;
        }
        // The packet does not fit.
        if (!rules.partialReads) {
            error = ERROR_GEN_FAILURE;  // data overrun: the packet is lost
            break;
        }
        std::memcpy(buffer + total, target, room);
        total += room;
        if (!rules.autoFlush) {
            std::lock_guard<std::mutex> lock(mutex_);
            endpoint->kept.assign(target + room, target + count);
            endpoint->keptEnds = count < size;
            if (zeroPacketNext) endpoint->zeroPacketDue = true;
        }
        break;
    }
    *moved = total;
    return error;
}

void SimWinDevice::serve(Endpoint* endpoint) {
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        endpoint->work.wait(lock, [&] { return endpoint->stopping || !endpoint->queue.empty(); });
        if (endpoint->queue.empty()) return;
        Pending* pending = endpoint->queue.front();
        std::shared_ptr<EndpointLink> link = endpoint->link;
        // A held transfer waits for the hold to go, or for its end.
        endpoint->work.wait(lock, [&] { return !endpoint->hold || pending->cancelled.load() || pending->finishNow; });
        const bool finishNow = pending->finishNow;
        const bool cancelled = pending->cancelled.load() && !finishNow;
        const auto delay = abortDelay_;
        const uint8_t fill = abortFill_;
        const auto deadline = pending->deadline;
        DWORD error = ERROR_IO_PENDING;
        uint32_t moved = pending->moved;
        bool timedOut = false;
        lock.unlock();
        if (!cancelled && (endpoint->address & 0x80) != 0) {
            lock.lock();
            const PacketRules rules = packetRules(endpoint->address);
            lock.unlock();
            std::optional<Alarm> alarm;
            if (deadline != std::chrono::steady_clock::time_point{}) alarm.emplace(deadline, link);
            std::lock_guard<std::mutex> packets(endpoint->packets);
            error = readPackets(endpoint, rules, pending->buffer, pending->length, &moved, [&] {
                if (finishNow || pending->cancelled.load()) return true;
                timedOut = deadline != std::chrono::steady_clock::time_point{} &&
                           std::chrono::steady_clock::now() >= deadline;
                return timedOut;
            });
        } else if (!cancelled) {
            error = link->write(pending->buffer, pending->length, &moved);
        }
        if (error == ERROR_IO_PENDING && finishNow && moved != 0) {
            error = ERROR_SUCCESS;  // completed with what had come when the abort reached it
        } else if (error == ERROR_IO_PENDING && timedOut && !pending->cancelled.load()) {
            // The driver's transfer time-out ends the read with what it has.
            error = ERROR_SEM_TIMEOUT;
        } else if (error == ERROR_IO_PENDING) {
            // Cancelled: what the read had taken stays in its buffer, and is
            // reported; the rest is the controller's.
            if (delay.count() > 0) std::this_thread::sleep_for(delay);
            if (fill != 0 && moved < pending->length) std::memset(pending->buffer + moved, fill, pending->length - moved);
            error = pending->cancelError;
        }
        lock.lock();
        endpoint->queue.pop_front();
        lock.unlock();
        complete(pending, error, moved);
    }
}

DWORD SimWinDevice::pipeTransfer(File* file, uint8_t address, uint8_t* buffer, uint32_t length,
                                 LPOVERLAPPED overlapped, bool* pending) {
    *pending = false;
    std::unique_lock<std::mutex> lock(mutex_);
    file->signalled = false;
    if (!plugged_) return ERROR_DEVICE_NOT_CONNECTED;
    const bool in = (address & 0x80) != 0;
    DWORD error = ERROR_SUCCESS;
    if (takeFault(in ? SimOp::ReadPipe : SimOp::WritePipe, &error)) return error;
    auto it = endpoints_.find(address);
    if (it == endpoints_.end() || !it->second->link) return ERROR_INVALID_PARAMETER;
    Endpoint* endpoint = it->second.get();
    std::shared_ptr<EndpointLink> link = endpoint->link;
    uint32_t moved = 0;
    const PacketRules rules = in ? packetRules(address) : PacketRules{};
    // Raw reads go to the controller as they are: whole packets, no more
    // than the driver's maximum.
    if (in && rules.rawIo && (length % rules.packetSize != 0 || length > rules.maximumTransfer)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto deadline = rules.timeout.count() != 0 ? std::chrono::steady_clock::now() + rules.timeout
                                                     : std::chrono::steady_clock::time_point{};
    if (!endpoint->hold && endpoint->queue.empty()) {
        lock.unlock();
        if (in) {
            std::lock_guard<std::mutex> packets(endpoint->packets);
            error = readPackets(endpoint, rules, buffer, length, &moved, [] { return true; });
        } else {
            error = link->write(buffer, length, &moved);
        }
        lock.lock();
        if (error != ERROR_IO_PENDING) {
            finish(overlapped, error, moved);
            signalFile(file);
            return error;
        }
        if (!plugged_) return ERROR_DEVICE_NOT_CONNECTED;
    }
    // A read that has to wait goes on from what it took already.
    auto* request = new Pending{};
    request->file = file;
    request->endpoint = endpoint;
    request->buffer = buffer;
    request->length = length;
    request->overlapped = overlapped;
    request->moved = moved;
    request->deadline = deadline;
    std::atomic_ref<ULONG_PTR>(overlapped->Internal).store(kStatusPending);
    ++file->pending;
    pending_.insert(request);
    endpoint->queue.push_back(request);
    if (!endpoint->worker.joinable()) endpoint->worker = std::thread([this, endpoint] { serve(endpoint); });
    endpoint->work.notify_all();
    changed_.notify_all();
    *pending = true;
    return ERROR_IO_PENDING;
}

DWORD SimWinDevice::kernelRequest(File* file, DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out,
                                  DWORD outLength, LPOVERLAPPED overlapped, bool* pending) {
    *pending = false;
    std::unique_lock<std::mutex> lock(mutex_);
    Request logged{code, {}, inLength, outLength};
    if (in != nullptr) std::memcpy(logged.block.data(), in, std::min<DWORD>(inLength, 24));
    requests_.push_back(logged);
    file->signalled = false;
    auto done = [&](DWORD error, uint32_t moved) {
        finish(overlapped, error, moved);
        signalFile(file);
        return error;
    };
    if (in == nullptr || inLength < 24) return done(ERROR_INVALID_PARAMETER, 0);
    if (!plugged_) return done(ERROR_DEVICE_NOT_CONNECTED, 0);
    DWORD error = ERROR_SUCCESS;
    if (takeFault(opOf(code), &error)) return done(error, 0);
    switch (code) {
        case kBulkRead:
        case kBulkWrite:
            lock.unlock();
            return pipeTransfer(file, static_cast<uint8_t>(get32(in + 4)), out, outLength, overlapped, pending);
        case kAbortEndpoint: {
            const auto address = static_cast<uint8_t>(get32(in + 4));
            const bool miss = missAborts_;
            lock.unlock();
            if (!miss) {
                cancel([address](const Pending& p) { return p.endpoint != nullptr && p.endpoint->address == address; },
                       ERROR_OPERATION_ABORTED, true);
            }
            lock.lock();
            return done(ERROR_SUCCESS, 0);
        }
        default: break;
    }
    if (heldOps_.count(opOf(code)) != 0) {
        // The input goes with the request, as the system copies it; the
        // output is written when the request completes.
        Bytes input(in, in + inLength);
        return holdRequest(
            file, opOf(code), overlapped,
            [this, code, input, out, outLength](uint32_t* moved) {
                return execute(code, input.data(), static_cast<DWORD>(input.size()), out, outLength, moved);
            },
            pending);
    }
    uint32_t moved = 0;
    error = execute(code, in, inLength, out, outLength, &moved);
    return done(error, moved);
}

// Lock held. What the kernel driver does with a request that is not a pipe
// transfer or an abort.
DWORD SimWinDevice::execute(DWORD code, const uint8_t* in, DWORD inLength, uint8_t* out, DWORD outLength,
                            uint32_t* moved) {
    *moved = 0;
    auto done = [&](DWORD error, uint32_t count) {
        *moved = count;
        return error;
    };
    const uint8_t* block = in;
    auto answerBlock = [&](const uint8_t* answer, uint32_t size) {
        const uint32_t count = std::min<uint32_t>(outLength, size);
        if (count != 0) std::memcpy(out, answer, count);
        return done(ERROR_SUCCESS, count);
    };
    uint8_t answer[24] = {};
    switch (code) {
        case kGetVersion:
            for (int i = 0; i < 5; ++i) put32(answer + 4 + 4 * i, version_[i]);
            return answerBlock(answer, sizeof(answer));
        case kGetConfiguration:
            answer[0] = reportedConfiguration_ >= 0 ? static_cast<uint8_t>(reportedConfiguration_) : configuration_;
            return answerBlock(answer, 1);
        case kSetConfiguration: {
            const uint32_t value = get32(block + 4);
            if (value == 0xFFFFFFFFu) {
                // "Any": the driver takes the first configuration.
                configuration_ = !configurations_.empty() && configurations_[0].size() > 5 ? configurations_[0][5] : 0;
            } else if (value <= 0xFF && configByValue(static_cast<uint8_t>(value)) != nullptr) {
                configuration_ = static_cast<uint8_t>(value);
            } else {
                return done(ERROR_INVALID_PARAMETER, 0);
            }
            if (reportedConfiguration_ == 0) reportedConfiguration_ = -1;
            alts_.clear();
            return done(ERROR_SUCCESS, 0);
        }
        case kGetDescriptor:
            return descriptor(static_cast<uint8_t>(get32(block + 4)), static_cast<uint8_t>(get32(block + 8)),
                              static_cast<uint16_t>(get32(block + 12)), out, outLength, moved);
        case kResetEndpoint: return done(ERROR_SUCCESS, 0);
        case kFlushPipe:
            dropKept(static_cast<uint8_t>(get32(block + 4)));
            return done(ERROR_SUCCESS, 0);
        case kResetDevice: return done(ERROR_SUCCESS, 0);
        case kQueryDeviceInformation:
            if (get32(block + 4) != DEVICE_SPEED || outLength < 1) return done(ERROR_INVALID_PARAMETER, 0);
            out[0] = 3;  // high speed
            return done(ERROR_SUCCESS, 1);
        case kSetPipePolicy:
            pipePolicies_[{static_cast<uint8_t>(get32(block + 8)), get32(block + 12)}] = Bytes(in + 24, in + inLength);
            return done(ERROR_SUCCESS, 0);
        case kGetPipePolicy: {
            auto it = pipePolicies_.find({static_cast<uint8_t>(get32(block + 8)), get32(block + 12)});
            const Bytes value = it != pipePolicies_.end() ? it->second : policyDefault(get32(block + 12));
            return answerBlock(value.data(), static_cast<uint32_t>(value.size()));
        }
        case kSetPowerPolicy:
            powerPolicies_[get32(block + 4)] = Bytes(in + 24, in + inLength);
            return done(ERROR_SUCCESS, 0);
        case kGetPowerPolicy: {
            auto it = powerPolicies_.find(get32(block + 4));
            const Bytes value = it != powerPolicies_.end() ? it->second : Bytes(4, 0);
            return answerBlock(value.data(), static_cast<uint32_t>(value.size()));
        }
        case kControlRead:
        case kControlWrite: {
            WINUSB_SETUP_PACKET setup;
            std::memcpy(&setup, block + 4, sizeof(setup));
            return control(setup, out, outLength, moved);
        }
        case kClaimInterface:
        case kReleaseInterface: {
            const uint32_t number = get32(block + 4);
            const auto numbers = interfaceNumbers();
            if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) {
                return done(ERROR_INVALID_PARAMETER, 0);
            }
            if (code == kClaimInterface) {
                claimed_.insert(static_cast<uint8_t>(number));
            } else {
                claimed_.erase(static_cast<uint8_t>(number));
            }
            return done(ERROR_SUCCESS, 0);
        }
        case kSetInterface:
            return done(setAlt(static_cast<uint8_t>(get32(block + 4)), static_cast<uint8_t>(get32(block + 8))), 0);
        case kGetInterface: {
            std::memcpy(answer, block, sizeof(answer));
            auto it = alts_.find(static_cast<uint8_t>(get32(block + 4)));
            answer[8] = it == alts_.end() ? 0 : it->second;
            return answerBlock(answer, sizeof(answer));
        }
        case kGetFrameNumber:
            put32(answer, ++frame_);
            return answerBlock(answer, sizeof(answer));
        default: return done(ERROR_INVALID_FUNCTION, 0);
    }
}

// --- the stack and its table ----------------------------------------------------------------------

namespace {

struct WinUsbHandle {
    SimWinDevice::File* file;
    uint8_t position;  // 0: the opened interface; k+1: the k-th associated one
};

struct StackState {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<SimWinDevice>> devices;
    std::set<void*> files;
    std::set<WinUsbHandle*> winUsbHandles;
    std::map<std::string, std::map<std::string, FARPROC>> procedures;
    bool winUsbAvailable = true;
    size_t searchingLoads = 0;  // loads refused for searching beyond the system folder
};

StackState& state() {
    static StackState* s = new StackState;  // outlives every thread that may still close a file
    return *s;
}

char winUsbModuleTag;
char configManagerModuleTag;
// Module handles of the device libraries this stack provides.
HMODULE winUsbModule() { return reinterpret_cast<HMODULE>(&winUsbModuleTag); }
HMODULE configManagerModule() { return reinterpret_cast<HMODULE>(&configManagerModuleTag); }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

// Access to SimWinDevice's private parts for the table's functions.
struct SimWinAccess {
    using File = SimWinDevice::File;

    static File* file(HANDLE handle) {
        std::lock_guard<std::mutex> lock(state().mutex);
        return state().files.count(handle) != 0 ? static_cast<File*>(handle) : nullptr;
    }

    static WinUsbHandle* winUsb(WINUSB_INTERFACE_HANDLE handle) {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto* h = static_cast<WinUsbHandle*>(handle);
        return state().winUsbHandles.count(h) != 0 ? h : nullptr;
    }

    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    static BOOL result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : fail(error); }

    // --- device files ---

    static HANDLE WINAPI CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
        std::shared_ptr<SimWinDevice> device = path != nullptr ? SimWinUsbStack::instance().find(path) : nullptr;
        if (!device || !device->plugged()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        auto* made = new File{device};
        made->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
        {
            std::lock_guard<std::mutex> lock(device->mutex_);
            ++device->openFiles_;
        }
        std::lock_guard<std::mutex> lock(state().mutex);
        state().files.insert(made);
        return made;
    }

    static BOOL WINAPI CloseHandle(HANDLE handle) {
        File* f = file(handle);
        if (f == nullptr) return fail(ERROR_INVALID_HANDLE);
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            state().files.erase(f);
        }
        // Closing a file cancels its transfers and does not wait for them:
        // each still completes later into its caller's record and buffer.
        std::shared_ptr<SimWinDevice> device = f->device;
        device->cancel([f](const SimWinDevice::Pending& p) { return p.file == f; }, ERROR_OPERATION_ABORTED);
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(device->mutex_);
            --device->openFiles_;
            f->closed = true;
            idle = f->pending == 0;
        }
        if (idle) delete f;
        return TRUE;
    }

    static BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out,
                                       DWORD outLength, LPDWORD returned, LPOVERLAPPED overlapped) {
        File* f = file(handle);
        if (f == nullptr) return fail(ERROR_INVALID_HANDLE);
        if (f->device->driver() == SimDriver::WinUsb) return fail(ERROR_INVALID_FUNCTION);
        if (!f->overlapped) {
            // A file opened without FILE_FLAG_OVERLAPPED ignores the record
            // and runs the request to its end here.
            OVERLAPPED own{};
            bool pending = false;
            const DWORD error = f->device->kernelRequest(f, code, static_cast<const uint8_t*>(in), inLength,
                                                         static_cast<uint8_t*>(out), outLength, &own, &pending);
            DWORD moved = 0;
            const BOOL ok = pending ? waitRecord(*f->device, &own, &moved) : result(error);
            if (!pending) moved = static_cast<DWORD>(own.InternalHigh);
            if (returned != nullptr) *returned = moved;
            return ok;
        }
        // An overlapped file needs a record for every request.
        if (overlapped == nullptr) return fail(ERROR_INVALID_PARAMETER);
        bool pending = false;
        const DWORD error = f->device->kernelRequest(f, code, static_cast<const uint8_t*>(in), inLength,
                                                     static_cast<uint8_t*>(out), outLength, overlapped, &pending);
        if (pending) return fail(ERROR_IO_PENDING);
        if (returned != nullptr) *returned = static_cast<DWORD>(overlapped->InternalHigh);
        return result(error);
    }

    // The stack's own wait for a record of its own (a synchronous call).
    static BOOL waitRecord(SimWinDevice& device, LPOVERLAPPED overlapped, DWORD* moved) {
        std::unique_lock<std::mutex> lock(device.mutex_);
        std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
        // Bounded by the endpoint threads: removal, abort and close all complete it.
        device.changed_.wait(lock, [&] { return status.load() != kStatusPending; });
        *moved = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load());
        const DWORD error = static_cast<DWORD>(status.load());
        lock.unlock();
        return result(error);
    }

    static BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD moved, BOOL wait) {
        File* f = file(handle);
        if (f == nullptr) return fail(ERROR_INVALID_HANDLE);
        if (overlapped == nullptr) {
            // The system reads the record without a check and faults.
            std::fputs("GetOverlappedResult without an OVERLAPPED: the system faults here\n", stderr);
            std::abort();
        }
        SimWinDevice& device = *f->device;
        std::atomic_ref<ULONG_PTR> status(overlapped->Internal);
        if (status.load() == kStatusPending && wait) {
            if (overlapped->hEvent != nullptr) {
                WaitForSingleObject(overlapped->hEvent, INFINITE);
            } else {
                // Without an event the file itself is waited on: any request
                // of the file that completes wakes the caller, not only this one.
                std::unique_lock<std::mutex> lock(device.mutex_);
                device.changed_.wait(lock, [&] { return f->signalled; });
            }
        }
        std::unique_lock<std::mutex> lock(device.mutex_);
        if (status.load() == kStatusPending) return fail(ERROR_IO_INCOMPLETE);
        const DWORD count = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).load());
        const DWORD error = static_cast<DWORD>(status.load());
        lock.unlock();
        if (moved != nullptr) *moved = count;
        return result(error);
    }

    static BOOL WINAPI CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
        File* f = file(handle);
        if (f == nullptr) return fail(ERROR_INVALID_HANDLE);
        bool found = false;
        f->device->cancel(
            [&](const SimWinDevice::Pending& p) {
                const bool match = p.file == f && (overlapped == nullptr || p.overlapped == overlapped);
                found = found || match;
                return match;
            },
            ERROR_OPERATION_ABORTED);
        return found ? TRUE : fail(ERROR_NOT_FOUND);
    }

    // --- device libraries ---

    // A load that may look beyond the system folder (a bare name searches the
    // program's own folder first) finds, on a user's machine, whatever was
    // planted there: this stack refuses it, so that no test passes with it.
    static HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
        if (file != nullptr || (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) == 0) {
            std::lock_guard<std::mutex> lock(state().mutex);
            ++state().searchingLoads;
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        const std::string wanted = name != nullptr ? lower(name) : std::string();
        if (wanted == "winusb.dll" || wanted == "winusb") {
            std::lock_guard<std::mutex> lock(state().mutex);
            if (!state().winUsbAvailable) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            return winUsbModule();
        }
        if (wanted == "cfgmgr32" || wanted == "cfgmgr32.dll") return configManagerModule();
        return ::GetModuleHandleA(name);
    }

    static FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
        if (module != winUsbModule() && module != configManagerModule()) return ::GetProcAddress(module, name);
        const std::string key = module == winUsbModule() ? "winusb.dll" : "cfgmgr32";
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            auto& table = state().procedures[key];
            auto it = table.find(name != nullptr ? name : "");
            if (it != table.end()) return it->second;
        }
        const UsbAccessSystemApi& api = SimWinUsbStack::instance().api();
        if (module == configManagerModule() && name != nullptr) {
            if (std::strcmp(name, "CM_Get_Parent") == 0) return asProc(api.CM_Get_Parent);
            if (std::strcmp(name, "CM_Get_Device_IDA") == 0) return asProc(api.CM_Get_Device_IDA);
        }
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }

    template <class Fn>
    static FARPROC asProc(Fn function) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
    }

    // --- WinUSB ---

    static BOOL WINAPI WinUsb_Initialize(HANDLE handle, PWINUSB_INTERFACE_HANDLE out) {
        File* f = file(handle);
        if (f == nullptr || out == nullptr) return fail(ERROR_INVALID_HANDLE);
        SimWinDevice& device = *f->device;
        {
            std::lock_guard<std::mutex> lock(device.mutex_);
            if (!device.plugged_) return fail(ERROR_DEVICE_NOT_CONNECTED);
            if (device.driver_ != SimDriver::WinUsb) return fail(ERROR_NOT_SUPPORTED);
            DWORD error = 0;
            if (device.takeFault(SimOp::Initialize, &error)) return fail(error);
        }
        auto* made = new WinUsbHandle{f, 0};
        std::lock_guard<std::mutex> lock(state().mutex);
        state().winUsbHandles.insert(made);
        *out = made;
        return TRUE;
    }

    static BOOL WINAPI WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE handle, UCHAR index,
                                                     PWINUSB_INTERFACE_HANDLE out) {
        WinUsbHandle* h = winUsb(handle);
        if (h == nullptr || out == nullptr) return fail(ERROR_INVALID_HANDLE);
        SimWinDevice& device = *h->file->device;
        {
            std::lock_guard<std::mutex> lock(device.mutex_);
            DWORD error = 0;
            if (device.takeFault(SimOp::AssociatedInterface, &error)) return fail(error);
            if (static_cast<size_t>(index) + 1 >= device.interfaceNumbers().size()) return fail(ERROR_NO_MORE_ITEMS);
        }
        auto* made = new WinUsbHandle{h->file, static_cast<uint8_t>(index + 1)};
        std::lock_guard<std::mutex> lock(state().mutex);
        state().winUsbHandles.insert(made);
        *out = made;
        return TRUE;
    }

    static BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto* h = static_cast<WinUsbHandle*>(handle);
        if (state().winUsbHandles.erase(h) == 0) return fail(ERROR_INVALID_HANDLE);
        delete h;
        return TRUE;
    }

    // Runs `body` under the device's lock with the handle's interface number.
    template <class Body>
    static BOOL onInterface(WINUSB_INTERFACE_HANDLE handle, SimOp op, Body body) {
        WinUsbHandle* h = winUsb(handle);
        if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
        SimWinDevice& device = *h->file->device;
        std::lock_guard<std::mutex> lock(device.mutex_);
        if (!device.plugged_) return fail(ERROR_DEVICE_NOT_CONNECTED);
        DWORD error = 0;
        if (device.takeFault(op, &error)) return fail(error);
        const auto numbers = device.interfaceNumbers();
        if (h->position >= numbers.size()) return fail(ERROR_INVALID_HANDLE);
        return result(body(device, numbers[h->position]));
    }

    // As onInterface, for a call on one pipe: the handle's interface must
    // own the pipe in its current setting (the default pipe belongs to all).
    template <class Body>
    static BOOL onPipe(WINUSB_INTERFACE_HANDLE handle, SimOp op, UCHAR pipe, Body body) {
        return onInterface(handle, op, [&](SimWinDevice& device, uint8_t number) -> DWORD {
            if ((pipe & 0x7F) != 0 && !device.endpointInCurrentAlt(number, pipe)) return ERROR_INVALID_PARAMETER;
            return body(device, number);
        });
    }

    static BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT language,
                                            PUCHAR buffer, ULONG length, PULONG transferred) {
        return onInterface(handle, SimOp::GetDescriptor, [&](SimWinDevice& device, uint8_t) {
            uint32_t moved = 0;
            const DWORD error = device.descriptor(type, index, language, buffer, length, &moved);
            if (transferred != nullptr) *transferred = moved;
            return error;
        });
    }

    static BOOL WINAPI WinUsb_QueryDeviceInformation(WINUSB_INTERFACE_HANDLE handle, ULONG type, PULONG length,
                                                     PVOID buffer) {
        return onInterface(handle, SimOp::QueryInformation, [&](SimWinDevice&, uint8_t) -> DWORD {
            if (type != DEVICE_SPEED || length == nullptr || *length < 1 || buffer == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            *static_cast<uint8_t*>(buffer) = 3;
            *length = 1;
            return ERROR_SUCCESS;
        });
    }

    static BOOL WINAPI WinUsb_SetCurrentAlternateSetting(WINUSB_INTERFACE_HANDLE handle, UCHAR alt) {
        return onInterface(handle, SimOp::SetAlt,
                           [&](SimWinDevice& device, uint8_t number) { return device.setAlt(number, alt); });
    }

    static BOOL WINAPI WinUsb_GetCurrentAlternateSetting(WINUSB_INTERFACE_HANDLE handle, PUCHAR alt) {
        return onInterface(handle, SimOp::GetAlt, [&](SimWinDevice& device, uint8_t number) -> DWORD {
            if (alt == nullptr) return ERROR_INVALID_PARAMETER;
            auto it = device.alts_.find(number);
            *alt = it == device.alts_.end() ? 0 : it->second;
            return ERROR_SUCCESS;
        });
    }

    static BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type, ULONG length,
                                            PVOID value) {
        return onPipe(handle, SimOp::PipePolicy, pipe, [&](SimWinDevice& device, uint8_t) -> DWORD {
            if (value == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
            const auto* bytes = static_cast<const uint8_t*>(value);
            device.pipePolicies_[{pipe, type}] = Bytes(bytes, bytes + length);
            return ERROR_SUCCESS;
        });
    }

    static DWORD policyAnswer(const Bytes* stored, PULONG length, PVOID value) {
        const Bytes value4(4, 0);
        const Bytes& answer = stored != nullptr ? *stored : value4;
        if (length == nullptr || value == nullptr) return ERROR_INVALID_PARAMETER;
        if (*length < answer.size()) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(value, answer.data(), answer.size());
        *length = static_cast<ULONG>(answer.size());
        return ERROR_SUCCESS;
    }

    static BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG type, PULONG length,
                                            PVOID value) {
        return onPipe(handle, SimOp::PipePolicy, pipe, [&](SimWinDevice& device, uint8_t) {
            auto it = device.pipePolicies_.find({pipe, type});
            const Bytes byDefault = policyDefault(type);
            return policyAnswer(it != device.pipePolicies_.end() ? &it->second : &byDefault, length, value);
        });
    }

    static BOOL WINAPI WinUsb_SetPowerPolicy(WINUSB_INTERFACE_HANDLE handle, ULONG type, ULONG length, PVOID value) {
        return onInterface(handle, SimOp::PowerPolicy, [&](SimWinDevice& device, uint8_t) -> DWORD {
            if (value == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
            const auto* bytes = static_cast<const uint8_t*>(value);
            device.powerPolicies_[type] = Bytes(bytes, bytes + length);
            return ERROR_SUCCESS;
        });
    }

    static BOOL WINAPI WinUsb_GetPowerPolicy(WINUSB_INTERFACE_HANDLE handle, ULONG type, PULONG length, PVOID value) {
        return onInterface(handle, SimOp::PowerPolicy, [&](SimWinDevice& device, uint8_t) {
            auto it = device.powerPolicies_.find(type);
            return policyAnswer(it != device.powerPolicies_.end() ? &it->second : nullptr, length, value);
        });
    }

    static BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                              PUCHAR buffer, ULONG length, PULONG transferred,
                                              LPOVERLAPPED overlapped) {
        WinUsbHandle* h = winUsb(handle);
        if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
        SimWinDevice& device = *h->file->device;
        OVERLAPPED own{};
        {
            std::lock_guard<std::mutex> lock(device.mutex_);
            if (!device.plugged_) return fail(ERROR_DEVICE_NOT_CONNECTED);
            DWORD error = 0;
            if (device.takeFault(SimOp::Control, &error)) return fail(error);
            h->file->signalled = false;
            if (device.heldOps_.count(SimOp::Control) == 0) {
                uint32_t moved = 0;
                error = device.control(setup, buffer, length, &moved);
                if (transferred != nullptr) *transferred = moved;
                if (overlapped != nullptr) finish(overlapped, error, moved);
                device.signalFile(h->file);
                return result(error);
            }
            bool pending = false;
            device.holdRequest(
                h->file, SimOp::Control, overlapped != nullptr ? overlapped : &own,
                [&device, setup, buffer, length](uint32_t* moved) { return device.control(setup, buffer, length, moved); },
                &pending);
            if (overlapped != nullptr) return fail(ERROR_IO_PENDING);
        }
        DWORD moved = 0;
        const BOOL ok = waitRecord(device, &own, &moved);
        if (transferred != nullptr) *transferred = moved;
        return ok;
    }

    static BOOL winUsbTransfer(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                               PULONG transferred, LPOVERLAPPED overlapped) {
        WinUsbHandle* h = winUsb(handle);
        if (h == nullptr) return fail(ERROR_INVALID_HANDLE);
        SimWinDevice& device = *h->file->device;
        {
            std::lock_guard<std::mutex> lock(device.mutex_);
            const auto numbers = device.interfaceNumbers();
            if (h->position >= numbers.size()) return fail(ERROR_INVALID_HANDLE);
            // WinUSB serves only the pipes of its interface's current setting.
            if (!device.endpointInCurrentAlt(numbers[h->position], pipe)) return fail(ERROR_INVALID_PARAMETER);
            device.servedBy_.push_back(numbers[h->position]);
        }
        OVERLAPPED own{};
        LPOVERLAPPED record = overlapped != nullptr ? overlapped : &own;
        bool pending = false;
        const DWORD error = device.pipeTransfer(h->file, pipe, buffer, length, record, &pending);
        if (pending && overlapped != nullptr) return fail(ERROR_IO_PENDING);
        if (pending) {
            DWORD moved = 0;
            const BOOL ok = waitRecord(device, &own, &moved);
            if (transferred != nullptr) *transferred = moved;
            return ok;
        }
        if (transferred != nullptr) *transferred = static_cast<ULONG>(record->InternalHigh);
        return result(error);
    }

    static BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length,
                                       PULONG transferred, LPOVERLAPPED overlapped) {
        return winUsbTransfer(h, pipe, buffer, length, transferred, overlapped);
    }

    static BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length,
                                        PULONG transferred, LPOVERLAPPED overlapped) {
        return winUsbTransfer(h, pipe, buffer, length, transferred, overlapped);
    }

    static BOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
        return onPipe(handle, SimOp::ResetPipe, pipe, [](SimWinDevice&, uint8_t) { return DWORD{ERROR_SUCCESS}; });
    }

    static BOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
        return onPipe(handle, SimOp::FlushPipe, pipe, [pipe](SimWinDevice& device, uint8_t) {
            device.dropKept(pipe);
            return DWORD{ERROR_SUCCESS};
        });
    }

    static BOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
        bool miss = false;
        if (!onPipe(handle, SimOp::AbortPipe, pipe, [&](SimWinDevice& device, uint8_t) {
                miss = device.missAborts_;
                return DWORD{ERROR_SUCCESS};
            })) {
            return FALSE;
        }
        if (miss) return TRUE;
        winUsb(handle)->file->device->cancel(
            [pipe](const SimWinDevice::Pending& p) { return p.endpoint != nullptr && p.endpoint->address == pipe; },
            ERROR_OPERATION_ABORTED, true);
        return TRUE;
    }

    // --- plug-and-play entries that find nothing until a layer fills them ---

    static HDEVINFO WINAPI noClassDevs(const GUID*, PCSTR, HWND, DWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    static BOOL WINAPI noEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) { return fail(ERROR_NO_MORE_ITEMS); }
    static BOOL WINAPI noEnumInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) {
        return fail(ERROR_NO_MORE_ITEMS);
    }
    static BOOL WINAPI noDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                PSP_DEVINFO_DATA) {
        return fail(ERROR_INVALID_HANDLE);
    }
    static BOOL WINAPI noProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
        return fail(ERROR_INVALID_HANDLE);
    }
    static BOOL WINAPI noInstanceId(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD) {
        return fail(ERROR_INVALID_HANDLE);
    }
    static HKEY WINAPI noDevKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
        SetLastError(ERROR_INVALID_HANDLE);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    static HKEY WINAPI noInterfaceKey(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, DWORD, REGSAM) {
        SetLastError(ERROR_INVALID_HANDLE);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    static BOOL WINAPI noDestroy(HDEVINFO) { return fail(ERROR_INVALID_HANDLE); }
    static LSTATUS WINAPI noQuery(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_INVALID_HANDLE; }
    static LSTATUS WINAPI noCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
    static CONFIGRET WINAPI noParent(PDEVINST, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
    static CONFIGRET WINAPI noDeviceId(DEVINST, PCHAR, ULONG, ULONG) { return CR_NO_SUCH_DEVNODE; }
    static HDEVNOTIFY WINAPI noRegister(HANDLE, LPVOID, DWORD) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    static BOOL WINAPI noUnregister(HDEVNOTIFY) { return fail(ERROR_INVALID_HANDLE); }

    static UsbAccessSystemApi table() {
        return UsbAccessSystemApi{
            CreateFileA,     DeviceIoControl,  GetOverlappedResult, CancelIoEx,     CloseHandle,    LoadLibraryExA,
            GetProcAddress,  noClassDevs,      noEnumDeviceInfo,    noEnumInterfaces, noDetail,     noProperty,
            noInstanceId,    noDevKey,         noInterfaceKey,      noDestroy,      noQuery,        noCloseKey,
            noParent,        noDeviceId,       noRegister,          noUnregister,
        };
    }

    static std::map<std::string, FARPROC> winUsbProcedures() {
        return {
            {"WinUsb_AbortPipe", asProc(&WinUsb_AbortPipe)},
            {"WinUsb_Initialize", asProc(&WinUsb_Initialize)},
            {"WinUsb_Free", asProc(&WinUsb_Free)},
            {"WinUsb_GetAssociatedInterface", asProc(&WinUsb_GetAssociatedInterface)},
            {"WinUsb_GetDescriptor", asProc(&WinUsb_GetDescriptor)},
            {"WinUsb_QueryDeviceInformation", asProc(&WinUsb_QueryDeviceInformation)},
            {"WinUsb_SetCurrentAlternateSetting", asProc(&WinUsb_SetCurrentAlternateSetting)},
            {"WinUsb_GetCurrentAlternateSetting", asProc(&WinUsb_GetCurrentAlternateSetting)},
            {"WinUsb_SetPipePolicy", asProc(&WinUsb_SetPipePolicy)},
            {"WinUsb_GetPipePolicy", asProc(&WinUsb_GetPipePolicy)},
            {"WinUsb_ReadPipe", asProc(&WinUsb_ReadPipe)},
            {"WinUsb_WritePipe", asProc(&WinUsb_WritePipe)},
            {"WinUsb_ControlTransfer", asProc(&WinUsb_ControlTransfer)},
            {"WinUsb_ResetPipe", asProc(&WinUsb_ResetPipe)},
            {"WinUsb_FlushPipe", asProc(&WinUsb_FlushPipe)},
            {"WinUsb_SetPowerPolicy", asProc(&WinUsb_SetPowerPolicy)},
            {"WinUsb_GetPowerPolicy", asProc(&WinUsb_GetPowerPolicy)},
        };
    }
};

SimWinUsbStack::SimWinUsbStack() : api_(SimWinAccess::table()) {
    state().procedures["winusb.dll"] = SimWinAccess::winUsbProcedures();
}

SimWinUsbStack& SimWinUsbStack::instance() {
    static SimWinUsbStack* stack = new SimWinUsbStack;  // files may be closed while the process ends
    return *stack;
}

void SimWinUsbStack::addDevice(std::shared_ptr<SimWinDevice> device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().devices[lower(device->path())] = std::move(device);
}

void SimWinUsbStack::removeDevice(const std::string& path) {
    std::shared_ptr<SimWinDevice> device;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().devices.find(lower(path));
        if (it == state().devices.end()) return;
        device = it->second;
        state().devices.erase(it);
    }
    device->unplug();
}

std::shared_ptr<SimWinDevice> SimWinUsbStack::find(const std::string& path) const {
    // Windows device paths are not case-sensitive.
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().devices.find(lower(path));
    return it == state().devices.end() ? nullptr : it->second;
}

void SimWinUsbStack::setWinUsbAvailable(bool available) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().winUsbAvailable = available;
}

void SimWinUsbStack::addProcedure(const std::string& module, const std::string& name, FARPROC procedure) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().procedures[lower(module)][name] = procedure;
}

void SimWinUsbStack::reset() {
    std::vector<std::string> paths;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (const auto& [path, device] : state().devices) paths.push_back(path);
        state().winUsbAvailable = true;
        state().searchingLoads = 0;
        state().procedures.erase("cfgmgr32");
    }
    for (const auto& path : paths) removeDevice(path);
    api_ = SimWinAccess::table();
}

size_t SimWinUsbStack::openFiles() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().files.size();
}

size_t SimWinUsbStack::searchingLibraryLoads() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().searchingLoads;
}

size_t SimWinUsbStack::openWinUsbHandles() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().winUsbHandles.size();
}

}  // namespace zsim::win
