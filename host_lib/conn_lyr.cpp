#include "host_lib/conn_lyr.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

#include "host_lib/svc_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// --- module state ------------------------------------------------------------

struct ConnLyrState {
    CONN_LYR_connection connections[CONN_LYRG_MAX_CONNECTIONS];
    uint32_t headerSize;
};

ConnLyrState* state() {
    return PZContext_GetZeroFilledState<ConnLyrState>(PZContext_FixedKey(PZ_SLOT_CONN_LYR));
}

constexpr uint32_t kTxThreadId = 11;
constexpr uint32_t kRxThreadId = 12;
constexpr uint32_t kTxWaitMs = 100;
constexpr uint32_t kRxTimeoutMs = 100;
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kRxPoolWaitMs = 1000;
constexpr uint32_t kRxAllocBudgetMs = 1;
constexpr uint32_t kFixedRxAllocBudgetMs = 100;

using morv::runtime::OsMutexLock;

void putLe32(void* at, uint32_t value) {
    auto* p = static_cast<uint8_t*>(at);
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getLe32(const void* at) {
    const auto* p = static_cast<const uint8_t*>(at);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t runStateOf(CONN_LYR_connection* conn) {
    OsMutexLock lock(&conn->statusMutex);
    return conn->runState;
}

void setRunState(CONN_LYR_connection* conn, uint32_t value) {
    OsMutexLock lock(&conn->statusMutex);
    conn->runState = value;
}

void setStopped(CONN_LYR_connection* conn, uint16_t CONN_LYR_connection::*flag, uint16_t value) {
    OsMutexLock lock(&conn->statusMutex);
    conn->*flag = value;
}

// Parks a thread while the connection is paused; returns the state that ended the pause.
uint32_t waitWhilePaused(CONN_LYR_connection* conn, uint16_t CONN_LYR_connection::*flag) {
    setStopped(conn, flag, 1);
    uint32_t current;
    while ((current = runStateOf(conn)) == CONN_LYR_PAUSED) OS_LYRG_sleepMs(kPollMs);
    setStopped(conn, flag, 0);
    return current;
}

// --- transmit ------------------------------------------------------------------

// Sends every queued packet while the connection runs. The take side of the
// ring belongs to this thread alone.
void txDrainRing(CONN_LYR_connection* conn) {
    OsMutexLock take(&conn->ringTakeMutex);
    bool dropRest = false;
    while (runStateOf(conn) == CONN_LYR_RUNNING) {
        CONN_LYR_txDesc& slot = conn->ring[conn->takeIndex];
        if (slot.kind.load(std::memory_order_acquire) != 1) break;
        MEM_POOLG_bufDescT* buffer = slot.buffer;
        const uint16_t channel = slot.channel;
        if (dropRest) {
            MEM_POOLG_freeBuff(buffer);
        } else {
            uint32_t sent = 0;
            const ERRG_codeE status = (conn->caps & CONN_LYRG_CAP_SEND_CHAIN)
                                          ? conn->ifOps.sendChain(conn->ifHandle, buffer, &sent)
                                          : conn->ifOps.send(conn->ifHandle, buffer->data, buffer->len, &sent);
            if (ERRG_FAILED(status)) {
                MEM_POOLG_freeBuff(buffer);
                conn->stats.txErrors++;
                if (status == CONN_LYR__ERR_IF_REOPEN) dropRest = true;
            } else {
                // Counted before the hand-off, so whoever receives the
                // buffer back already sees the packet in the statistics.
                conn->stats.txBytes += sent;
                conn->stats.txPackets++;
                buffer->data = static_cast<uint8_t*>(buffer->data) + CONN_LYRG_PACKET_WORD_SIZE;
                buffer->len -= CONN_LYRG_PACKET_WORD_SIZE;
                OsMutexLock chan(&conn->chanMutex);
                const CONN_LYR_channelEntry& entry = conn->channels[channel];
                if (entry.txDoneHandler != nullptr)
                    entry.txDoneHandler(entry.userData, buffer);
                else
                    MEM_POOLG_freeBuff(buffer);
            }
        }
        slot.buffer = nullptr;
        slot.kind.store(0, std::memory_order_release);
        conn->takeIndex = static_cast<uint16_t>((conn->takeIndex + 1) % conn->ringSize);
    }
}

// Frees every packet still in the ring. Runs with the connection mutex held,
// so no send can slip a packet in behind it once the state is down.
uint32_t releaseQueued(CONN_LYR_connection* conn) {
    uint32_t dropped = 0;
    for (uint32_t i = 0; i < conn->ringSize; ++i) {
        CONN_LYR_txDesc& slot = conn->ring[i];
        if (slot.kind.load(std::memory_order_acquire) == 1) {
            MEM_POOLG_freeBuff(slot.buffer);
            slot.buffer = nullptr;
            slot.kind.store(0, std::memory_order_release);
            ++dropped;
        }
    }
    return dropped;
}

uint32_t txThread(void* param) {
    auto* conn = static_cast<CONN_LYR_connection*>(param);
    for (;;) {
        // A time-out sends nothing new but still looks at the run state.
        if (OS_LYRG_waitEvent(conn->txEvent, kTxWaitMs) == OS_LYRG_SUCCESS) txDrainRing(conn);
        uint32_t current = runStateOf(conn);
        if (current == CONN_LYR_PAUSED) current = waitWhilePaused(conn, &CONN_LYR_connection::txStopped);
        if (current == CONN_LYR_DOWN) {
            // A packet queued just before the link went down would otherwise
            // hold its pool buffer until the connection is closed.
            {
                OsMutexLock lock(&conn->connMutex);
                releaseQueued(conn);
            }
            setStopped(conn, &CONN_LYR_connection::txStopped, 1);
            LOGG_PRINT(LOG_DEBUG_E, 0, "Detected down - exiting thread\n");
            return 0;
        }
    }
}

// --- receive -------------------------------------------------------------------

// Receives exactly n bytes into data.
ERRG_codeE recvExact(CONN_LYR_connection* conn, void* data, uint32_t n) {
    for (;;) {
        uint32_t got = 0;
        const ERRG_codeE status = (conn->caps & CONN_LYRG_CAP_RECV_TIMEOUT)
                                      ? conn->ifOps.recvTimeout(conn->ifHandle, data, n, kRxTimeoutMs, &got)
                                      : conn->ifOps.recv(conn->ifHandle, data, n, &got);
        if (ERRG_SUCCEEDED(status)) {
            conn->stats.rxBytes += got;
            return got == n ? CONN_LYR__RET_SUCCESS : CONN_LYR__ERR_SHORT_RECEIVE;
        }
        if (status != CONN_LYR__ERR_IF_REOPEN) return status;
        LOGG_PRINT(LOG_DEBUG_E, 0, "rx fail REOPEN %d\n", status);
        if (conn->ifOps.reopen == nullptr) return status;
        const ERRG_codeE reopened = conn->ifOps.reopen(conn->ifHandle);
        if (ERRG_FAILED(reopened)) return reopened;
        // Retry only while the connection is wanted; a close must not be
        // kept waiting by an interface that keeps asking to be reopened.
        if (runStateOf(conn) != CONN_LYR_RUNNING) return status;
    }
}

// Reads and discards n bytes so that the stream stays aligned on packet words.
ERRG_codeE drain(CONN_LYR_connection* conn, uint32_t n) {
    LOGG_PRINT(LOG_DEBUG_E, 0, "Draining begin %d\n", n);
    ERRG_codeE status = CONN_LYR__RET_SUCCESS;
    uint32_t left = n;
    while (left > 0) {
        const uint32_t piece = std::min(left, CONN_LYRG_DRAIN_BUFFER_SIZE);
        status = recvExact(conn, conn->drainBuffer, piece);
        LOGG_PRINT(LOG_DEBUG_E, 0, "Draining... total=%d, read=%d, left=%d\n", n, piece, left);
        if (ERRG_FAILED(status)) break;
        left -= piece;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "Draining done. left=%d\n", left);
    return status;
}

void allocError(CONN_LYR_connection* conn, ERRG_codeE status, uint32_t length, MEM_POOLG_handleT pool) {
    if (status == MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL) {
        const uint32_t count = ++conn->stats.rxNoMem;
        LOGG_PRINT(LOG_DEBUG_E, 0, "alloc error no buffers cnt=%d\n", count);
    } else {
        LOGG_PRINT(LOG_WARN_E, 0, "alloc for unexpected size %u+%u expected=%u\n", length,
                   CONN_LYRG_PACKET_WORD_SIZE, pool != nullptr ? MEM_POOLG_getBuffSize(pool) : 0u);
    }
}

// Allocation with a time budget in whole attempts, one every 10 ms.
ERRG_codeE timedAlloc(MEM_POOLG_handleT pool, uint32_t budgetMs, uint32_t size, MEM_POOLG_bufDescT** buffer) {
    for (;;) {
        const ERRG_codeE status = MEM_POOLG_alloc(pool, size, buffer);
        if (status != MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL) return status;
        const uint32_t step = std::min(budgetMs, kPollMs);
        LOGG_PRINT(LOG_DEBUG_E, 0, "warn alloc timeout left=%d %d\n", budgetMs, step);
        budgetMs -= step;
        if (budgetMs == 0) return status;
        OS_LYRG_sleepMs(step);
    }
}

void recvError(CONN_LYR_connection* conn, ERRG_codeE status, MEM_POOLG_bufDescT* buffer) {
    if (buffer != nullptr) MEM_POOLG_freeBuff(buffer);
    if (status == CONN_LYR__ERR_RX_TIMEOUT) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "rx timeout\n");
    } else if (status != CONN_LYR__ERR_RX_REOPEN && status != CONN_LYR__ERR_RX_RECOVERABLE) {
        setRunState(conn, CONN_LYR_DOWN);
    }
}

