// Driver context: every component of the driver and of the vision-chip host
// library keeps its working state in a slot of the current context, never in a
// global. A slot is created on first use by the component's constructor and
// destroyed by its deleter when the context goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <unordered_map>

// Key of a slot: the address of a one-byte static tag owned by the component.
using PZContextSlotKey = const void*;
// Creates a component's state on first use of its slot; must never return null.
using PZContextSlotConstructor = void* (*)(void* value);
using PZContextSlotDeleter = void (*)(void* object);

// Owners of the fixed slots.
enum PZContextSlotId : int {
    PZ_SLOT_DEVICE = 0,
    PZ_SLOT_CLIENT = 1,
    PZ_SLOT_FRAME_STREAMS = 2,
    PZ_SLOT_IMU_STREAM = 3,
    PZ_SLOT_TWIST_COMP = 4,
    PZ_SLOT_HOST_API = 5,
    PZ_SLOT_UNUSED_6 = 6,
    PZ_SLOT_DEPTH = 7,
    PZ_SLOT_ALG = 8,
    PZ_SLOT_LOGGER_SVC = 9,
    PZ_SLOT_SVC_MNGR = 10,
    PZ_SLOT_VIDEO = 11,
    PZ_SLOT_WEBCAM = 12,
    PZ_SLOT_SYSTEM = 13,
    PZ_SLOT_UNUSED_14 = 14,
    PZ_SLOT_POS_SENSORS = 15,
    PZ_SLOT_CONN_LYR = 16,
    PZ_SLOT_MARSHAL = 17,
    PZ_SLOT_MEM_POOL = 18,
    PZ_SLOT_SERVICE = 19,
    PZ_SLOT_SVC_COM = 20,
    PZ_SLOT_LOG = 21,
    PZ_SLOT_STREAMER = 22,
    PZ_SLOT_USB_TRANSPORT = 23,
    PZ_SLOT_UNUSED_24 = 24,
    PZ_SLOT_LOG_CALLBACK = 25,
    PZ_SLOT_UNUSED_26 = 26,
    PZ_SLOT_FIXED_COUNT = 27
};

// The 27 fixed tags: consecutive bytes of one array. A key inside the array
// selects the fixed slot at its distance from the first byte.
extern const unsigned char PZContextFixedTags[PZ_SLOT_FIXED_COUNT];

inline PZContextSlotKey PZContext_FixedKey(PZContextSlotId id) { return &PZContextFixedTags[id]; }

namespace morv::driver {

struct ContextSlot {
    std::mutex lock;
    void* object = nullptr;
    PZContextSlotDeleter deleter = nullptr;
};

class Context {
public:
    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    // Calls every stored deleter once: fixed slots in index order, then the
    // dynamic ones. Deleters must not use the context.
    ~Context();

    struct DynamicEntry {
        void* object = nullptr;
        PZContextSlotDeleter deleter = nullptr;
    };

    ContextSlot fixedSlots[PZ_SLOT_FIXED_COUNT];
    std::mutex dynamicLock;
    std::unordered_map<PZContextSlotKey, DynamicEntry> dynamicSlots;
};

}  // namespace morv::driver

using PZContextHolder = std::shared_ptr<morv::driver::Context>;

// The calling thread's context, or the default one. Takes no lock.
morv::driver::Context* PZContext_GetCurrent();
// Get-or-create. Raises std::runtime_error "PZContextSlotConstructor should
// never return null!" when the constructor returns null; the slot stays empty.
void* PZContext_GetSlot(morv::driver::Context* context, PZContextSlotKey key,
                        PZContextSlotConstructor constructor, void* constructorValue,
                        PZContextSlotDeleter deleter);
// Lookup without creating: null when the slot is empty.
void* PZContext_FindSlot(morv::driver::Context* context, PZContextSlotKey key);
bool PZContext_IsDefault(morv::driver::Context* context);
// A new heap-held copy of the thread's shared reference (or of the default's).
PZContextHolder* PZContext_AcquireCurrent();
// With a holder: adopt its context on this thread and free the holder.
// With null: fall back to the default context.
void PZContext_SetThreadContext(PZContextHolder* holder);

// Host-library components keep plain zero-filled records allocated with the C
// allocator and released with free.
template <typename T>
void* PZContext_ZeroFilledConstructor(void*) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>,
                  "host-library state must be a plain record");
    return std::calloc(1, sizeof(T));
}

// Records with atomics or standard mutexes are not plain: they are built in
// place in zero-filled memory (their fields without initialisers start at
// zero, as the plain records' do) and destroyed before the memory is freed.
// Whether a member needs its destructor depends on the thread library (a
// standard mutex does on some systems), so such records always use this pair:
// PZContext_GetZeroFilledState keeps constructor and deleter together.
template <typename T>
void* PZContext_ZeroFilledNew(void*) {
    void* memory = std::calloc(1, sizeof(T));
    if (memory == nullptr) return nullptr;
    return new (memory) T();
}

template <typename T>
void PZContext_ZeroFilledDelete(void* object) {
    if (object == nullptr) return;
    static_cast<T*>(object)->~T();
    std::free(object);
}

inline void PZContext_FreeDeleter(void* object) { std::free(object); }

template <typename T>
T* PZContext_GetZeroFilledState(PZContextSlotKey key) {
    return static_cast<T*>(PZContext_GetSlot(PZContext_GetCurrent(), key, &PZContext_ZeroFilledNew<T>, nullptr,
                                             &PZContext_ZeroFilledDelete<T>));
}

template <typename T>
T* PZContext_GetHostState(PZContextSlotKey key) {
    return static_cast<T*>(PZContext_GetSlot(PZContext_GetCurrent(), key, &PZContext_ZeroFilledConstructor<T>,
                                             nullptr, &PZContext_FreeDeleter));
}

template <typename T>
T* PZContext_GetHostState(PZContextSlotId id) {
    return PZContext_GetHostState<T>(PZContext_FixedKey(id));
}

namespace morv::driver {
// Runs the current thread on a context of its own for as long as it lives and
// restores the previous one afterwards (tests, and multi-device callers).
class ScopedThreadContext {
public:
    explicit ScopedThreadContext(PZContextHolder context);
    ~ScopedThreadContext();
    ScopedThreadContext(const ScopedThreadContext&) = delete;
    ScopedThreadContext& operator=(const ScopedThreadContext&) = delete;
    Context* get() const { return context_.get(); }

private:
    PZContextHolder context_;
    PZContextHolder* previous_;
};
}  // namespace morv::driver
