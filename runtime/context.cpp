#include "runtime/context.h"

#include <pthread.h>

#include <stdexcept>

const unsigned char PZContextFixedTags[PZ_SLOT_FIXED_COUNT] = {};

namespace {

using morv::driver::Context;

// The default context lives from before the program entry to process end. It
// is deliberately never destroyed: its deleters must not run during exit,
// while other statics are already gone.
PZContextHolder* defaultContextHolder() {
    static PZContextHolder* holder = new PZContextHolder(std::make_shared<Context>());
    return holder;
}

Context* defaultContextRaw() {
    static Context* raw = defaultContextHolder()->get();
    return raw;
}

// Created by a start-up initialiser so that the first lookup from any thread
// finds it ready.
[[maybe_unused]] const bool initDefaultContext = (defaultContextRaw(), true);

// The thread's own context: a holder owned by a thread-specific key, whose
// destructor releases it when the thread ends; none means the default one.
// Not a thread_local holder: the Windows toolchain's thread_local
// destructors may run after the thread's own storage has been freed, and a
// shared reference released from freed memory crashes.
pthread_key_t contextKey() {
    static const pthread_key_t key = [] {
        pthread_key_t created{};
        if (pthread_key_create(&created, [](void* holder) { delete static_cast<PZContextHolder*>(holder); }) != 0) {
            throw std::runtime_error("no thread-specific key for the driver context");
        }
        return created;
    }();
    return key;
}
// Made by a start-up initialiser, before any thread of ours runs.
[[maybe_unused]] const pthread_key_t initContextKey = contextKey();

PZContextHolder* currentHolder() { return static_cast<PZContextHolder*>(pthread_getspecific(contextKey())); }

// The same context as a plain pointer, for the lookups on every call.
thread_local Context* tlsCurrentContextRaw = nullptr;

const char kNullObjectMessage[] = "PZContextSlotConstructor should never return null!";

// Index of a fixed key, or -1 for a dynamic key.
int fixedIndex(PZContextSlotKey key) {
    auto first = reinterpret_cast<std::uintptr_t>(&PZContextFixedTags[0]);
    auto addr = reinterpret_cast<std::uintptr_t>(key);
    if (addr < first || addr >= first + PZ_SLOT_FIXED_COUNT) return -1;
    return static_cast<int>(addr - first);
}

void* construct(PZContextSlotConstructor constructor, void* value) {
    void* object = constructor(value);
    if (object == nullptr) throw std::runtime_error(kNullObjectMessage);
    return object;
}

// Store rule for a fixed slot (caller holds the slot lock).
void store(morv::driver::ContextSlot& slot, void* object, PZContextSlotDeleter deleter) {
    void* previous = slot.object;
    PZContextSlotDeleter previousDeleter = slot.deleter;
    if (object == previous) {
        slot.deleter = deleter;
        return;
    }
    slot.object = object;
    slot.deleter = object ? deleter : nullptr;
    if (previous && previousDeleter) previousDeleter(previous);
}

}  // namespace

namespace morv::driver {

Context::~Context() {
    for (auto& slot : fixedSlots) {
        if (slot.object && slot.deleter) slot.deleter(slot.object);
    }
    for (auto& [key, entry] : dynamicSlots) {
        if (entry.object && entry.deleter) entry.deleter(entry.object);
    }
}

ScopedThreadContext::ScopedThreadContext(PZContextHolder context)
    : context_(std::move(context)),
      previous_(currentHolder() != nullptr ? new PZContextHolder(*currentHolder()) : nullptr) {
    PZContext_SetThreadContext(new PZContextHolder(context_));
}

ScopedThreadContext::~ScopedThreadContext() { PZContext_SetThreadContext(previous_); }

}  // namespace morv::driver

Context* PZContext_GetCurrent() { return tlsCurrentContextRaw ? tlsCurrentContextRaw : defaultContextRaw(); }

void* PZContext_GetSlot(Context* context, PZContextSlotKey key, PZContextSlotConstructor constructor,
                        void* constructorValue, PZContextSlotDeleter deleter) {
    int index = fixedIndex(key);
    if (index >= 0) {
        auto& slot = context->fixedSlots[index];
        std::lock_guard<std::mutex> guard(slot.lock);
        if (slot.object == nullptr) store(slot, construct(constructor, constructorValue), deleter);
        return slot.object;
    }
    std::lock_guard<std::mutex> guard(context->dynamicLock);
    auto it = context->dynamicSlots.find(key);
    if (it != context->dynamicSlots.end() && it->second.object != nullptr) return it->second.object;
    void* object = construct(constructor, constructorValue);
    context->dynamicSlots[key] = Context::DynamicEntry{object, deleter};
    return object;
}

void* PZContext_FindSlot(Context* context, PZContextSlotKey key) {
    int index = fixedIndex(key);
    if (index >= 0) {
        auto& slot = context->fixedSlots[index];
        std::lock_guard<std::mutex> guard(slot.lock);
        return slot.object;
    }
    std::lock_guard<std::mutex> guard(context->dynamicLock);
    auto it = context->dynamicSlots.find(key);
    return it == context->dynamicSlots.end() ? nullptr : it->second.object;
}

bool PZContext_IsDefault(Context* context) { return context == defaultContextRaw(); }

PZContextHolder* PZContext_AcquireCurrent() {
    const PZContextHolder* current = currentHolder();
    return new PZContextHolder(current != nullptr ? *current : *defaultContextHolder());
}

void PZContext_SetThreadContext(PZContextHolder* holder) {
    // The holder is adopted as it is; the previous one goes once the new one
    // is in place, so that the thread never sees a released context.
    PZContextHolder* previous = currentHolder();
    if (holder != nullptr && !*holder) {
        delete holder;
        holder = nullptr;
    }
    pthread_setspecific(contextKey(), holder);
    tlsCurrentContextRaw = holder != nullptr ? holder->get() : nullptr;
    delete previous;
}
