// PZRing: the bounded ring of pointers between a stream's producer thread
// and its callback thread. Push and pop never block: a producer that finds
// the ring full drops its item (the application is not keeping up), and a
// consumer that finds it empty goes back to waiting for its data event.
//
// The ring holds pointers only; whoever pops an item owns it. The owner
// empties the ring before PZRing_deinit.
#pragma once

#include <cstdint>

#include "runtime/os_layer.h"

constexpr uint32_t PZRING_MAX_CAPACITY = 16;

struct PZRing {
    uint32_t capacity;                  // 1 to PZRING_MAX_CAPACITY; 0 when not initialised
    void* slots[PZRING_MAX_CAPACITY];
    OS_LYRG_mutexT mutex;               // guards the slots, indices and count
    uint32_t readIndex;
    uint32_t writeIndex;
    uint32_t count;
};

// Creates the ring's mutex and empties it. 0, or -1 when capacity is outside
// 1..PZRING_MAX_CAPACITY or the mutex cannot be created (the ring is then left
// unusable: every push and pop fails).
int PZRing_init(PZRing* ring, uint32_t capacity);
// Releases the mutex and zeroes capacity, indices and count. Items still held
// are not freed: the owner pops them first.
void PZRing_deinit(PZRing* ring);
// Stores item at the write end. 0, or -1 when the ring is full or not initialised.
int PZRing_push(PZRing* ring, void* item);
// Takes the oldest item into *item. 0, or -1 (and *item untouched) when the
// ring is empty or not initialised.
int PZRing_pop(PZRing* ring, void** item);
