// Memory pools: fixed-size, reference-counted, chainable buffers carved from
// one block per pool. Whoever receives a buffer frees it.
#pragma once

#include <cstdint>

#include "runtime/err_codes.h"
#include "runtime/os_layer.h"

constexpr int MEM_POOLG_MAX_POOLS = 34;
constexpr int MEM_POOLG_FREE_CACHE = 16;
constexpr uint32_t MEM_POOLG_MAGIC = 0xA5A5;
constexpr uint32_t MEM_POOLG_IN_USE = 0x10000;

enum MEM_POOLG_typeE : int32_t {
    MEM_POOLG_BUF_TYPE_HEAP_E = 0,    // each buffer carries an inline data area of bufSize bytes
    MEM_POOLG_BUF_TYPE_HEADER_E = 1,  // header-only buffers; the user supplies the storage
};

struct MEM_POOLG_bufDescT {
    void* data;      // start of the payload; users may advance it
    uint32_t len;    // payload length, set by the user
    uint32_t spare;  // not used by the pools
    void* base;      // start of the buffer's storage
    uint32_t capacity;
    uint32_t refCount;  // 0 when free
    MEM_POOLG_bufDescT* next;
};

using MEM_POOLG_releaseCbT = void (*)(uint32_t arg, MEM_POOLG_bufDescT* buffer);

struct MEM_POOLG_cfgT {
    uint32_t bufSize;
    uint32_t count;
    MEM_POOLG_releaseCbT releaseCallback;  // may be null; runs with the pool's lock held
    uint32_t callbackArg;
    uint32_t restoreDataOnAlloc;
};

struct MEM_POOLP_poolT;
using MEM_POOLG_handleT = MEM_POOLP_poolT*;

constexpr ERRG_codeE MEM_POOL__RET_SUCCESS = 0x1140000;
constexpr ERRG_codeE MEM_POOL__ERR_ALLOC_BUF_FAIL_NULL_HANDLE = 0x114000B;
constexpr ERRG_codeE MEM_POOL__ERR_ALLOC_BUF_FAIL_BIG_BUF_SIZE = 0x114000C;
constexpr ERRG_codeE MEM_POOL__ERR_ALLOC_BUF_FAIL_NO_BUF_IN_POOL = 0x114000D;

// Zeroes the pool table of the current context (no pool is closed).
void MEM_POOLG_init();
// Creates a pool in the first free record; *handle is null on failure.
void MEM_POOLG_newPool(MEM_POOLG_handleT* handle, MEM_POOLG_typeE type, const MEM_POOLG_cfgT* config);
void MEM_POOLG_closePool(MEM_POOLG_handleT handle);
ERRG_codeE MEM_POOLG_alloc(MEM_POOLG_handleT handle, uint32_t length, MEM_POOLG_bufDescT** buffer);
// Drops one reference from every buffer of the chain.
void MEM_POOLG_freeBuff(MEM_POOLG_bufDescT* buffer);
// Adds one reference to every buffer of the chain.
void MEM_POOLG_duplicateBuff(MEM_POOLG_bufDescT* buffer);
// Appends the chain at second behind the last buffer of the chain at first.
void MEM_POOLG_chain(MEM_POOLG_bufDescT* first, MEM_POOLG_bufDescT* second);
void MEM_POOLG_reset(MEM_POOLG_handleT handle);
uint32_t MEM_POOLG_getBuffSize(MEM_POOLG_handleT handle);
uint32_t MEM_POOLG_getNumBuffs(MEM_POOLG_handleT handle);
uint32_t MEM_POOLG_getNumFree(MEM_POOLG_handleT handle);
// Records of the pool that are not what the pool made them (header, owner,
// storage, reference count against the in-use mark, data window, free cache);
// 0 when the pool is intact. For tests and fuzz targets: bytes from a device
// must never be able to damage them.
uint32_t MEM_POOLG_checkPool(MEM_POOLG_handleT handle);
// Buffers of the current context that were still allocated when their pool
// was closed, since MEM_POOLG_init: each one was lost by whoever held it.
uint32_t MEM_POOLG_getStrandedAtClose();
uint32_t MEM_POOLG_getChainLen(const MEM_POOLG_bufDescT* buffer);