// Hands a received packet (data at its packet word) to its channel's handler.
void dispatch(CONN_LYR_connection* conn, uint32_t channel, MEM_POOLG_bufDescT* buffer) {
    buffer->data = static_cast<uint8_t*>(buffer->data) + CONN_LYRG_PACKET_WORD_SIZE;
    buffer->len -= CONN_LYRG_PACKET_WORD_SIZE;
    OsMutexLock chan(&conn->chanMutex);
    const CONN_LYR_channelEntry& entry = conn->channels[channel];
    if (entry.rxHandler != nullptr)
        entry.rxHandler(entry.userData, buffer);
    else
        MEM_POOLG_freeBuff(buffer);
}

// A packet word may name any of 64 channels; only 19 exist.
bool channelInRange(CONN_LYR_connection* conn, uint32_t channel, uint32_t length) {
    if (channel < CONN_LYRG_NUM_CHANNELS) return true;
    const uint32_t count = ++conn->stats.rxBadChannel;
    LOGG_PRINT(LOG_WARN_E, 0, "rx packet for unknown channel %u len=%u (cnt=%u)\n", channel, length, count);
    return false;
}

// Header then payload: the packet word first, then a buffer of the channel's
// pool for the rest.
void recvHeaderThenPayload(CONN_LYR_connection* conn) {
    uint8_t wordBytes[CONN_LYRG_PACKET_WORD_SIZE];
    ERRG_codeE status;
    if (conn->caps & CONN_LYRG_CAP_RECV_PACKET) {
        uint32_t got = 0;
        status = conn->ifOps.recvPacket(conn->ifHandle, wordBytes, sizeof wordBytes, &got);
        if (ERRG_SUCCEEDED(status) && got != sizeof wordBytes) status = CONN_LYR__ERR_SHORT_RECEIVE;
    } else {
        status = recvExact(conn, wordBytes, sizeof wordBytes);
    }
    if (ERRG_FAILED(status)) {
        recvError(conn, status, nullptr);
        return;
    }
    const uint32_t word = getLe32(wordBytes);
    const uint32_t channel = CONN_LYRG_wordChannel(word);
    const uint32_t length = CONN_LYRG_wordLength(word);

    MEM_POOLG_handleT pool = nullptr;
    MEM_POOLG_bufDescT* buffer = nullptr;
    if (!channelInRange(conn, channel, length)) {
        status = MEM_POOL__ERR_ALLOC_BUF_FAIL_NULL_HANDLE;  // drained below, not an allocation error
    } else if ((pool = SVC_COMG_getChannelPool(channel)) == nullptr) {
        status = MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL;
        allocError(conn, status, length, pool);
    } else {
        status = timedAlloc(pool, kRxAllocBudgetMs, length + CONN_LYRG_PACKET_WORD_SIZE, &buffer);
        if (ERRG_FAILED(status)) allocError(conn, status, length, pool);
    }
    if (buffer == nullptr) {
        status = drain(conn, length);
        if (ERRG_FAILED(status)) recvError(conn, status, nullptr);
        return;
    }

    auto* start = static_cast<uint8_t*>(buffer->data);
    if (conn->caps & CONN_LYRG_CAP_RECV_PACKET) {
        uint32_t got = 0;
        status = conn->ifOps.recvPacket(conn->ifHandle, start, length + CONN_LYRG_PACKET_WORD_SIZE, &got);
        if (ERRG_SUCCEEDED(status) && got != length + CONN_LYRG_PACKET_WORD_SIZE)
            status = CONN_LYR__ERR_SHORT_RECEIVE;
    } else {
        status = recvExact(conn, start + CONN_LYRG_PACKET_WORD_SIZE, length);
    }
    if (ERRG_FAILED(status)) {
        recvError(conn, status, buffer);
        return;
    }
    std::memcpy(start, wordBytes, sizeof wordBytes);
    buffer->len = length + CONN_LYRG_PACKET_WORD_SIZE;
    conn->stats.rxPackets++;
    dispatch(conn, channel, buffer);
}

