#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "runtime/logger.h"
#include "runtime/usb_transport.h"

namespace zfuzz {

void fail(const char* what, unsigned long long a, unsigned long long b) {
    std::fprintf(stderr, "fuzz check failed: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

namespace {

void dropLine(uint8_t, const char*, LOGG_callbackT*) {}
LOGG_callbackT gDrop{&dropLine};
void* dropSlot(void*) { return &gDrop; }
void keep(void*) {}

}  // namespace

InputContext::InputContext()
    : context_(std::make_shared<morv::driver::Context>()), baseline_(0), scope_(context_) {
    baseline_ = context_.use_count();
    PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &dropSlot, nullptr, &keep);
    LOGG_init();
    LOGG_setSeverity(LOG_DEBUG_E);
    MEM_POOLG_init();
}

InputContext::~InputContext() {
    LOGG_deinit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (context_.use_count() > baseline_) {
        if (std::chrono::steady_clock::now() > deadline) fail("a thread of the input still holds its context");
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // no event marks a thread's very end
    }
}

void checkIntact(MEM_POOLG_handleT pool) {
    if (pool == nullptr) return;
    if (const uint32_t damaged = MEM_POOLG_checkPool(pool); damaged != 0) fail("pool records damaged", damaged);
}

void checkReturnedAndClose(MEM_POOLG_handleT pool) {
    if (pool == nullptr) return;
    checkIntact(pool);
    const uint32_t free = MEM_POOLG_getNumFree(pool);
    const uint32_t all = MEM_POOLG_getNumBuffs(pool);
    if (free != all) fail("pool buffers not returned (free, all)", free, all);
    MEM_POOLG_closePool(pool);
}

void checkNoneStranded() {
    if (const uint32_t stranded = MEM_POOLG_getStrandedAtClose(); stranded != 0)
        fail("buffers still allocated when their pool was closed", stranded);
}

std::vector<Bytes> splitTransfers(const uint8_t* data, size_t size) {
    std::vector<Bytes> out;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const size_t want = size_t{data[pos]} | size_t{data[pos + 1]} << 8;
        pos += 2;
        const size_t take = std::min(want, size - pos);
        out.emplace_back(data + pos, data + pos + take);
        pos += take;
    }
    return out;
}

namespace script {
namespace {

constexpr uint8_t kInterfaces = 8;

struct State {
    std::mutex mutex;
    std::deque<Bytes> transfers[kInterfaces];
    size_t offset[kInterfaces] = {};
    size_t writes[kInterfaces] = {};
};

State& state() {
    static State s;
    return s;
}

int init(vpu_usb_transport_params*) { return VPU_USB_OK; }
int deinit() { return VPU_USB_OK; }
int open(uint8_t index) { return index < kInterfaces ? VPU_USB_OK : VPU_USB_ERR_NOT_REGISTERED; }
int close(uint8_t) { return VPU_USB_OK; }

int write(uint8_t index, const void*, uint32_t length, uint32_t* written) {
    if (index >= kInterfaces) return VPU_USB_ERR_NOT_REGISTERED;
    std::lock_guard<std::mutex> lock(state().mutex);
    ++state().writes[index];
    if (written != nullptr) *written = length;
    return VPU_USB_OK;
}

int read(uint8_t index, void* buffer, uint32_t length, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (index >= kInterfaces) return VPU_USB_ERR_NOT_REGISTERED;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& queue = s.transfers[index];
    if (queue.empty()) return VPU_USB_ERR_TRANSFER;
    const Bytes& transfer = queue.front();
    const size_t take = std::min<size_t>(length, transfer.size() - s.offset[index]);
    if (take > 0) std::copy_n(transfer.begin() + static_cast<std::ptrdiff_t>(s.offset[index]), take,
                              static_cast<uint8_t*>(buffer));
    s.offset[index] += take;
    if (s.offset[index] >= transfer.size()) {
        queue.pop_front();
        s.offset[index] = 0;
    }
    if (got != nullptr) *got = static_cast<uint32_t>(take);
    return VPU_USB_OK;
}

int unsupported() { return VPU_USB_ERR_NOT_REGISTERED; }

const vpu_usb_backend_ops kOps = {&init, &deinit, &open, &close, &write, &read, nullptr, &unsupported, &read};

}  // namespace

void install() {
    vpu_usb_set_backend(&kOps);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (uint8_t i = 0; i < kInterfaces; ++i) {
        s.transfers[i].clear();
        s.offset[i] = 0;
        s.writes[i] = 0;
    }
}

void load(uint8_t index, std::vector<Bytes> transfers) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (Bytes& t : transfers) s.transfers[index].push_back(std::move(t));
}

size_t writes(uint8_t index) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return index < kInterfaces ? state().writes[index] : 0;
}

}  // namespace script
}  // namespace zfuzz
