// The device response stream on the client interface: resynchronisation on
// the sync bytes, the message framing, decoding with the reader's limits, and
// reply handling, run by the real read thread over a transport that plays the
// fuzz bytes as the device's transfers and then fails, as an unplugged device
// does. Two requests are pending under ids the input chooses, so that replies
// can match them.
//
// Input: two 32-bit pending ids, then transfers (16-bit length, bytes).
#include <chrono>
#include <cstring>
#include <mutex>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "fuzz/fuzz_support.h"
#include "runtime/os_layer.h"

namespace {

void onSystemEvent(int32_t, int32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    zfuzz::InputContext context;
    zfuzz::script::install();
    PZClient* client = PZClient_get();
    if (client->pendingMutex == nullptr) OS_LYRG_createMutex(&client->pendingMutex);
    uint32_t keys[2];
    std::memcpy(keys, data, sizeof(keys));
    {
        morv::runtime::OsMutexLock lock(&client->pendingMutex);
        for (uint32_t key : keys) {
            auto entry = std::make_unique<PZClientPendingEntry>();
            entry->key = key;
            entry->requestName = "fuzz";
            client->pending[key] = std::move(entry);
        }
    }
    zfuzz::script::load(PZ_CLIENT_INTERFACE, zfuzz::splitTransfers(data + 8, size - 8));

    startClient(&onSystemEvent);
    {
        // The read thread ends by itself once the transfers are used up.
        std::unique_lock<std::mutex> lock(client->aliveMutex);
        if (!client->aliveCondition.wait_for(lock, std::chrono::seconds(20), [client] { return !client->alive; }))
            zfuzz::fail("read thread still running after its last transfer");
    }
    stopClient();

    morv::runtime::OsMutexLock lock(&client->pendingMutex);
    for (auto& [key, entry] : client->pending) {
        if (entry->done.load() && entry->reply == nullptr) zfuzz::fail("completed entry without a reply", key);
        if (entry->done.load()) (void)entry->response().getId();
    }
    client->pending.clear();
    return 0;
}