// Fixed size: every transfer is one packet of the interface's fixed size.
void recvFixedSize(CONN_LYR_connection* conn) {
    LOGG_PRINT(LOG_DEBUG_E, 0, "begin rx packet\n");
    MEM_POOLG_bufDescT* buffer = nullptr;
    ERRG_codeE status = timedAlloc(conn->rxPool, kFixedRxAllocBudgetMs, conn->fixedRxSize, &buffer);
    if (ERRG_FAILED(status)) {
        allocError(conn, status, conn->fixedRxSize, conn->rxPool);
        return;
    }
    status = recvExact(conn, buffer->data, conn->fixedRxSize);
    if (ERRG_FAILED(status)) {
        recvError(conn, status, buffer);
        return;
    }
    const uint32_t word = getLe32(buffer->data);
    const uint32_t channel = CONN_LYRG_wordChannel(word);
    const uint32_t length = CONN_LYRG_wordLength(word);
    // The word must describe what arrived: never let the length run past the
    // bytes that were received.
    if (!channelInRange(conn, channel, length) || length > conn->fixedRxSize - CONN_LYRG_PACKET_WORD_SIZE) {
        MEM_POOLG_freeBuff(buffer);
        return;
    }
    buffer->len = length + CONN_LYRG_PACKET_WORD_SIZE;
    conn->stats.rxPackets++;
    dispatch(conn, channel, buffer);
}

