#include "runtime/usb_transport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "runtime/context.h"
#include "sim/sim_usb.h"

namespace {

// ---------------------------------------------------------------------------
// A back-end table that records which entry was reached and with what, and
// answers with a distinct value per entry.

struct BackendCall {
    int entry = -1;  // slot of the table; -1: none
    int calls = 0;
    vpu_usb_transport_params* params = nullptr;
    uint8_t index = 0;
    const void* buffer = nullptr;
    uint32_t length = 0;
    uint32_t* count = nullptr;
};
BackendCall backendCall;

void note(int entry) {
    backendCall.entry = entry;
    ++backendCall.calls;
}

constexpr int kInitResult = 21, kDeinitResult = 22, kOpenResult = 23, kCloseResult = 24, kWriteResult = 25,
              kReadResult = 26;

const vpu_usb_backend_ops recordingBackend = {
    [](vpu_usb_transport_params* params) {
        note(0);
        backendCall.params = params;
        return kInitResult;
    },
    [] {
        note(1);
        return kDeinitResult;
    },
    [](uint8_t index) {
        note(2);
        backendCall.index = index;
        return kOpenResult;
    },
    [](uint8_t index) {
        note(3);
        backendCall.index = index;
        return kCloseResult;
    },
    [](uint8_t index, const void* buffer, uint32_t length, uint32_t* written) {
        note(4);
        backendCall.index = index;
        backendCall.buffer = buffer;
        backendCall.length = length;
        backendCall.count = written;
        return kWriteResult;
    },
    [](uint8_t index, void* buffer, uint32_t length, uint32_t* read) {
        note(5);
        backendCall.index = index;
        backendCall.buffer = buffer;
        backendCall.length = length;
        backendCall.count = read;
        return kReadResult;
    },
    nullptr,
    [] { return 4; },
    nullptr,
};

// ---------------------------------------------------------------------------
// An override table whose results and counts the test chooses.

struct OverrideScript {
    int inits = 0;
    int writes = 0;
    int reads = 0;
    int32_t result = 0;
    uint64_t count = 0;
    uint64_t countOnEntry = 0;  // what the transport handed in as the count
    uint8_t index = 0;
    const void* buffer = nullptr;
    uint32_t length = 0;
};
OverrideScript overrideScript;

const vpu_usb_transport_ops scriptedOverride = {
    [] {
        ++overrideScript.inits;
        return int32_t{0};
    },
    [](uint8_t index, const void* buffer, uint32_t length, uint64_t* transferred) {
        ++overrideScript.writes;
        overrideScript.countOnEntry = *transferred;
        overrideScript.index = index;
        overrideScript.buffer = buffer;
        overrideScript.length = length;
        *transferred = overrideScript.count;
        return overrideScript.result;
    },
    [](uint8_t index, void* buffer, uint32_t length, uint64_t* transferred) {
        ++overrideScript.reads;
        overrideScript.countOnEntry = *transferred;
        overrideScript.index = index;
        overrideScript.buffer = buffer;
        overrideScript.length = length;
        *transferred = overrideScript.count;
        return overrideScript.result;
    },
};

void* overrideConstructor(void*) { return const_cast<vpu_usb_transport_ops*>(&scriptedOverride); }
void keepStaticTable(void*) {}

class UsbTransportFrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = vpu_usb_get_backend();
        vpu_usb_set_backend(&recordingBackend);
        backendCall = BackendCall{};
        overrideScript = OverrideScript{};
    }
    void TearDown() override { vpu_usb_set_backend(previous_); }

    // Puts the scripted override in slot 23 of a fresh context that the
    // calling thread runs on while the returned scope lives.
    static std::unique_ptr<morv::driver::ScopedThreadContext> withOverride() {
        auto context = std::make_shared<morv::driver::Context>();
        auto scope = std::make_unique<morv::driver::ScopedThreadContext>(context);
        PZContext_GetSlot(context.get(), PZContext_FixedKey(PZ_SLOT_USB_TRANSPORT), overrideConstructor, nullptr,
                          keepStaticTable);
        return scope;
    }

private:
    const vpu_usb_backend_ops* previous_ = nullptr;
};

// ---------------------------------------------------------------------------
// Without an override: a plain forward

