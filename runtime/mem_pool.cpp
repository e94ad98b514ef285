// Memory pools. Every buffer of a pool is carved from one block allocated when
// the pool is created, so allocating and freeing never touch the system
// allocator. A buffer is a header {magic, pool} followed by the descriptor the
// users see and, for heap-type pools, the inline data area; the header is
// found again by stepping back from a descriptor, so a descriptor names its
// pool without a lookup.
#include "runtime/mem_pool.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "runtime/context.h"

namespace {

using MEM_POOLP_allocT = ERRG_codeE (*)(MEM_POOLG_handleT, uint32_t, MEM_POOLG_bufDescT**);
using MEM_POOLP_freeT = void (*)(MEM_POOLG_handleT, MEM_POOLG_bufDescT*);

struct MEM_POOLP_opsT {
    MEM_POOLP_allocT alloc;
    MEM_POOLP_freeT free;
};

}  // namespace

struct MEM_POOLP_poolT {
    int32_t type;  // MEM_POOLG_typeE
    uint32_t count;
    uint32_t bufSize;
    MEM_POOLG_bufDescT* freeCache[MEM_POOLG_FREE_CACHE];  // recently freed, newest last
    uint32_t cacheCount;
    MEM_POOLG_releaseCbT releaseCallback;
    uint32_t callbackArg;
    unsigned char* block;  // null while the record is free
    OS_LYRG_mutexT lock;   // guards the record, its buffers' headers and counts
    uint32_t restoreDataOnAlloc;
    const MEM_POOLP_opsT* ops;
};

