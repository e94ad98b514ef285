#include "driver/device_protocol.h"

#include <limits>
#include <vector>

#include <capnp/dynamic.h>
#include <capnp/schema.h>
#include <kj/exception.h>

#include "runtime/usb_transport.h"

capnp::ReaderOptions PZClient_readerOptions() {
    capnp::ReaderOptions options;
    options.traversalLimitInWords = PZ_MSG_TRAVERSAL_LIMIT_WORDS;
    options.nestingLimit = PZ_MSG_NESTING_LIMIT;
    return options;
}

void MyWriter::write(const void* buffer, size_t size) {
    // The transport counts in 32 bits; a larger piece cannot go in one
    // transfer, and splitting it would change the framing the device sees.
    if (size > std::numeric_limits<uint32_t>::max()) {
        kj::throwFatalException(KJ_EXCEPTION(FAILED, "piece too large for one bulk write", size));
    }
    uint32_t written = 0;
    const int result = vpu_usb_write_bulk(interface_, buffer, static_cast<uint32_t>(size), &written);
    if (result != VPU_USB_OK || written != size) {
        kj::throwFatalException(
            KJ_EXCEPTION(DISCONNECTED, "bulk write on the client interface failed", result, written, size));
    }
}

size_t MyReader::tryRead(void* buffer, size_t /*minBytes*/, size_t maxBytes) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t have = 0;
    lastError_ = 0;
    while (have < maxBytes) {
        const size_t missing = maxBytes - have;
        const uint32_t ask =
            missing > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                            : static_cast<uint32_t>(missing);
        uint32_t got = 0;
        const int result = vpu_usb_read_bulk(interface_, out + have, ask, &got);
        if (result != VPU_USB_OK) {
            lastError_ = result;
            return 0;
        }
        // A successful transfer never claims more than was asked; trust it
        // no further than that.
        have += got > ask ? ask : got;
    }
    return maxBytes;
}

int PZClient_writeSyncBytes(uint8_t interfaceIndex) {
    uint32_t written = 0;
    const int result =
        vpu_usb_write_bulk(interfaceIndex, PZ_SYNC_BYTES.data(), static_cast<uint32_t>(PZ_SYNC_BYTES.size()), &written);
    if (result == VPU_USB_OK && written != PZ_SYNC_BYTES.size()) return VPU_USB_ERR_TRANSFER;
    return result;
}

namespace {

// The name of a union member by its discriminant. The table is read from the
// schema once: every send names its request, and looking the member up by
// name in the dynamic schema on each message costs more than building it.
template <typename Group>
const char* memberNameOf(uint16_t which) {
    // Never destroyed: a request logged while the process exits (the
    // display's library ends it from the main thread) still finds its names.
    static const std::vector<const char*>& names = *[] {
        auto* table = new std::vector<const char*>;
        for (capnp::StructSchema::Field field : capnp::Schema::from<Group>().getUnionFields()) {
            const uint16_t discriminant = field.getProto().getDiscriminantValue();
            if (table->size() <= discriminant) table->resize(discriminant + 1u, nullptr);
            (*table)[discriminant] = field.getProto().getName().cStr();
        }
        return table;
    }();
    return which < names.size() ? names[which] : nullptr;
}

template <typename Enum>
const char* enumerantName(uint16_t value) {
    capnp::DynamicEnum dynamic(capnp::Schema::from<Enum>(), value);
    KJ_IF_MAYBE (enumerant, dynamic.getEnumerant()) {
        return enumerant->getProto().getName().cStr();
    }
    return "";
}

}  // namespace

const char* PZClient_requestMsgName(morv::client::Request::Reader request) {
    return memberNameOf<morv::client::Request::Msg>(static_cast<uint16_t>(request.getMsg().which()));
}

const char* PZClient_responseMsgName(morv::client::Response::Reader response) {
    return memberNameOf<morv::client::Response::Msg>(static_cast<uint16_t>(response.getMsg().which()));
}

const char* PZClient_errorName(uint16_t error) { return enumerantName<morv::client::Error>(error); }

const char* PZClient_notificationName(uint16_t notification) {
    return enumerantName<morv::client::Notification>(notification);
}