TEST_F(UsbTransportFrontEnd, EachFunctionReachesOnlyItsBackendEntryWithTheSameArguments) {
    vpu_usb_transport_params params{1, 2, "SN-1"};
    EXPECT_EQ(vpu_usb_init(&params), kInitResult);
    EXPECT_EQ(backendCall.entry, 0);
    EXPECT_EQ(backendCall.params, &params);

    EXPECT_EQ(vpu_usb_deinit(), kDeinitResult);
    EXPECT_EQ(backendCall.entry, 1);

    EXPECT_EQ(vpu_usb_open(3), kOpenResult);
    EXPECT_EQ(backendCall.entry, 2);
    EXPECT_EQ(backendCall.index, 3);

    EXPECT_EQ(vpu_usb_close(4), kCloseResult);
    EXPECT_EQ(backendCall.entry, 3);
    EXPECT_EQ(backendCall.index, 4);

    uint8_t out[7] = {};
    uint32_t written = 0xDEAD;
    EXPECT_EQ(vpu_usb_write_bulk(2, out, sizeof out, &written), kWriteResult);
    EXPECT_EQ(backendCall.entry, 4);
    EXPECT_EQ(backendCall.index, 2);
    EXPECT_EQ(backendCall.buffer, out);
    EXPECT_EQ(backendCall.length, sizeof out);
    EXPECT_EQ(backendCall.count, &written);
    EXPECT_EQ(written, 0xDEADu) << "the front end must leave the count to the back-end";

    uint8_t in[9] = {};
    EXPECT_EQ(vpu_usb_read_bulk(1, in, sizeof in, nullptr), kReadResult);
    EXPECT_EQ(backendCall.entry, 5);
    EXPECT_EQ(backendCall.index, 1);
    EXPECT_EQ(backendCall.buffer, in);
    EXPECT_EQ(backendCall.length, sizeof in);
    EXPECT_EQ(backendCall.count, nullptr);

    EXPECT_EQ(backendCall.calls, 6) << "one back-end call per front-end call";
}

TEST_F(UsbTransportFrontEnd, NullParameterBlockIsPassedOnAsNull) {
    backendCall.params = reinterpret_cast<vpu_usb_transport_params*>(0x1);
    EXPECT_EQ(vpu_usb_init(nullptr), kInitResult);
    EXPECT_EQ(backendCall.params, nullptr);
}

TEST_F(UsbTransportFrontEnd, WithoutBackendOrEntryEveryOperationAnswersNotRegistered) {
    vpu_usb_set_backend(nullptr);
    uint8_t buffer[4] = {};
    EXPECT_EQ(vpu_usb_init(nullptr), 4);
    EXPECT_EQ(vpu_usb_deinit(), 4);
    EXPECT_EQ(vpu_usb_open(0), 4);
    EXPECT_EQ(vpu_usb_close(0), 4);
    EXPECT_EQ(vpu_usb_write_bulk(0, buffer, 4, nullptr), 4);
    EXPECT_EQ(vpu_usb_read_bulk(0, buffer, 4, nullptr), 4);

    const vpu_usb_backend_ops empty{};
    vpu_usb_set_backend(&empty);
    EXPECT_EQ(vpu_usb_init(nullptr), 4);
    EXPECT_EQ(vpu_usb_write_bulk(0, buffer, 4, nullptr), 4);
    EXPECT_EQ(vpu_usb_read_bulk(0, buffer, 4, nullptr), 4);
    vpu_usb_set_backend(&recordingBackend);
}

// ---------------------------------------------------------------------------
// With an override in slot 23

TEST_F(UsbTransportFrontEnd, OverrideInitIsCalledAndReportsSuccessWithoutTheBackend) {
    auto scope = withOverride();
    vpu_usb_transport_params params{0, 0, nullptr};
    EXPECT_EQ(vpu_usb_init(&params), 0);
    EXPECT_EQ(overrideScript.inits, 1);
    EXPECT_EQ(vpu_usb_deinit(), 0);
    EXPECT_EQ(vpu_usb_open(1), 0);
    EXPECT_EQ(vpu_usb_close(1), 0);
    EXPECT_EQ(backendCall.calls, 0) << "an override keeps every call away from the back-end";
    EXPECT_EQ(overrideScript.writes + overrideScript.reads, 0);
}

TEST_F(UsbTransportFrontEnd, OverrideWriteResultsAreMappedAndTheCountStored) {
    auto scope = withOverride();
    uint8_t data[12] = {};

    overrideScript.result = 0;
    overrideScript.count = 12;
    uint32_t written = 0;
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, &written), 0);
    EXPECT_EQ(written, 12u);
    EXPECT_EQ(overrideScript.index, 4);
    EXPECT_EQ(overrideScript.buffer, data);
    EXPECT_EQ(overrideScript.length, sizeof data);

    overrideScript.result = 1;
    overrideScript.count = 5;
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, &written), 8);
    EXPECT_EQ(written, 5u) << "the count is stored whatever the result";

    overrideScript.result = 5;
    overrideScript.count = 0;
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, &written), 7);
    EXPECT_EQ(written, 0u);

    overrideScript.result = -1;
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, &written), 7);
    EXPECT_EQ(backendCall.calls, 0);
}