namespace {

struct MEM_POOLP_headerT {
    uint32_t magic;  // MEM_POOLG_MAGIC, plus MEM_POOLG_IN_USE while allocated
    MEM_POOLP_poolT* pool;
};

// Header and descriptor form one record; the inline data follows it.
struct MEM_POOLP_bufRecordT {
    MEM_POOLP_headerT header;
    MEM_POOLG_bufDescT desc;
};

// The descriptor holds pointers: every record must start 8-aligned, so the
// record size is a multiple of 8 and the inline area starts 8-aligned too.
constexpr size_t kAlign = 8;
static_assert(alignof(MEM_POOLP_bufRecordT) <= kAlign);
static_assert(sizeof(MEM_POOLP_bufRecordT) % kAlign == 0);
static_assert(offsetof(MEM_POOLP_bufRecordT, desc) == sizeof(MEM_POOLP_headerT));

struct MEM_POOLP_tableT {
    MEM_POOLP_poolT pools[MEM_POOLG_MAX_POOLS];
    // Buffers still allocated when their pool was closed: lost to whoever held them.
    uint32_t strandedAtClose;
};

MEM_POOLP_tableT* poolTable() { return PZContext_GetHostState<MEM_POOLP_tableT>(PZ_SLOT_MEM_POOL); }

// Locks a pool record's OS-layer mutex for one scope.
class PoolLock {
public:
    explicit PoolLock(MEM_POOLP_poolT* pool) : pool_(pool) { OS_LYRG_lockMutex(&pool_->lock); }
    ~PoolLock() { OS_LYRG_unlockMutex(&pool_->lock); }
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

private:
    MEM_POOLP_poolT* pool_;
};

MEM_POOLP_bufRecordT* recordOf(MEM_POOLG_bufDescT* desc) {
    return reinterpret_cast<MEM_POOLP_bufRecordT*>(reinterpret_cast<unsigned char*>(desc) -
                                                   offsetof(MEM_POOLP_bufRecordT, desc));
}

MEM_POOLP_poolT* poolOf(MEM_POOLG_bufDescT* desc) { return recordOf(desc)->header.pool; }

// Bytes of inline data per buffer, rounded up so the next record stays aligned.
size_t inlineBytes(const MEM_POOLP_poolT* pool) {
    if (pool->type != MEM_POOLG_BUF_TYPE_HEAP_E) return 0;
    return (static_cast<size_t>(pool->bufSize) + kAlign - 1) / kAlign * kAlign;
}

size_t stride(const MEM_POOLP_poolT* pool) { return sizeof(MEM_POOLP_bufRecordT) + inlineBytes(pool); }

MEM_POOLP_bufRecordT* bufferAt(const MEM_POOLP_poolT* pool, uint32_t index) {
    return reinterpret_cast<MEM_POOLP_bufRecordT*>(pool->block + static_cast<size_t>(index) * stride(pool));
}

void* inlineArea(MEM_POOLP_bufRecordT* record) { return reinterpret_cast<unsigned char*>(record) + sizeof(*record); }

void* baseOf(const MEM_POOLP_poolT* pool, MEM_POOLP_bufRecordT* record) {
    return pool->type == MEM_POOLG_BUF_TYPE_HEAP_E ? inlineArea(record) : nullptr;
}

bool inUse(const MEM_POOLP_bufRecordT* record) { return (record->header.magic & MEM_POOLG_IN_USE) != 0; }

ERRG_codeE MEM_POOLP_alloc(MEM_POOLG_handleT pool, uint32_t length, MEM_POOLG_bufDescT** buffer) {
    *buffer = nullptr;
    if (pool == nullptr) return MEM_POOL__ERR_ALLOC_BUF_FAIL_NULL_HANDLE;
    if (length > pool->bufSize) return MEM_POOL__ERR_ALLOC_BUF_FAIL_BIG_BUF_SIZE;

    PoolLock guard(pool);
    MEM_POOLP_bufRecordT* record = nullptr;
    if (pool->cacheCount > 0) {
        // The most recently freed buffer is the likeliest to be warm in cache.
        record = recordOf(pool->freeCache[--pool->cacheCount]);
    } else {
        for (uint32_t i = 0; i < pool->count; ++i) {
            if (!inUse(bufferAt(pool, i))) {
                record = bufferAt(pool, i);
                break;
            }
        }
    }
    if (record == nullptr) return MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL;

    record->header.magic |= MEM_POOLG_IN_USE;
    MEM_POOLG_bufDescT& desc = record->desc;
    if (pool->type == MEM_POOLG_BUF_TYPE_HEAP_E) desc.data = inlineArea(record);
    desc.len = 0;
    desc.refCount = 1;
    desc.next = nullptr;
    if (pool->restoreDataOnAlloc == 1) desc.data = desc.base;
    *buffer = &desc;
    return MEM_POOL__RET_SUCCESS;
}

// Called with the pool's lock held, when the last reference has gone.
void MEM_POOLP_free(MEM_POOLG_handleT pool, MEM_POOLG_bufDescT* buffer) {
    recordOf(buffer)->header.magic &= ~MEM_POOLG_IN_USE;
    // With the cache full the buffer is found again by the scan.
    if (pool->cacheCount < MEM_POOLG_FREE_CACHE) pool->freeCache[pool->cacheCount++] = buffer;
    if (pool->releaseCallback) pool->releaseCallback(pool->callbackArg, buffer);
}

constexpr MEM_POOLP_opsT kOps = {&MEM_POOLP_alloc, &MEM_POOLP_free};

void initBuffer(MEM_POOLP_poolT* pool, MEM_POOLP_bufRecordT* record) {
    record->header.magic = MEM_POOLG_MAGIC;
    record->header.pool = pool;
    record->desc.data = nullptr;
    record->desc.len = 0;
    record->desc.spare = 0;
    record->desc.base = baseOf(pool, record);
    record->desc.capacity = pool->type == MEM_POOLG_BUF_TYPE_HEAP_E ? pool->bufSize : 0;
    record->desc.refCount = 0;
    record->desc.next = nullptr;
}

}  // namespace

void MEM_POOLG_init() { std::memset(poolTable(), 0, sizeof(MEM_POOLP_tableT)); }