uint32_t rxThread(void* param) {
    auto* conn = static_cast<CONN_LYR_connection*>(param);
    for (;;) {
        if (conn->caps & CONN_LYRG_CAP_HDR_THEN_PAYLOAD)
            recvHeaderThenPayload(conn);
        else
            recvFixedSize(conn);
        uint32_t current = runStateOf(conn);
        if (current == CONN_LYR_PAUSED) current = waitWhilePaused(conn, &CONN_LYR_connection::rxStopped);
        if (current == CONN_LYR_DOWN) {
            setStopped(conn, &CONN_LYR_connection::rxStopped, 1);
            LOGG_PRINT(LOG_DEBUG_E, 0, "Detected down - exiting thread\n");
            return 0;
        }
    }
}

// --- cleanup -------------------------------------------------------------------

void joinThread(OS_LYRG_threadParamsT* thread) {
    if (thread->handle == nullptr) return;
    OS_LYRG_waitForThread(thread->handle, 0);
    thread->handle = nullptr;
}

// Runs with the connection mutex held and releases it while the threads end:
// a receive handler may be sending on this very connection, and it must be
// able to take the mutex (and be refused) rather than deadlock the close.
void cleanup(CONN_LYR_connection* conn) {
    if (conn->id == CONN_LYR_FREE_ID || conn->closing) return;
    conn->closing = 1;
    LOGG_PRINT(LOG_DEBUG_E, 0, "begin cleanup\n");
    if (conn->statusMutexCreated) setRunState(conn, CONN_LYR_DOWN);

    OS_LYRG_unlockMutex(&conn->connMutex);
    if (conn->txThread.handle != nullptr) {
        OS_LYRG_setEvent(conn->txEvent);  // no need to sit out its 100 ms wait
        joinThread(&conn->txThread);
        LOGG_PRINT(LOG_DEBUG_E, 0, "closed Tx thread\n");
    }
    if (conn->txEvent != nullptr) {
        OS_LYRG_releaseEvent(conn->txEvent, 0);
        conn->txEvent = nullptr;
    }
    if (conn->ifOpen) {
        if (conn->caps & CONN_LYRG_CAP_RECV_TIMEOUT) {
            // The receive wakes by itself within its time-out.
            if (conn->rxThread.handle != nullptr) {
                joinThread(&conn->rxThread);
                LOGG_PRINT(LOG_DEBUG_E, 0, "closed Rx thread\n");
            }
            conn->ifOps.close(conn->ifHandle);
            LOGG_PRINT(LOG_DEBUG_E, 0, "closed Interface\n");
        } else {
            // Closing the interface is what ends a receive blocked in it.
            conn->ifOps.close(conn->ifHandle);
            LOGG_PRINT(LOG_DEBUG_E, 0, "closed Interface\n");
            if (conn->rxThread.handle != nullptr) {
                joinThread(&conn->rxThread);
                LOGG_PRINT(LOG_DEBUG_E, 0, "closed Rx thread\n");
            }
        }
        conn->ifOpen = 0;
    }
    OS_LYRG_lockMutex(&conn->connMutex);

    // Packets still queued when the connection stopped belong to it: release
    // them, or they would be lost with their pool buffers.
    const uint32_t dropped = releaseQueued(conn);
    if (dropped != 0) LOGG_PRINT(LOG_DEBUG_E, 0, "freed %u unsent packets\n", dropped);

    if (conn->rxPool != nullptr) {
        if (conn->rxPoolOwned) {
            uint32_t waited = 0;
            while (MEM_POOLG_getNumFree(conn->rxPool) != MEM_POOLG_getNumBuffs(conn->rxPool)) {
                if (waited >= kRxPoolWaitMs) {
                    LOGG_PRINT(LOG_WARN_E, 0, "wait for rx buffer free timeout free buffers=%d total buffers=%d\n",
                               MEM_POOLG_getNumFree(conn->rxPool), MEM_POOLG_getNumBuffs(conn->rxPool));
                    break;
                }
                OS_LYRG_sleepMs(kPollMs);
                waited += kPollMs;
            }
            MEM_POOLG_closePool(conn->rxPool);
            LOGG_PRINT(LOG_DEBUG_E, 0, "free rx mempool\n");
        }
        conn->rxPool = nullptr;
        conn->rxPoolOwned = 0;
    }
    delete[] conn->drainBuffer;
    conn->drainBuffer = nullptr;
    if (conn->ringPutMutexCreated) {
        OS_LYRG_releaseMutex(&conn->ringPutMutex);
        conn->ringPutMutexCreated = 0;
        LOGG_PRINT(LOG_DEBUG_E, 0, "free tx queue mutex\n");
    }
    if (conn->ringTakeMutexCreated) {
        OS_LYRG_releaseMutex(&conn->ringTakeMutex);
        conn->ringTakeMutexCreated = 0;
        LOGG_PRINT(LOG_DEBUG_E, 0, "free tx queue mutex\n");
    }
    if (conn->statusMutexCreated) {
        OS_LYRG_releaseMutex(&conn->statusMutex);
        conn->statusMutexCreated = 0;
        LOGG_PRINT(LOG_DEBUG_E, 0, "free status mutex\n");
    }
    conn->caps = 0;
    conn->ifHandle = nullptr;
    conn->closing = 0;
    conn->id = CONN_LYR_FREE_ID;
    LOGG_PRINT(LOG_DEBUG_E, 0, "cleanup done\n");
}

