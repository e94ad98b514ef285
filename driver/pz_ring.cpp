#include "driver/pz_ring.h"

namespace {

uint32_t advance(uint32_t index, uint32_t capacity) { return index + 1 >= capacity ? 0 : index + 1; }

void resetIndices(PZRing* ring) {
    ring->readIndex = 0;
    ring->writeIndex = 0;
    ring->count = 0;
}

}  // namespace

int PZRing_init(PZRing* ring, uint32_t capacity) {
    ring->capacity = 0;
    ring->mutex = nullptr;
    resetIndices(ring);
    for (void*& slot : ring->slots) slot = nullptr;
    // A capacity of 0 would make every index step divide the ring into
    // nothing, and one above the slot count would write past the slots.
    if (capacity == 0 || capacity > PZRING_MAX_CAPACITY) return -1;
    if (OS_LYRG_createMutex(&ring->mutex) != OS_LYRG_SUCCESS) return -1;
    ring->capacity = capacity;
    return 0;
}

void PZRing_deinit(PZRing* ring) {
    if (ring->mutex != nullptr) OS_LYRG_releaseMutex(&ring->mutex);
    ring->mutex = nullptr;
    ring->capacity = 0;
    resetIndices(ring);
}

int PZRing_push(PZRing* ring, void* item) {
    if (ring->mutex == nullptr) return -1;
    morv::runtime::OsMutexLock lock(&ring->mutex);
    if (ring->count >= ring->capacity) return -1;
    ring->slots[ring->writeIndex] = item;
    ring->writeIndex = advance(ring->writeIndex, ring->capacity);
    ++ring->count;
    return 0;
}

int PZRing_pop(PZRing* ring, void** item) {
    if (ring->mutex == nullptr) return -1;
    morv::runtime::OsMutexLock lock(&ring->mutex);
    if (ring->count == 0) return -1;
    *item = ring->slots[ring->readIndex];
    ring->slots[ring->readIndex] = nullptr;
    ring->readIndex = advance(ring->readIndex, ring->capacity);
    --ring->count;
    return 0;
}