TEST_F(UsbTransportFrontEnd, OverrideReadResultsAreMappedLikeWrites) {
    auto scope = withOverride();
    uint8_t data[8] = {};
    uint32_t read = 99;

    overrideScript.result = 0;
    overrideScript.count = 3;
    EXPECT_EQ(vpu_usb_read_bulk(2, data, sizeof data, &read), 0);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(overrideScript.reads, 1);
    EXPECT_EQ(overrideScript.buffer, data);

    overrideScript.result = 1;
    EXPECT_EQ(vpu_usb_read_bulk(2, data, sizeof data, &read), 8);
    overrideScript.result = 2;
    EXPECT_EQ(vpu_usb_read_bulk(2, data, sizeof data, &read), 7);
    EXPECT_EQ(backendCall.calls, 0);
}

TEST_F(UsbTransportFrontEnd, OverrideCountStartsAtZeroAndOnlyItsLowHalfIsStored) {
    auto scope = withOverride();
    uint8_t data[4] = {};
    uint32_t count = 0;
    overrideScript.count = 0x1'0000'0005ull;
    EXPECT_EQ(vpu_usb_write_bulk(0, data, sizeof data, &count), 0);
    EXPECT_EQ(overrideScript.countOnEntry, 0u);
    EXPECT_EQ(count, 5u);

    overrideScript.count = 0xFFFF'FFFF'0000'0000ull;
    count = 77;
    EXPECT_EQ(vpu_usb_read_bulk(0, data, sizeof data, &count), 0);
    EXPECT_EQ(overrideScript.countOnEntry, 0u) << "each transfer gets a cleared count";
    EXPECT_EQ(count, 0u);
}

TEST_F(UsbTransportFrontEnd, OverrideWithoutCountPointerStillMapsTheResult) {
    auto scope = withOverride();
    uint8_t data[4] = {};
    overrideScript.count = 4;
    overrideScript.result = 1;
    EXPECT_EQ(vpu_usb_write_bulk(0, data, sizeof data, nullptr), 8);
    overrideScript.result = 9;
    EXPECT_EQ(vpu_usb_read_bulk(0, data, sizeof data, nullptr), 7);
    overrideScript.result = 0;
    EXPECT_EQ(vpu_usb_read_bulk(0, data, sizeof data, nullptr), 0);
    EXPECT_EQ(overrideScript.writes, 1);
    EXPECT_EQ(overrideScript.reads, 2);
}

TEST_F(UsbTransportFrontEnd, OverrideWithoutTransferFunctionsRefusesTransfers) {
    static const vpu_usb_transport_ops initOnly = {nullptr, nullptr, nullptr};
    auto context = std::make_shared<morv::driver::Context>();
    morv::driver::ScopedThreadContext scope(context);
    PZContext_GetSlot(
        context.get(), PZContext_FixedKey(PZ_SLOT_USB_TRANSPORT),
        [](void*) -> void* { return const_cast<vpu_usb_transport_ops*>(&initOnly); }, nullptr, keepStaticTable);
    uint8_t data[4] = {};
    uint32_t count = 31;
    EXPECT_EQ(vpu_usb_init(nullptr), 0);
    EXPECT_EQ(vpu_usb_write_bulk(0, data, sizeof data, &count), 4);
    EXPECT_EQ(vpu_usb_read_bulk(0, data, sizeof data, &count), 4);
    EXPECT_EQ(count, 31u);
    EXPECT_EQ(backendCall.calls, 0);
}

TEST_F(UsbTransportFrontEnd, OverrideBelongsToItsContextOnly) {
    auto scope = withOverride();
    uint8_t data[4] = {};
    int otherThreadResult = -1;
    // A plain thread runs on the default context, whose slot 23 is empty.
    std::thread other([&] { otherThreadResult = vpu_usb_write_bulk(1, data, sizeof data, nullptr); });
    other.join();
    EXPECT_EQ(otherThreadResult, kWriteResult);
    EXPECT_EQ(backendCall.calls, 1);
    EXPECT_EQ(vpu_usb_write_bulk(1, data, sizeof data, nullptr), 0);
    EXPECT_EQ(overrideScript.writes, 1);
    EXPECT_EQ(backendCall.calls, 1);

    scope.reset();
    EXPECT_EQ(vpu_usb_write_bulk(1, data, sizeof data, nullptr), kWriteResult) << "back on the default context";
}

// ---------------------------------------------------------------------------
// Against the simulated bus, as the program runs it

TEST_F(UsbTransportFrontEnd, SimulatedBusResultsPassThroughUnchanged) {
    zsim::SimUsb& bus = zsim::SimUsb::installFresh();
    EXPECT_EQ(vpu_usb_init(nullptr), 0);
    EXPECT_EQ(vpu_usb_init(nullptr), 1) << "already initialised";
    uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, nullptr), 4) << "nothing plugged";
    bus.plug({4});
    bus.failNext(4, zsim::Dir::Out);
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, nullptr), 7);
    uint32_t written = 0;
    EXPECT_EQ(vpu_usb_write_bulk(4, data, sizeof data, &written), 0);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(vpu_usb_deinit(), 0);
    EXPECT_EQ(vpu_usb_deinit(), 1) << "not initialised";
    bus.reset();
}

}  // namespace
