// What every fuzz target shares: a driver context of its own per input with
// a logger that drops its lines, a transport back-end that plays the fuzz
// bytes as the device's transfers, and the checks that a sanitizer cannot
// make: pool records intact, and every pool buffer back when the stack is
// taken down. A failed check aborts, which libFuzzer reports as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/context.h"
#include "runtime/mem_pool.h"

namespace zfuzz {

using Bytes = std::vector<uint8_t>;

// Reports a broken invariant and aborts.
[[noreturn]] void fail(const char* what, unsigned long long a = 0, unsigned long long b = 0);

// A fresh driver context for the calling thread (and the threads it starts)
// whose logger runs at DEBUG, so that every log line is formatted, and
// writes nowhere. Its end waits until every thread that inherited the
// context has let go of it: a detached thread that has signalled its end may
// still be leaving, and the input is not over before it has.
class InputContext {
public:
    InputContext();
    ~InputContext();
    InputContext(const InputContext&) = delete;
    InputContext& operator=(const InputContext&) = delete;

private:
    PZContextHolder context_;
    long baseline_ = 0;  // references to the context once it is in place
    morv::driver::ScopedThreadContext scope_;
};

// Aborts unless the pool's records are intact.
void checkIntact(MEM_POOLG_handleT pool);
// Aborts unless the pool's records are intact and every buffer is free; then closes it.
void checkReturnedAndClose(MEM_POOLG_handleT pool);
// Aborts when any pool of the context was closed with buffers still allocated.
void checkNoneStranded();

// Transport back-end for single-threaded and reader-thread targets: reads on
// an interface take the scripted transfers in order (a read takes at most
// what it asks for from the current transfer, the rest stays for the next
// read); once they are used up, every read fails, as on a device that has
// gone. Writes succeed and are counted.
namespace script {
void install();  // makes it the back-end and empties every script
void load(uint8_t index, std::vector<Bytes> transfers);
size_t writes(uint8_t index);
}  // namespace script

// Splits fuzz bytes into transfers: each is a 16-bit little-endian length
// followed by that many bytes (a last length beyond the input takes what is left).
std::vector<Bytes> splitTransfers(const uint8_t* data, size_t size);

}  // namespace zfuzz
