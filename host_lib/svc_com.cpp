#include "host_lib/svc_com.h"

#include <new>
#include <type_traits>

#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

struct SvcComState {
    SVC_COM_channel channels[SVC_COMG_NUM_CHANNELS];
    uint32_t headerSize;
};

SvcComState* state() {
    return PZContext_GetZeroFilledState<SvcComState>(PZContext_FixedKey(PZ_SLOT_SVC_COM));
}

void resetChannel(SVC_COM_channel* channel) {
    channel->channelId = -1;
    channel->connection = nullptr;
    channel->pool = nullptr;
    channel->rxCallback = nullptr;
    channel->userData = nullptr;
}

class ChannelLock {
public:
    explicit ChannelLock(SVC_COM_channel* channel) : channel_(channel) { OS_LYRG_lockMutex(&channel_->mutex); }
    ~ChannelLock() { OS_LYRG_unlockMutex(&channel_->mutex); }
    ChannelLock(const ChannelLock&) = delete;
    ChannelLock& operator=(const ChannelLock&) = delete;

private:
    SVC_COM_channel* channel_;
};

void putLe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t getLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Room in front of the data pointer of a buffer whose storage is known.
bool hasRoom(const MEM_POOLG_bufDescT* buffer, uint32_t room) {
    if (buffer->base == nullptr) return true;  // user storage: the caller vouches for it
    const auto* data = static_cast<const uint8_t*>(buffer->data);
    const auto* base = static_cast<const uint8_t*>(buffer->base);
    return data >= base && static_cast<size_t>(data - base) >= room;
}

}  // namespace

ERRG_codeE SVC_COMG_init() {
    SvcComState* s = state();
    for (auto& channel : s->channels) {
        resetChannel(&channel);
        channel.rxRunts.store(0);
        if (channel.mutexCreated == 0) {
            if (OS_LYRG_createMutex(&channel.mutex) != OS_LYRG_SUCCESS) return SVC_COM__ERR_OUT_OF_RSRCS;
            channel.mutexCreated = 1;
        }
    }
    s->headerSize = SVC_COMG_HEADER_SIZE;
    return SVC_COM__RET_SUCCESS;
}

void SVC_COMG_deInit() {
    SvcComState* s = state();
    for (auto& channel : s->channels) {
        if (channel.mutexCreated != 0) OS_LYRG_releaseMutex(&channel.mutex);
        channel.mutexCreated = 0;
        resetChannel(&channel);
    }
}

ERRG_codeE SVC_COMG_channelOpen(SVC_COMG_handleT* handle, uint32_t channelId, CONN_LYRG_handleT connection,
                                MEM_POOLG_handleT pool, SVC_COMG_rxCallbackT rxCallback, void* userData) {
    if (channelId >= SVC_COMG_NUM_CHANNELS) {
        if (handle != nullptr) *handle = nullptr;
        return SVC_COM__ERR_INVALID_CHANEL_NUM;
    }
    SVC_COM_channel* channel = &state()->channels[channelId];
    if (channel->mutexCreated == 0) return SVC_COM__ERR_OUT_OF_RSRCS;  // not initialised
    {
        ChannelLock lock(channel);
        channel->connection = connection;
        channel->pool = pool;
        channel->rxCallback = rxCallback;
        channel->userData = userData;
        channel->channelId = static_cast<int32_t>(channelId);  // published last
    }
    ERRG_codeE status = CONN_LYRG_registerChannel(connection, channelId, &SVC_COMP_rxCallback, nullptr, channel);
    if (ERRG_FAILED(status)) {
        ChannelLock lock(channel);
        resetChannel(channel);
        if (handle != nullptr) *handle = nullptr;
        return status;
    }
    if (handle != nullptr) *handle = channel;
    return SVC_COM__RET_SUCCESS;
}

ERRG_codeE SVC_COMG_channelClose(SVC_COMG_handleT channel) {
    if (channel == nullptr || channel->mutexCreated == 0) return SVC_COM__RET_SUCCESS;
    const CONN_LYRG_handleT connection = channel->connection.load();
    const int32_t id = channel->channelId.load();
    // Unregister first: once this returns the receive thread no longer
    // reaches this record for the channel.
    if (connection != nullptr && id >= 0)
        CONN_LYRG_registerChannel(connection, static_cast<uint32_t>(id), nullptr, nullptr, nullptr);
    ChannelLock lock(channel);
    resetChannel(channel);
    return SVC_COM__RET_SUCCESS;
}

