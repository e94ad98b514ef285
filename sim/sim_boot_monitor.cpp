#include "sim/sim_boot_monitor.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace zsim {

namespace {

constexpr uint32_t kReadReq = 0x100;
constexpr uint32_t kReadResp = 0x103;
constexpr uint32_t kWriteReq = 0x120;
constexpr uint32_t kWriteResp = 0x123;
constexpr uint32_t kJumpReq = 0x310;
constexpr uint32_t kJumpResp = 0x313;
constexpr uint32_t kHeader = 12;
constexpr uint32_t kMaxAnswer = 4096;
constexpr uint32_t kHandshakeHost = 0x100;
constexpr uint32_t kHandshakeReady = 0x101;
constexpr uint32_t kHandshakeBusy = 0x0B5B;  // what a loader still starting leaves there
constexpr uint32_t kDetectDone = 2;
constexpr uint32_t kMarkerValid = 218;
constexpr uint32_t kText = 128;
constexpr uint32_t kFaultError = 5;

uint32_t getWord(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

void appendWord(Bytes& out, uint32_t value) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(value >> (8 * b)));
}

Bytes answerWords(uint32_t code, uint32_t length, uint32_t error) {
    Bytes out;
    appendWord(out, code);
    appendWord(out, length);
    appendWord(out, error);
    return out;
}

uint32_t expectedProgramSize(uint32_t chip) {
    if (chip == SimBootMonitor::kChipVpu3) return 7452;
    if (chip == SimBootMonitor::kChipVpu4) return 460;
    return 0;
}

uint32_t seedOf(const std::string& name) {
    uint32_t seed = 2166136261u;
    for (unsigned char c : name) seed = (seed ^ c) * 16777619u;
    return seed;
}

}  // namespace

SimBootMonitor::SimBootMonitor(SimUsb& usb) : usb_(usb) {}

SimBootMonitor::~SimBootMonitor() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (reenumerator_.joinable()) reenumerator_.join();
    bool installed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        installed = installed_;
        installed_ = false;
    }
    // Waits for a handler still running on a host thread: after this the
    // bus no longer reaches this object.
    if (installed) usb_.setWriteHandler(0, nullptr);
}

// ---------------------------------------------------------------------------
// Set-up

void SimBootMonitor::setChipVersion(uint32_t version) {
    std::lock_guard<std::mutex> lock(mutex_);
    chipVersion_ = version;
}

void SimBootMonitor::setBootState(uint32_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    bootState_ = state;
}

void SimBootMonitor::setProductionData(std::optional<ProductionData> data) {
    std::lock_guard<std::mutex> lock(mutex_);
    production_ = std::move(data);
}

void SimBootMonitor::setLoadTable(const LoadTable& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    table_ = table;
}

void SimBootMonitor::setLoaderReadyAfterReads(uint32_t reads) {
    std::lock_guard<std::mutex> lock(mutex_);
    loaderReadyAfter_ = reads;
}

void SimBootMonitor::setLoaderNeverReady(bool never) {
    std::lock_guard<std::mutex> lock(mutex_);
    loaderNeverReady_ = never;
}

void SimBootMonitor::setBootDetectHangs(bool hangs) {
    std::lock_guard<std::mutex> lock(mutex_);
    detectHangs_ = hangs;
}

void SimBootMonitor::setKernelStart(std::function<void()> start) {
    std::lock_guard<std::mutex> lock(mutex_);
    kernelStart_ = std::move(start);
}

void SimBootMonitor::plugUnbooted() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        putWordLocked(kRegChipVersion, chipVersion_);
        putWordLocked(kRegBootState, bootState_);
        if (bootState_ == kStateLoaderPresent) {
            // A loader left running by an earlier boot: the production data it
            // found then is still in memory, and it waits for the host's 0x100.
            publishProductionDataLocked();
            loaderRunning_ = true;
            putWordLocked(kRegHandshake, kHandshakeBusy);
        }
        installed_ = true;
    }
    usb_.setWriteHandler(0, [this](uint8_t, const Bytes& transfer) { onTransfer(transfer); });
    usb_.plug({0});
}