void MEM_POOLG_newPool(MEM_POOLG_handleT* handle, MEM_POOLG_typeE type, const MEM_POOLG_cfgT* config) {
    *handle = nullptr;
    MEM_POOLP_tableT* table = poolTable();
    if (type != MEM_POOLG_BUF_TYPE_HEAP_E && type != MEM_POOLG_BUF_TYPE_HEADER_E) return;
    if (config == nullptr) return;

    MEM_POOLP_poolT* pool = nullptr;
    for (auto& candidate : table->pools) {
        if (candidate.block == nullptr) {
            pool = &candidate;
            break;
        }
    }
    if (pool == nullptr) return;

    OS_LYRG_createMutex(&pool->lock);
    pool->type = type;
    pool->ops = &kOps;
    pool->bufSize = config->bufSize;
    pool->count = config->count;
    pool->cacheCount = 0;
    pool->releaseCallback = config->releaseCallback;
    pool->callbackArg = config->callbackArg;
    pool->restoreDataOnAlloc = config->restoreDataOnAlloc;

    // A pool of no buffers still gets a block, so that its record counts as in use.
    size_t each = stride(pool);
    unsigned char* block = nullptr;
    if (pool->count <= std::numeric_limits<size_t>::max() / each) {
        size_t bytes = static_cast<size_t>(pool->count) * each;
        block = static_cast<unsigned char*>(std::malloc(bytes == 0 ? 1 : bytes));
    }
    if (block == nullptr) {
        OS_LYRG_releaseMutex(&pool->lock);
        pool->lock = nullptr;
        return;
    }
    pool->block = block;
    for (uint32_t i = 0; i < pool->count; ++i) initBuffer(pool, bufferAt(pool, i));
    *handle = pool;
}

void MEM_POOLG_closePool(MEM_POOLG_handleT handle) {
    if (handle == nullptr) return;
    if (handle->block != nullptr) {
        uint32_t stranded = 0;
        for (uint32_t i = 0; i < handle->count; ++i) stranded += inUse(bufferAt(handle, i)) ? 1 : 0;
        poolTable()->strandedAtClose += stranded;
    }
    if (OS_LYRG_releaseMutex(&handle->lock) != OS_LYRG_SUCCESS) {
        std::fputs("MEM_POOL: Failed to destory mutex\n", stderr);
    }
    handle->lock = nullptr;
    std::free(handle->block);
    handle->block = nullptr;
}

ERRG_codeE MEM_POOLG_alloc(MEM_POOLG_handleT handle, uint32_t length, MEM_POOLG_bufDescT** buffer) {
    if (handle == nullptr) {
        *buffer = nullptr;
        return MEM_POOL__ERR_ALLOC_BUF_FAIL_NULL_HANDLE;
    }
    return handle->ops->alloc(handle, length, buffer);
}

void MEM_POOLG_freeBuff(MEM_POOLG_bufDescT* buffer) {
    while (buffer != nullptr) {
        MEM_POOLP_poolT* pool = poolOf(buffer);
        MEM_POOLG_bufDescT* next;
        {
            PoolLock guard(pool);
            // Read the link before the buffer can go back to the pool and be
            // handed to someone else.
            next = buffer->next;
            if (buffer->refCount != 0 && --buffer->refCount == 0) pool->ops->free(pool, buffer);
        }
        buffer = next;
    }
}

void MEM_POOLG_duplicateBuff(MEM_POOLG_bufDescT* buffer) {
    while (buffer != nullptr) {
        PoolLock guard(poolOf(buffer));
        ++buffer->refCount;
        buffer = buffer->next;
    }
}