// Steps 2 to 6 of an open; the caller holds the connection mutex.
ERRG_codeE openLocked(CONN_LYR_connection* conn, const CONN_LYRG_cfgT* cfg) {
    if (OS_LYRG_createMutex(&conn->statusMutex) != OS_LYRG_SUCCESS) return CONN_LYR__ERR_CREATE_FAIL;
    conn->statusMutexCreated = 1;

    std::memset(&conn->ifOps, 0, sizeof conn->ifOps);
    cfg->ifOpsInit(&conn->ifOps);
    if (conn->ifOps.open == nullptr || conn->ifOps.close == nullptr || conn->ifOps.getCaps == nullptr)
        return CONN_LYR__ERR_INVALID_ARGS;
    ERRG_codeE status = conn->ifOps.open(&conn->ifHandle, cfg->ifCfg);
    if (ERRG_FAILED(status)) return status;
    conn->ifOpen = 1;
    LOGG_PRINT(LOG_DEBUG_E, 0, "Open interface OK\n");
    conn->caps = 0;
    status = conn->ifOps.getCaps(conn->ifHandle, &conn->caps);
    if (ERRG_FAILED(status)) return status;
    // The threads call what the capabilities promise.
    const uint32_t caps = conn->caps;
    if (caps & CONN_LYRG_CAP_RX_THREAD) {
        const bool canReceive = (caps & CONN_LYRG_CAP_RECV_TIMEOUT) ? conn->ifOps.recvTimeout != nullptr
                                                                    : conn->ifOps.recv != nullptr;
        if (!canReceive || ((caps & CONN_LYRG_CAP_RECV_PACKET) && conn->ifOps.recvPacket == nullptr))
            return CONN_LYR__ERR_INVALID_ARGS;
    }
    if ((caps & CONN_LYRG_CAP_TX_THREAD) &&
        ((caps & CONN_LYRG_CAP_SEND_CHAIN) ? conn->ifOps.sendChain == nullptr : conn->ifOps.send == nullptr))
        return CONN_LYR__ERR_INVALID_ARGS;

    if ((caps & CONN_LYRG_CAP_RX_THREAD) && !(caps & CONN_LYRG_CAP_HDR_THEN_PAYLOAD)) {
        if (cfg->rxPool != nullptr) {
            conn->rxPool = cfg->rxPool;
        } else {
            MEM_POOLG_newPool(&conn->rxPool, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg->rxPoolCfg);
            if (conn->rxPool == nullptr) return CONN_LYR__ERR_OUT_OF_RSRCS;
            conn->rxPoolOwned = 1;
        }
        conn->fixedRxSize = MEM_POOLG_getBuffSize(conn->rxPool);
        if (conn->fixedRxSize < CONN_LYRG_PACKET_WORD_SIZE) return CONN_LYR__ERR_INVALID_ARGS;
    }
    if (caps & CONN_LYRG_CAP_RX_THREAD) {
        conn->drainBuffer = new (std::nothrow) uint8_t[CONN_LYRG_DRAIN_BUFFER_SIZE];
        if (conn->drainBuffer == nullptr) return CONN_LYR__ERR_OUT_OF_RSRCS;
    }

    // A ring of no slots would never wrap its indices.
    if (cfg->txRingSize == 0 || cfg->txRingSize > CONN_LYRG_MAX_RING_SIZE) return CONN_LYR__ERR_CREATE_FAIL;
    if (OS_LYRG_createMutex(&conn->ringPutMutex) != OS_LYRG_SUCCESS) return CONN_LYR__ERR_CREATE_FAIL;
    conn->ringPutMutexCreated = 1;
    if (OS_LYRG_createMutex(&conn->ringTakeMutex) != OS_LYRG_SUCCESS) return CONN_LYR__ERR_CREATE_FAIL;
    conn->ringTakeMutexCreated = 1;
    conn->ringSize = cfg->txRingSize;
    for (auto& slot : conn->ring) {
        slot.kind.store(0);
        slot.length = 0;
        slot.buffer = nullptr;
        slot.channel = 0;
    }
    conn->putIndex = 0;
    conn->takeIndex = 0;
    {
        OsMutexLock chan(&conn->chanMutex);
        for (auto& entry : conn->channels) entry = CONN_LYR_channelEntry{};
    }

    conn->txThread = OS_LYRG_threadParamsT{nullptr, &txThread, 0, conn, kTxThreadId, "Conn Tx"};
    conn->rxThread = OS_LYRG_threadParamsT{nullptr, &rxThread, 0, conn, kRxThreadId, "Conn Rx"};
    conn->txEvent = OS_LYRG_createEvent(0);
    if (conn->txEvent == nullptr) return CONN_LYR__ERR_CREATE_FAIL;
    LOGG_PRINT(LOG_DEBUG_E, 0, "Event initialization OK\n");
    conn->rxStopped = 0;
    conn->txStopped = 0;
    setRunState(conn, CONN_LYR_RUNNING);

    if (caps & CONN_LYRG_CAP_RX_THREAD) {
        conn->rxThread.handle = OS_LYRG_createThread(&conn->rxThread);
        if (conn->rxThread.handle == nullptr) return CONN_LYR__ERR_CREATE_FAIL;
    }
    if (caps & CONN_LYRG_CAP_TX_THREAD) {
        conn->txThread.handle = OS_LYRG_createThread(&conn->txThread);
        if (conn->txThread.handle == nullptr) return CONN_LYR__ERR_CREATE_FAIL;
    }
    return CONN_LYR__RET_SUCCESS;
}