void SimBootMonitor::addFault(Op op, std::optional<uint32_t> address, Fault fault, uint32_t skip) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(FaultRule{op, address, fault, skip});
}

// ---------------------------------------------------------------------------
// Requests (on the host's writing thread)

void SimBootMonitor::onTransfer(const Bytes& transfer) {
    if (transfer.size() < kHeader) return;  // not a request: a real monitor ignores it too
    const uint32_t code = getWord(transfer.data());
    const uint32_t length = getWord(transfer.data() + 4);
    const uint32_t address = getWord(transfer.data() + 8);

    Op op;
    uint32_t answerCode = 0;
    switch (code) {
        case kReadReq: op = Op::Read; answerCode = kReadResp; break;
        case kWriteReq: op = Op::Write; answerCode = kWriteResp; break;
        case kJumpReq: op = Op::Jump; answerCode = kJumpResp; break;
        default: return;  // unknown request: no answer
    }

    std::unique_lock<std::mutex> lock(mutex_);
    const uint32_t dataLength = op == Op::Read    ? (transfer.size() >= 16 ? getWord(transfer.data() + 12) : 0)
                                : op == Op::Write ? static_cast<uint32_t>(transfer.size() - kHeader)
                                                  : 0;
    requests_.push_back(Request{op, address, dataLength, transfer.size()});
    const std::optional<Fault> fault = takeFaultLocked(op, address);
    if (fault == Fault::Unplug) {
        lock.unlock();
        usb_.unplug();
        return;
    }

    Bytes response;
    bool startKernel = false;
    if (fault == Fault::ErrorCode) {
        response = answerWords(answerCode, 4, kFaultError);
    } else if (op == Op::Read) {
        if (transfer.size() != 16 || length != 8 || dataLength > kMaxAnswer - kHeader) {
            response = answerWords(kReadResp, 4, kBadRequest);
        } else {
            if (address == kRegHandshake) readHandshakeLocked();
            response = answerWords(kReadResp, 4 + dataLength, 0);
            response.resize(kHeader + dataLength);
            readLocked(address, response.data() + kHeader, dataLength);
        }
    } else if (op == Op::Write) {
        if (length < 4 || length - 4 > transfer.size() - kHeader) {
            response = answerWords(kWriteResp, 4, kBadRequest);
        } else {
            const uint32_t count = length - 4;
            const uint32_t before = wordLocked(kRegHandshake);
            writeLocked(address, transfer.data() + kHeader, count);
            if (address == kRegHandshake && count == 4 && loaderRunning_) {
                const uint32_t value = getWord(transfer.data() + kHeader);
                if (value == kHandshakeHost) {
                    handshakeArmed_ = true;
                    handshakeReads_ = 0;
                    putWordLocked(kRegHandshake, kHandshakeBusy);
                } else if (before == kHandshakeReady) {
                    handshakeWritten_ = value;
                }
            }
            response = answerWords(kWriteResp, 4, 0);
        }
    } else {
        const bool kernelBefore = kernelStarted_;
        const uint32_t error = jumpLocked(address);
        startKernel = !kernelBefore && kernelStarted_;
        response = answerWords(kJumpResp, 4, error);
    }

    if (fault == Fault::WrongCode) {
        const uint32_t wrong = answerCode == kReadResp ? kWriteResp : kReadResp;
        for (int b = 0; b < 4; ++b) response[b] = static_cast<uint8_t>(wrong >> (8 * b));
    } else if (fault == Fault::Truncated) {
        response.resize(8);
    }
    lock.unlock();
    if (fault != Fault::Silent) usb_.deviceSend(0, response);
    if (startKernel) {
        // The kernel takes the processor over: once the host has the jump's
        // answer (queued above, before the device starts leaving), the device
        // leaves the bus as the boot monitor and comes back with the booted
        // sensor's five interfaces.
        std::lock_guard<std::mutex> relock(mutex_);
        if (!stopping_) reenumerator_ = std::thread([this] { reenumerate(); });
    }
}

