// Shared set-up of the packet-layer tests: a driver context of the test's
// own, a log watcher in place of the sinks, the simulated bus with the
// simulated vision processor on interfaces 0..3, and helpers to build
// buffers and collect what the host receives.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host_lib/conn_lyr.h"
#include "host_lib/svc_com.h"
#include "host_lib/usb_ctrl_com.h"
#include "platform/tests/process_threads.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace linktest {

using namespace std::chrono_literals;
using zsim::Bytes;

// The link's states follow its keep-alive timer: they change after a few of
// its periods (the real one is a second), or never. A loaded machine
// stretches every period and a bring-up before them, so a wait for one is
// bounded only to end it when it never comes.
constexpr auto kLinkBound = 30s;

// Receives every log line of the context (the logger's user callback).
struct LogWatcher {
    LOGG_callbackT record{&LogWatcher::onLine};  // first member: the logger hands it back
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;

    static void onLine(uint8_t, const char* line, LOGG_callbackT* self) {
        auto* watcher = reinterpret_cast<LogWatcher*>(self);
        std::lock_guard<std::mutex> lock(watcher->mutex);
        watcher->lines.emplace_back(line);
        watcher->changed.notify_all();
    }
    size_t count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& line : lines) n += line.find(text) != std::string::npos;
        return n;
    }
    bool waitFor(const std::string& text, size_t times, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            size_t n = 0;
            for (const auto& line : lines) n += line.find(text) != std::string::npos;
            return n >= times;
        });
    }
};

// Header words and payload of one packet handed to a channel's owner.
struct Delivery {
    SVC_COMG_hdrT header;
    Bytes payload;
};

// A channel owner that keeps what it receives and frees the buffers.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> got;

    static ERRG_codeE onPacket(void* user, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* buffer) {
        auto* self = static_cast<Collector*>(user);
        const auto* data = static_cast<const uint8_t*>(buffer->data);
        Delivery delivery{*header, Bytes(data, data + buffer->len)};
        MEM_POOLG_freeBuff(buffer);
        // Notified under the lock: once the waiter is back, this call no
        // longer touches the collector.
        std::lock_guard<std::mutex> lock(self->mutex);
        self->got.push_back(std::move(delivery));
        self->changed.notify_all();
        return 0;
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return got.size() >= count; });
    }
    std::vector<Delivery> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
};

inline Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

inline size_t threadCount() { return zarn::testing::processThreadCount(); }
// The thread count after a stop, once the threads that are ending have gone.
inline size_t threadCountOnceAtMost(size_t atMost) { return zarn::testing::processThreadCountOnceAtMost(atMost); }

// A buffer from `pool` with the header room free in front of its data and
// `payload` behind it.
inline MEM_POOLG_bufDescT* makeBuffer(MEM_POOLG_handleT pool, const Bytes& payload) {
    MEM_POOLG_bufDescT* buffer = nullptr;
    if (ERRG_FAILED(MEM_POOLG_alloc(pool, MEM_POOLG_getBuffSize(pool), &buffer))) return nullptr;
    buffer->data = static_cast<uint8_t*>(buffer->base) + 16;
    if (!payload.empty()) std::memcpy(buffer->data, payload.data(), payload.size());
    buffer->len = static_cast<uint32_t>(payload.size());
    return buffer;
}

// Points the current context's log callback at `log` and starts the logger at
// debug level, so the test sees every line and the sinks see none.
inline void* watcherSlotOf(void* watcher) { return &static_cast<LogWatcher*>(watcher)->record; }
inline void keepWatcher(void*) {}
inline void watchLog(LogWatcher& log) {
    PZContext_GetSlot(PZContext_GetCurrent(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), &watcherSlotOf, &log,
                      &keepWatcher);
    LOGG_init();
    LOGG_setSeverity(LOG_DEBUG_E);
}