void SVC_COMG_setRxCallback(SVC_COMG_handleT channel, SVC_COMG_rxCallbackT rxCallback, void* userData) {
    if (channel == nullptr || channel->mutexCreated == 0) return;
    ChannelLock lock(channel);
    channel->rxCallback = rxCallback;
    channel->userData = userData;
}

MEM_POOLG_handleT SVC_COMG_getChannelPool(uint32_t channelId) {
    if (channelId >= SVC_COMG_NUM_CHANNELS) return nullptr;
    SVC_COM_channel* channel = &state()->channels[channelId];
    return channel->channelId.load() < 0 ? nullptr : channel->pool.load();
}

uint32_t SVC_COMG_getHeaderRoom() { return SVC_COMG_HEADER_SIZE + CONN_LYRG_getHeaderSize(); }

ERRG_codeE SVC_COMG_channelSend(SVC_COMG_handleT channel, const SVC_COMG_hdrT* header, MEM_POOLG_bufDescT* buffer) {
    if (channel == nullptr || buffer == nullptr || buffer->data == nullptr) return SVC_COM__ERR_INVALID_ARGS;
    if (!hasRoom(buffer, SVC_COMG_getHeaderRoom())) {
        LOGG_PRINT(LOG_ERROR_E, SVC_COM__ERR_INVALID_ARGS, "SVC COM: no header room in front of the data.\n");
        return SVC_COM__ERR_INVALID_ARGS;
    }
    const CONN_LYRG_handleT connection = channel->connection.load();
    const int32_t id = channel->channelId.load();
    if (connection == nullptr || id < 0) {
        LOGG_PRINT(LOG_ERROR_E, SVC_COM__ERR_SEND, "SVC COM: failed to send packet.\n");
        return SVC_COM__ERR_SEND;
    }
    auto* at = static_cast<uint8_t*>(buffer->data) - SVC_COMG_HEADER_SIZE;
    buffer->data = at;
    buffer->len += SVC_COMG_HEADER_SIZE;
    if (header != nullptr) {
        putLe32(at, header->word0);
        putLe32(at + 4, header->code);
        putLe32(at + 8, header->status);
    }
    ERRG_codeE status = CONN_LYRG_send(connection, static_cast<uint32_t>(id), buffer);
    if (ERRG_FAILED(status)) {
        LOGG_PRINT(LOG_ERROR_E, status, "SVC COM: failed to send packet.\n");
        // The caller gets its buffer back as it gave it, ready to free or retry.
        buffer->data = at + SVC_COMG_HEADER_SIZE;
        buffer->len -= SVC_COMG_HEADER_SIZE;
        return SVC_COM__ERR_SEND;
    }
    return SVC_COM__RET_SUCCESS;
}

uint32_t SVC_COMG_getChannelNum(const void* handle) { return *static_cast<const uint32_t*>(handle); }

uint32_t SVC_COMG_getRuntCount(SVC_COMG_handleT channel) { return channel == nullptr ? 0 : channel->rxRunts.load(); }

void SVC_COMP_rxCallback(void* userData, MEM_POOLG_bufDescT* buffer) {
    auto* channel = static_cast<SVC_COM_channel*>(userData);
    if (buffer == nullptr) return;
    if (channel == nullptr) {
        MEM_POOLG_freeBuff(buffer);
        return;
    }
    ChannelLock lock(channel);
    // A packet shorter than the header carries no header at all: taking 12
    // from its length would wrap and hand stale bytes on as a huge payload.
    if (buffer->len < SVC_COMG_HEADER_SIZE) {
        const uint32_t runts = channel->rxRunts.fetch_add(1) + 1;
        LOGG_PRINT(LOG_WARN_E, 0, "SVC COM: dropped %u-byte packet on channel %d (runts=%u)\n", buffer->len,
                   channel->channelId.load(), runts);
        MEM_POOLG_freeBuff(buffer);
        return;
    }
    const auto* at = static_cast<const uint8_t*>(buffer->data);
    const SVC_COMG_hdrT header{getLe32(at), getLe32(at + 4), getLe32(at + 8)};
    buffer->data = static_cast<uint8_t*>(buffer->data) + SVC_COMG_HEADER_SIZE;
    buffer->len -= SVC_COMG_HEADER_SIZE;
    if (channel->rxCallback != nullptr)
        channel->rxCallback(channel->userData, &header, buffer);
    else
        MEM_POOLG_freeBuff(buffer);
}