void resetStats(CONN_LYR_stats& stats) {
    stats.txBytes = 0;
    stats.txPackets = 0;
    stats.rxBytes = 0;
    stats.rxPackets = 0;
    stats.txOverflows = 0;
    stats.rxOverflows = 0;
    stats.rxNoMem = 0;
    stats.txErrors = 0;
    stats.rxBadChannel = 0;
}

// Back to a zeroed record (the record holds atomics, so no memset).
void zeroRecord(CONN_LYR_connection* conn) {
    conn->~CONN_LYR_connection();
    new (conn) CONN_LYR_connection();
}

}  // namespace

// --- public operations -----------------------------------------------------------

ERRG_codeE CONN_LYRG_init() {
    ConnLyrState* s = state();
    s->headerSize = CONN_LYRG_PACKET_WORD_SIZE;
    for (uint32_t i = 0; i < CONN_LYRG_MAX_CONNECTIONS; ++i) {
        CONN_LYR_connection* conn = &s->connections[i];
        if (conn->mutexesCreated) continue;  // already initialised: keep its mutexes
        zeroRecord(conn);
        conn->id = CONN_LYR_FREE_ID;
        if (OS_LYRG_createMutex(&conn->connMutex) != OS_LYRG_SUCCESS) return CONN_LYR__ERR_OUT_OF_RSRCS;
        if (OS_LYRG_createMutex(&conn->chanMutex) != OS_LYRG_SUCCESS) {
            OS_LYRG_releaseMutex(&conn->connMutex);
            return CONN_LYR__ERR_OUT_OF_RSRCS;
        }
        conn->mutexesCreated = 1;
    }
    return CONN_LYR__RET_SUCCESS;
}