// A heap pool of `count` buffers of `size` bytes (nullptr if it cannot be made).
inline MEM_POOLG_handleT heapPool(uint32_t size, uint32_t count) {
    MEM_POOLG_cfgT cfg{size, count, nullptr, 0, 0};
    MEM_POOLG_handleT pool = nullptr;
    MEM_POOLG_newPool(&pool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
    return pool;
}

inline CONN_LYRG_cfgT usbConfig(const CONN_LYRG_ifCfgT* ifCfg) {
    CONN_LYRG_cfgT cfg{};
    cfg.ifCfg = ifCfg;
    cfg.ifOpsInit = &USB_CTRL_COMG_getIfOps;
    cfg.txRingSize = CONN_LYRG_MAX_RING_SIZE;
    return cfg;
}

// Opens a connection on USB interface `iface`; `ifCfg` is its interface
// configuration and must live as long as the connection.
inline ERRG_codeE openUsbConnection(CONN_LYRG_handleT* conn, CONN_LYRG_ifCfgT& ifCfg, uint8_t iface) {
    ifCfg = CONN_LYRG_ifCfgT{};
    ifCfg.params[0] = iface;
    const CONN_LYRG_cfgT cfg = usbConfig(&ifCfg);
    return CONN_LYRG_open(conn, &cfg);
}

// One channel to open on a connection: its id, the pool its packets come
// from, and where its handle goes.
struct ChannelPlan {
    uint32_t id;
    MEM_POOLG_handleT pool;
    SVC_COMG_handleT* handle;
};

// Opens a connection on USB interface `iface` and, on it, each planned
// channel with no owner (a service takes them over). `ifCfg` must live as long
// as the connection. Run under ASSERT_NO_FATAL_FAILURE: a step that fails ends it.
inline void openLink(CONN_LYRG_handleT* conn, CONN_LYRG_ifCfgT& ifCfg, uint8_t iface,
                     std::initializer_list<ChannelPlan> channels) {
    ASSERT_EQ(openUsbConnection(conn, ifCfg, iface), CONN_LYR__RET_SUCCESS);
    for (const ChannelPlan& channel : channels)
        ASSERT_EQ(SVC_COMG_channelOpen(channel.handle, channel.id, *conn, channel.pool, nullptr, nullptr),
                  SVC_COM__RET_SUCCESS);
}

// Closes every channel still open.
inline void closeChannels(std::span<SVC_COMG_handleT> channels) {
    for (auto*& channel : channels) {
        if (channel != nullptr) SVC_COMG_channelClose(channel);
        channel = nullptr;
    }
}

// Closes every channel and connection still open, then both layers.
inline void closeLinks(std::span<SVC_COMG_handleT> channels, std::span<CONN_LYRG_handleT> conns) {
    closeChannels(channels);
    for (auto*& conn : conns) {
        if (conn != nullptr) CONN_LYRG_close(conn);
        conn = nullptr;
    }
    SVC_COMG_deInit();
    CONN_LYRG_deInit();
}

// Every buffer of each pool made is back; the pools are closed.
inline void expectReturnedAndClose(std::initializer_list<MEM_POOLG_handleT> pools) {
    for (MEM_POOLG_handleT pool : pools) {
        if (pool == nullptr) continue;
        EXPECT_EQ(MEM_POOLG_getNumFree(pool), MEM_POOLG_getNumBuffs(pool));
        MEM_POOLG_closePool(pool);
    }
}

// A fresh context with its own logger, the bus with four interfaces and the
// processor running; pools and the two layers initialised, no connection open.
class PacketLinkTest : public ::testing::Test {
protected:
    static constexpr uint32_t kPoolBufSize = 4096;
    static constexpr uint32_t kPoolCount = 64;

    PacketLinkTest()
        : context_(std::make_shared<morv::driver::Context>()), usb_(zsim::SimUsb::installFresh()), vpu_(usb_) {}

    void SetUp() override {
        watchLog(log_);
        usb_.plug({0, 1, 2, 3});
        vpu_.start();
        MEM_POOLG_init();
        pool_ = heapPool(kPoolBufSize, kPoolCount);
        ASSERT_NE(pool_, nullptr);
        ASSERT_EQ(CONN_LYRG_init(), CONN_LYR__RET_SUCCESS);
        ASSERT_EQ(SVC_COMG_init(), SVC_COM__RET_SUCCESS);
    }

    void TearDown() override {
        closeLinks(channels_, conns_);
        vpu_.stop();
        // Nothing the layers took from the pools may stay behind.
        expectReturnedAndClose({pool_, extraPool_});
        usb_.reset();
        LOGG_deinit();
    }

public:
    // Older spellings of watcherSlotOf and keepWatcher, for fixtures that name them here.
    static void* watcherSlot(void* watcher) { return watcherSlotOf(watcher); }
    static void noDelete(void* watcher) { keepWatcher(watcher); }

protected:
    static CONN_LYRG_cfgT usbConfig(const CONN_LYRG_ifCfgT* ifCfg) { return linktest::usbConfig(ifCfg); }

    // Opens connection i on USB interface i.
    CONN_LYRG_handleT openConnection(uint8_t index) {
        CONN_LYRG_handleT handle = nullptr;
        EXPECT_EQ(openUsbConnection(&handle, ifCfg_[index], index), CONN_LYR__RET_SUCCESS);
        conns_[index] = handle;
        return handle;
    }

    SVC_COMG_handleT openChannel(uint32_t channel, CONN_LYRG_handleT conn, Collector* collector,
                                 MEM_POOLG_handleT pool = nullptr) {
        SVC_COMG_handleT handle = nullptr;
        EXPECT_EQ(SVC_COMG_channelOpen(&handle, channel, conn, pool != nullptr ? pool : pool_,
                                       collector != nullptr ? &Collector::onPacket : nullptr, collector),
                  SVC_COM__RET_SUCCESS);
        channels_[channel] = handle;
        return handle;
    }

    uint32_t freeBuffers() { return MEM_POOLG_getNumFree(pool_); }

    LogWatcher log_;
    // Channel owners outlive the connections that call them.
    Collector collector_[4];
    morv::driver::ScopedThreadContext context_;
    zsim::SimUsb& usb_;
    zsim::SimVpu vpu_;
    MEM_POOLG_handleT pool_ = nullptr;
    MEM_POOLG_handleT extraPool_ = nullptr;
    CONN_LYRG_ifCfgT ifCfg_[4]{};
    CONN_LYRG_handleT conns_[4]{};
    SVC_COMG_handleT channels_[SVC_COMG_NUM_CHANNELS]{};
};

}  // namespace linktest