std::optional<SimBootMonitor::Fault> SimBootMonitor::takeFaultLocked(Op op, uint32_t address) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->op != Op::Any && it->op != op) continue;
        if (it->address && *it->address != address) continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        const Fault fault = it->fault;
        faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

uint32_t SimBootMonitor::jumpLocked(uint32_t address) {
    jumps_.push_back(address);
    uint8_t header[12];
    readLocked(address, header, sizeof(header));
    const uint32_t magic = getWord(header);
    const uint32_t chip = getWord(header + 4);
    const uint32_t size = getWord(header + 8);
    if (address == kAddrBootDetect) {
        if (magic != kProgramMagic || chip != chipVersion_ || size != expectedProgramSize(chipVersion_)) {
            return kJumpRefused;
        }
        detectRan_ = true;
        changed_.notify_all();
        if (!detectHangs_) {
            publishProductionDataLocked();
            putWordLocked(kRegDetectDone, kDetectDone);
        }
        return 0;
    }
    if (address == kAddrLoader) {
        if (magic != kLoaderMagic || chip != chipVersion_) return kJumpRefused;
        loaderRunning_ = true;
        handshakeArmed_ = true;
        handshakeReads_ = 0;
        handshakeWritten_ = 0;
        putWordLocked(kRegHandshake, kHandshakeBusy);
        return 0;
    }
    if (loaderRunning_ && handshakeWritten_ != 0 && address == table_.jump && !kernelStarted_) {
        kernelStarted_ = true;
        return 0;
    }
    return kJumpRefused;
}

// The loader publishes its table and answers the handshake once it is ready.
uint32_t SimBootMonitor::readHandshakeLocked() {
    const uint32_t value = wordLocked(kRegHandshake);
    if (!loaderRunning_ || !handshakeArmed_ || value != kHandshakeBusy) return value;
    ++handshakeReads_;
    if (loaderNeverReady_ || handshakeReads_ <= loaderReadyAfter_) return value;
    putWordLocked(kRegTablePointer, kTableAddress);
    putWordLocked(kTableAddress, table_.jump);
    putWordLocked(kTableAddress + 4, table_.zImage);
    putWordLocked(kTableAddress + 8, table_.dtb);
    putWordLocked(kTableAddress + 12, table_.app);
    putWordLocked(kRegHandshake, kHandshakeReady);
    return kHandshakeReady;
}

void SimBootMonitor::publishProductionDataLocked() {
    if (!production_) return;
    uint8_t record[kRecordSize] = {};
    const auto id = static_cast<uint32_t>(production_->bootId);
    for (int b = 0; b < 4; ++b) record[b] = static_cast<uint8_t>(id >> (8 * b));
    const std::string* texts[4] = {&production_->serialNumber, &production_->manufacturer,
                                   &production_->modelNumber, &production_->hardwareRevision};
    for (int i = 0; i < 4; ++i) {
        // A text of 128 characters or more fills its field without a terminator.
        std::memcpy(record + 4 + i * kText, texts[i]->data(), std::min<size_t>(texts[i]->size(), kText));
    }
    for (uint32_t i = 4 + 4 * kText; i < kRecordSize; ++i) record[i] = static_cast<uint8_t>(0xA5 ^ i);
    putWordLocked(kAddrMarker, kMarkerValid);
    writeLocked(kAddrRecord, record, sizeof(record));
}