void CONN_LYRG_deInit() {
    ConnLyrState* s = state();
    for (auto& conn : s->connections) {
        if (!conn.mutexesCreated) continue;
        OS_LYRG_lockMutex(&conn.connMutex);
        cleanup(&conn);
        OS_LYRG_unlockMutex(&conn.connMutex);
        OS_LYRG_releaseMutex(&conn.connMutex);
        OS_LYRG_releaseMutex(&conn.chanMutex);
        zeroRecord(&conn);
    }
}

ERRG_codeE CONN_LYRG_open(CONN_LYRG_handleT* handle, const CONN_LYRG_cfgT* cfg) {
    if (handle == nullptr) return CONN_LYR__ERR_INVALID_ARGS;
    *handle = nullptr;
    if (cfg == nullptr || cfg->ifOpsInit == nullptr) return CONN_LYR__ERR_INVALID_ARGS;
    ConnLyrState* s = state();
    CONN_LYR_connection* conn = nullptr;
    for (uint32_t i = 0; i < CONN_LYRG_MAX_CONNECTIONS && conn == nullptr; ++i) {
        CONN_LYR_connection* candidate = &s->connections[i];
        if (!candidate->mutexesCreated) continue;
        OS_LYRG_lockMutex(&candidate->connMutex);
        if (candidate->id == CONN_LYR_FREE_ID) {
            candidate->id = i;  // claimed; its mutex stays held through the open
            conn = candidate;
            LOGG_PRINT(LOG_DEBUG_E, 0, "found new conn entry %d\n", i);
        } else {
            OS_LYRG_unlockMutex(&candidate->connMutex);
        }
    }
    if (conn == nullptr) return CONN_LYR__ERR_NO_FREE_CONNECTIONS;
    resetStats(conn->stats);
    const ERRG_codeE status = openLocked(conn, cfg);
    if (ERRG_SUCCEEDED(status)) {
        LOGG_PRINT(LOG_DEBUG_E, 0, "Opened connection id=%d\n", conn->id);
        *handle = conn;
    } else {
        LOGG_PRINT(LOG_DEBUG_E, status, "Failed open connection id=%d\n", conn->id);
        cleanup(conn);
    }
    OS_LYRG_unlockMutex(&conn->connMutex);
    return status;
}

void CONN_LYRG_close(CONN_LYRG_handleT handle) {
    if (handle == nullptr || !handle->mutexesCreated) return;
    OsMutexLock lock(&handle->connMutex);
    cleanup(handle);
}

ERRG_codeE CONN_LYRG_registerChannel(CONN_LYRG_handleT handle, uint32_t channel, CONN_LYRG_handlerT rxHandler,
                                     CONN_LYRG_handlerT txDoneHandler, void* userData) {
    if (handle == nullptr || !handle->mutexesCreated || channel >= CONN_LYRG_NUM_CHANNELS)
        return CONN_LYR__ERR_INVALID_ARGS;
    OsMutexLock chan(&handle->chanMutex);
    handle->channels[channel] = CONN_LYR_channelEntry{rxHandler, txDoneHandler, userData};
    return CONN_LYR__RET_SUCCESS;
}