void MEM_POOLG_chain(MEM_POOLG_bufDescT* first, MEM_POOLG_bufDescT* second) {
    if (first == nullptr) return;
    MEM_POOLG_bufDescT* last = first;
    while (last->next != nullptr) last = last->next;

    MEM_POOLP_poolT* lastPool = poolOf(last);
    PoolLock guard(lastPool);
    const uint32_t refs = last->refCount;
    // Every appended buffer must hold at least as many references as the one
    // it hangs behind, so that one free per holder releases the whole chain.
    for (MEM_POOLG_bufDescT* b = second; b != nullptr;) {
        MEM_POOLP_poolT* pool = poolOf(b);
        std::optional<PoolLock> other;
        if (pool != lastPool) other.emplace(pool);
        if (b->refCount >= refs) break;
        b->refCount = refs;
        b = b->next;
    }
    last->next = second;
}

void MEM_POOLG_reset(MEM_POOLG_handleT handle) {
    if (handle == nullptr) return;
    PoolLock guard(handle);
    // next and the free cache stay: the cached buffers are free after the
    // reset, so they remain valid cache entries.
    for (uint32_t i = 0; i < handle->count; ++i) {
        MEM_POOLP_bufRecordT* record = bufferAt(handle, i);
        record->header.magic = MEM_POOLG_MAGIC;
        record->desc.data = nullptr;
        record->desc.len = 0;
        record->desc.capacity = handle->bufSize;
        record->desc.refCount = 0;
        record->desc.base = baseOf(handle, record);
    }
}

uint32_t MEM_POOLG_getBuffSize(MEM_POOLG_handleT handle) { return handle ? handle->bufSize : 0; }

uint32_t MEM_POOLG_getNumBuffs(MEM_POOLG_handleT handle) { return handle ? handle->count : 0; }

uint32_t MEM_POOLG_checkPool(MEM_POOLG_handleT handle) {
    if (handle == nullptr || handle->block == nullptr) return 0;
    PoolLock guard(handle);
    uint32_t damaged = 0;
    const bool heap = handle->type == MEM_POOLG_BUF_TYPE_HEAP_E;
    for (uint32_t i = 0; i < handle->count; ++i) {
        MEM_POOLP_bufRecordT* record = bufferAt(handle, i);
        const MEM_POOLG_bufDescT& d = record->desc;
        bool sound = (record->header.magic & ~MEM_POOLG_IN_USE) == MEM_POOLG_MAGIC && record->header.pool == handle &&
                     d.base == baseOf(handle, record) && (inUse(record) == (d.refCount != 0));
        if (sound && heap) {
            const auto* base = static_cast<const unsigned char*>(d.base);
            const auto* data = static_cast<const unsigned char*>(d.data);
            sound = d.capacity == handle->bufSize &&
                    (d.data == nullptr || (data >= base && data <= base + d.capacity &&
                                           d.len <= static_cast<size_t>(base + d.capacity - data)));
        }
        damaged += sound ? 0 : 1;
    }
    if (handle->cacheCount > MEM_POOLG_FREE_CACHE) return damaged + 1;
    for (uint32_t i = 0; i < handle->cacheCount; ++i) {
        const auto* at = reinterpret_cast<const unsigned char*>(handle->freeCache[i]);
        const size_t offset = static_cast<size_t>(at - handle->block) - offsetof(MEM_POOLP_bufRecordT, desc);
        if (at < handle->block || offset % stride(handle) != 0 || offset / stride(handle) >= handle->count ||
            inUse(recordOf(handle->freeCache[i])))
            ++damaged;
    }
    return damaged;
}

uint32_t MEM_POOLG_getStrandedAtClose() { return poolTable()->strandedAtClose; }

uint32_t MEM_POOLG_getNumFree(MEM_POOLG_handleT handle) {
    if (handle == nullptr) return 0;
    PoolLock guard(handle);
    uint32_t free = 0;
    for (uint32_t i = 0; i < handle->count; ++i) {
        if (!inUse(bufferAt(handle, i))) ++free;
    }
    return free;
}

uint32_t MEM_POOLG_getChainLen(const MEM_POOLG_bufDescT* buffer) {
    uint32_t total = 0;
    for (; buffer != nullptr; buffer = buffer->next) total += buffer->len;
    return total;
}