void SimBootMonitor::reenumerate() {
    {
        // The bus tells nobody when the host has read an answer; the device
        // waits a short, bounded while for its last answer to be taken, as a
        // real one lets its last packet go before it resets its USB core.
        std::unique_lock<std::mutex> lock(mutex_);
        for (int i = 0; i < 1000 && !stopping_ && usb_.pendingToHost(0) != 0; ++i) {
            changed_.wait_for(lock, std::chrono::milliseconds(1));
        }
        if (stopping_) return;
        installed_ = false;
    }
    usb_.setWriteHandler(0, nullptr);
    usb_.unplugInterface(0);
    std::function<void()> kernelStart;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kernelStart = kernelStart_;
    }
    if (kernelStart) kernelStart();
    usb_.plug({0, 1, 2, 3, 4});
    std::lock_guard<std::mutex> lock(mutex_);
    reenumerated_ = true;
    changed_.notify_all();
}

// ---------------------------------------------------------------------------
// Memory

void SimBootMonitor::writeLocked(uint32_t address, const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        auto& page = pages_[at / kPage];
        if (page.empty()) page.assign(kPage, 0);
        page[at % kPage] = data[i];
    }
}

void SimBootMonitor::readLocked(uint32_t address, uint8_t* data, size_t count) const {
    for (size_t i = 0; i < count; ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i);
        auto it = pages_.find(at / kPage);
        data[i] = it == pages_.end() ? 0 : it->second[at % kPage];
    }
}

uint32_t SimBootMonitor::wordLocked(uint32_t address) const {
    uint8_t bytes[4];
    readLocked(address, bytes, 4);
    return getWord(bytes);
}

void SimBootMonitor::putWordLocked(uint32_t address, uint32_t value) {
    uint8_t bytes[4];
    for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(value >> (8 * b));
    writeLocked(address, bytes, 4);
}

// ---------------------------------------------------------------------------
// Observation

std::vector<uint8_t> SimBootMonitor::memory(uint32_t address, uint32_t count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out(count);
    readLocked(address, out.data(), count);
    return out;
}

uint32_t SimBootMonitor::word(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wordLocked(address);
}

std::vector<SimBootMonitor::Request> SimBootMonitor::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<uint32_t> SimBootMonitor::jumps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jumps_;
}

bool SimBootMonitor::bootDetectRan() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return detectRan_;
}

bool SimBootMonitor::loaderRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaderRunning_;
}

uint32_t SimBootMonitor::handshakeWritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handshakeWritten_;
}

bool SimBootMonitor::waitForBootDetect(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return detectRan_; });
}

bool SimBootMonitor::waitForReenumeration(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return reenumerated_; });
}

bool SimBootMonitor::reenumerated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reenumerated_;
}

// ---------------------------------------------------------------------------
// Boot-folder files

std::vector<uint8_t> SimBootMonitor::imageBytes(const std::string& name, uint32_t size, uint32_t chipVersion) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seedOf(name);
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    if (name.rfind("bootspl", 0) == 0 && size >= 12) {
        const uint32_t header[3] = {kLoaderMagic, chipVersion, size};
        for (int w = 0; w < 3; ++w) {
            for (int b = 0; b < 4; ++b) bytes[w * 4 + b] = static_cast<uint8_t>(header[w] >> (8 * b));
        }
    }
    return bytes;
}

void SimBootMonitor::writeBootFolder(const std::filesystem::path& folder, uint32_t chipVersion, int32_t bootId,
                                     const ImageSizes& sizes) {
    const std::string prefix = chipVersion == kChipVpu4 ? "vpu4" : "vpu3";
    const std::string loader = chipVersion == kChipVpu4 ? "bootspl-vpu4a0.bin" : "bootspl-vpu3b0.bin";
    const std::pair<std::string, uint32_t> files[] = {
        {"zImage", sizes.kernel},
        {prefix + "-boot" + std::to_string(bootId) + ".dtb", sizes.dtb},
        {prefix + ".lz4", sizes.app},
        {loader, sizes.loader},
    };
    std::filesystem::create_directories(folder);
    for (const auto& [name, size] : files) {
        const auto bytes = imageBytes(name, size, chipVersion);
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write boot image " + (folder / name).string());
    }
}

}  // namespace zsim