ERRG_codeE CONN_LYRG_send(CONN_LYRG_handleT handle, uint32_t channel, MEM_POOLG_bufDescT* buffer) {
    if (handle == nullptr || !handle->mutexesCreated) return CONN_LYR__ERR_CONNECTION_IS_DOWN;
    if (buffer == nullptr || buffer->data == nullptr) return CONN_LYR__ERR_INVALID_ARGS;
    OsMutexLock lock(&handle->connMutex);
    // A connection that a receive error has stopped has no transmit thread
    // any more: queuing would report success for a packet that never leaves.
    if (handle->id > 3 || handle->closing || runStateOf(handle) != CONN_LYR_RUNNING) {
        LOGG_PRINT(LOG_ERROR_E, 0, "send packet fail. connection is down\n");
        return CONN_LYR__ERR_CONNECTION_IS_DOWN;
    }
    // The word has six bits for the channel and 26 for the length: anything
    // larger would spill into the neighbouring field on the wire.
    const uint32_t total = MEM_POOLG_getChainLen(buffer);
    const auto* data = static_cast<const uint8_t*>(buffer->data);
    const auto* base = static_cast<const uint8_t*>(buffer->base);
    const bool roomKnownShort =
        base != nullptr && (data < base || static_cast<size_t>(data - base) < CONN_LYRG_PACKET_WORD_SIZE);
    if (channel >= CONN_LYRG_NUM_CHANNELS || total > CONN_LYRG_LENGTH_MASK || roomKnownShort) {
        LOGG_PRINT(LOG_ERROR_E, CONN_LYR__ERR_INVALID_ARGS, "send packet refused: channel=%u len=%u\n", channel,
                   total);
        return CONN_LYR__ERR_INVALID_ARGS;
    }
    OsMutexLock put(&handle->ringPutMutex);
    CONN_LYR_txDesc& slot = handle->ring[handle->putIndex];
    if (slot.kind.load(std::memory_order_acquire) != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "overflow %p %d %d\n", static_cast<void*>(buffer),
                   buffer->len, channel);
        handle->stats.txOverflows++;
        return CONN_LYR__ERR_TX_RING_FULL;
    }
    buffer->data = static_cast<uint8_t*>(buffer->data) - CONN_LYRG_PACKET_WORD_SIZE;
    putLe32(buffer->data, CONN_LYRG_packetWord(channel, total));
    buffer->len += CONN_LYRG_PACKET_WORD_SIZE;
    slot.length = total + CONN_LYRG_PACKET_WORD_SIZE;
    slot.buffer = buffer;
    slot.channel = static_cast<uint16_t>(channel);
    slot.kind.store(1, std::memory_order_release);
    handle->putIndex = static_cast<uint16_t>((handle->putIndex + 1) % handle->ringSize);
    OS_LYRG_setEvent(handle->txEvent);
    return CONN_LYR__RET_SUCCESS;
}

uint32_t CONN_LYRG_getHeaderSize() { return state()->headerSize; }

void CONN_LYRG_showStats(CONN_LYRG_handleT handle, int which) {
    if (handle == nullptr) return;
    const CONN_LYR_stats& st = handle->stats;
    if (which == 2 || which == 3)
        LOGG_PRINT(LOG_INFO_E, 0, "Connection Rx(%d): pkt=%8u %8uB (OF=%u NOMEM=%u)\n", handle->id,
                   st.rxPackets.load(), st.rxBytes.load(), st.rxOverflows.load(), st.rxNoMem.load());
    if (which == 1 || which == 3)
        LOGG_PRINT(LOG_INFO_E, 0, "Connection Tx(%d): pkt=%8u %8uB (OF=%u ERR=%u)\n", handle->id,
                   st.txPackets.load(), st.txBytes.load(), st.txOverflows.load(), st.txErrors.load());
}

bool CONN_LYRG_isRunning(CONN_LYRG_handleT handle) {
    if (handle == nullptr || !handle->mutexesCreated) return false;
    OsMutexLock lock(&handle->connMutex);
    return handle->id <= 3 && !handle->closing && runStateOf(handle) == CONN_LYR_RUNNING;
}
