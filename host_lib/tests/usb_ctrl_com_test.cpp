// USB interface component: the ops block, interface slots, transfer
// boundaries of chain writes, exact reads, and the mapping of transport
// results to status codes.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "host_lib/tests/packet_link_fixture.h"
#include "host_lib/usb_ctrl_com.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/mem_pool.h"
#include "sim/sim_usb.h"

namespace {

using zsim::Bytes;

// A scripted transport back-end: each transfer takes the next result (0 when
// the script is empty) and reports what it moved.
struct FakeTransport {
    std::deque<int> writeResults, readResults;
    std::deque<uint32_t> readCounts;  // bytes each successful read reports (all asked when empty)
    std::vector<uint32_t> writeLengths;
    int reads = 0, opens = 0, closes = 0;
    int openResult = 0, closeResult = 0;
    std::vector<uint8_t> openedIndices;
};
FakeTransport* fake = nullptr;

int fakeInit(vpu_usb_transport_params*) { return 0; }
int fakeDeinit() { return 0; }
int fakeOpen(uint8_t index) {
    ++fake->opens;
    fake->openedIndices.push_back(index);
    return fake->openResult;
}
int fakeClose(uint8_t) {
    ++fake->closes;
    return fake->closeResult;
}
int fakeWrite(uint8_t, const void*, uint32_t length, uint32_t* written) {
    fake->writeLengths.push_back(length);
    int rc = 0;
    if (!fake->writeResults.empty()) {
        rc = fake->writeResults.front();
        fake->writeResults.pop_front();
    }
    if (rc == 0 && written != nullptr) *written = length;
    return rc;
}
int fakeRead(uint8_t, void* buffer, uint32_t length, uint32_t* read) {
    ++fake->reads;
    int rc = 0;
    if (!fake->readResults.empty()) {
        rc = fake->readResults.front();
        fake->readResults.pop_front();
    }
    uint32_t count = length;
    if (!fake->readCounts.empty()) {
        count = fake->readCounts.front();
        fake->readCounts.pop_front();
    }
    if (rc == 0) {
        std::memset(buffer, 0x5A, std::min(count, length));
        if (read != nullptr) *read = count;
    }
    return rc;
}
const vpu_usb_backend_ops fakeOps{fakeInit, fakeDeinit, fakeOpen, fakeClose, fakeWrite, fakeRead,
                                  nullptr,  nullptr,    nullptr};

class UsbCtrlComTest : public ::testing::Test {
protected:
    UsbCtrlComTest() : context_(std::make_shared<morv::driver::Context>()) {}

    void SetUp() override {
        // Log lines go to the watcher, never to the sinks.
        linktest::watchLog(log_);
        USB_CTRL_COMG_getIfOps(&ops_);
    }
    void TearDown() override {
        linktest::expectReturnedAndClose({pool_});
        fake = nullptr;
        zsim::SimUsb::installFresh();
        LOGG_deinit();
    }

    void useFake() {
        fake = &fake_;
        vpu_usb_set_backend(&fakeOps);
    }
    zsim::SimUsb& useSim() {
        zsim::SimUsb& usb = zsim::SimUsb::installFresh();
        usb.plug({0, 1, 2, 3});
        return usb;
    }
    CONN_LYRG_ifHandleT open(uint8_t index) {
        CONN_LYRG_ifCfgT cfg{};
        cfg.params[0] = index;
        CONN_LYRG_ifHandleT handle = nullptr;
        EXPECT_EQ(ops_.open(&handle, &cfg), USB_CTRL_COM__RET_SUCCESS);
        return handle;
    }
    // A chain of buffers holding the given lengths of patterned bytes.
    MEM_POOLG_bufDescT* chainOf(const std::vector<uint32_t>& lengths) {
        if (pool_ == nullptr) {
            MEM_POOLG_init();
            MEM_POOLG_cfgT cfg{140000, 4, nullptr, 0, 0};
            MEM_POOLG_newPool(&pool_, MEM_POOLG_BUF_TYPE_HEAP_E, &cfg);
        }
        MEM_POOLG_bufDescT* head = nullptr;
        uint8_t seed = 1;
        for (uint32_t length : lengths) {
            MEM_POOLG_bufDescT* buffer = nullptr;
            EXPECT_EQ(MEM_POOLG_alloc(pool_, length, &buffer), MEM_POOL__RET_SUCCESS);
            auto* data = static_cast<uint8_t*>(buffer->data);
            for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i);
            buffer->len = length;
            ++seed;
            if (head == nullptr)
                head = buffer;
            else
                MEM_POOLG_chain(head, buffer);
        }
        return head;
    }

    linktest::LogWatcher log_;
    morv::driver::ScopedThreadContext context_;
    CONN_LYR_ifOps ops_{};
    FakeTransport fake_;
    MEM_POOLG_handleT pool_ = nullptr;
};

TEST_F(UsbCtrlComTest, OpsBlockHasTheSixOperationsAndReportsItsCapabilities) {
    CONN_LYR_ifOps ops;
    std::memset(&ops, 0, sizeof ops);
    USB_CTRL_COMG_getIfOps(&ops);
    EXPECT_NE(ops.open, nullptr);
    EXPECT_NE(ops.close, nullptr);
    EXPECT_NE(ops.getCaps, nullptr);
    EXPECT_NE(ops.send, nullptr);
    EXPECT_NE(ops.sendChain, nullptr);
    EXPECT_NE(ops.recv, nullptr);
    EXPECT_EQ(ops.reopen, nullptr);
    EXPECT_EQ(ops.recvTimeout, nullptr);
    EXPECT_EQ(ops.recvPacket, nullptr);
    uint32_t caps = 0;
    EXPECT_EQ(ops.getCaps(nullptr, &caps), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(caps, 0x17u);
}

TEST_F(UsbCtrlComTest, OpenKeepsTheConfigurationInTheSlotOfItsIndex) {
    useFake();
    CONN_LYRG_ifCfgT cfg{};
    cfg.params[0] = 6;
    cfg.params[127] = 0x77;
    cfg.word = 0x12345678;
    cfg.half = 0xABCD;
    CONN_LYRG_ifHandleT six = nullptr;
    ASSERT_EQ(ops_.open(&six, &cfg), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(std::memcmp(six, &cfg, CONN_LYRG_IF_CFG_USED), 0);
    EXPECT_EQ(fake_.openedIndices, std::vector<uint8_t>{6});
    CONN_LYRG_ifHandleT zero = open(0);
    EXPECT_NE(zero, six);
    EXPECT_EQ(open(0), zero);  // same index, same slot
}

TEST_F(UsbCtrlComTest, OpenRefusesAnIndexBeyondTheSevenSlots) {
    useFake();
    for (uint8_t index : {uint8_t{7}, uint8_t{255}}) {
        CONN_LYRG_ifCfgT cfg{};
        cfg.params[0] = index;
        CONN_LYRG_ifHandleT handle = &cfg;
        EXPECT_EQ(ops_.open(&handle, &cfg), USB_CTRL_COM__ERR_INVALID_ARGS) << int(index);
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_EQ(fake_.opens, 0);
}

TEST_F(UsbCtrlComTest, TransportFailuresOfOpenAndCloseMapToIoError) {
    useFake();
    fake_.openResult = VPU_USB_ERR_NOT_REGISTERED;
    CONN_LYRG_ifCfgT cfg{};
    cfg.params[0] = 2;
    CONN_LYRG_ifHandleT handle = nullptr;
    EXPECT_EQ(ops_.open(&handle, &cfg), USB_CTRL_COM__ERR_IO_ERROR);
    fake_.openResult = 0;
    handle = open(2);
    EXPECT_EQ(ops_.close(handle), USB_CTRL_COM__RET_SUCCESS);
    fake_.closeResult = VPU_USB_ERR_TRANSFER;
    EXPECT_EQ(ops_.close(handle), USB_CTRL_COM__ERR_IO_ERROR);
    EXPECT_EQ(fake_.closes, 2);
}

TEST_F(UsbCtrlComTest, FirstBufferOf131073BytesGoesOutAs64PlusTheRest) {
    zsim::SimUsb& usb = useSim();
    CONN_LYRG_ifHandleT handle = open(1);
    usb.recordWrites(1, true);
    MEM_POOLG_bufDescT* chain = chainOf({131073, 100});
    uint32_t sent = 0;
    ASSERT_EQ(ops_.sendChain(handle, chain, &sent), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(sent, 131173u);
    const auto writes = usb.recordedWrites(1);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), 64u);
    EXPECT_EQ(writes[1].size(), 131009u);
    EXPECT_EQ(writes[2].size(), 100u);
    // The bytes are the buffers' own, in order.
    Bytes first(writes[0]);
    first.insert(first.end(), writes[1].begin(), writes[1].end());
    const auto* data = static_cast<const uint8_t*>(chain->data);
    EXPECT_EQ(first, Bytes(data, data + 131073));
    const auto* second = static_cast<const uint8_t*>(chain->next->data);
    EXPECT_EQ(writes[2], Bytes(second, second + 100));
    MEM_POOLG_freeBuff(chain);
}

TEST_F(UsbCtrlComTest, FirstBufferOf131072BytesGoesOutAsOneTransfer) {
    zsim::SimUsb& usb = useSim();
    CONN_LYRG_ifHandleT handle = open(2);
    usb.recordWrites(2, true);
    MEM_POOLG_bufDescT* chain = chainOf({131072, 131073, 5});
    uint32_t sent = 0;
    ASSERT_EQ(ops_.sendChain(handle, chain, &sent), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(sent, 131072u + 131073u + 5u);
    const auto writes = usb.recordedWrites(2);
    // Only a first buffer is split; later ones go whole, however large.
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), 131072u);
    EXPECT_EQ(writes[1].size(), 131073u);
    EXPECT_EQ(writes[2].size(), 5u);
    MEM_POOLG_freeBuff(chain);
}

TEST_F(UsbCtrlComTest, FirstFailedWriteEndsTheChainAndIsItsResult) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(0);
    uint32_t sent = 99;
    MEM_POOLG_bufDescT* chain = chainOf({131073, 10, 20});
    // The 64-byte head fails: the rest of the packet is not sent behind it.
    fake_.writeResults = {VPU_USB_ERR_TRANSFER};
    EXPECT_EQ(ops_.sendChain(handle, chain, &sent), USB_CTRL_COM__ERR_IO_ERROR);
    EXPECT_EQ(fake_.writeLengths, (std::vector<uint32_t>{64}));
    EXPECT_EQ(sent, 0u);
    // The rest of the large buffer fails: later successes do not hide it.
    fake_.writeLengths.clear();
    fake_.writeResults = {0, VPU_USB_ERR_TRANSFER, 0, 0};
    EXPECT_EQ(ops_.sendChain(handle, chain, &sent), USB_CTRL_COM__ERR_IO_ERROR);
    EXPECT_EQ(fake_.writeLengths, (std::vector<uint32_t>{64, 131009}));
    EXPECT_EQ(sent, 64u);
    // A buffer behind the first fails: the chain stops there.
    fake_.writeLengths.clear();
    fake_.writeResults = {0, 0, VPU_USB_ERR_OVERRIDE_FAIL, 0};
    EXPECT_EQ(ops_.sendChain(handle, chain, &sent), 0x0106000Eu);
    EXPECT_EQ(fake_.writeLengths, (std::vector<uint32_t>{64, 131009, 10}));
    EXPECT_EQ(sent, 131073u);
    MEM_POOLG_freeBuff(chain);
}

TEST_F(UsbCtrlComTest, NullChainSendsNothing) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(0);
    uint32_t sent = 99;
    EXPECT_EQ(ops_.sendChain(handle, nullptr, &sent), USB_CTRL_COM__ERR_IO_ERROR);
    EXPECT_EQ(sent, 0u);
    EXPECT_TRUE(fake_.writeLengths.empty());
}

TEST_F(UsbCtrlComTest, WriteResultsMapToStatusCodes) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(3);
    const uint8_t data[16] = {};
    const std::pair<int, ERRG_codeE> cases[] = {
        {VPU_USB_OK, 0x01260000},
        {VPU_USB_ERR_OVERRIDE_FAIL, 0x0106000E},  // the connection is down
        {VPU_USB_ERR_NOT_REGISTERED, 0x01260007},
        {VPU_USB_ERR_TRANSFER, 0x01260007},
        {VPU_USB_ERR_INIT, 0x01260007},
    };
    for (const auto& [rc, status] : cases) {
        fake_.writeResults = {rc};
        uint32_t sent = 0;
        EXPECT_EQ(ops_.send(handle, data, sizeof data, &sent), status) << "rc " << rc;
        EXPECT_EQ(sent, rc == VPU_USB_OK ? 16u : 0u);
    }
}

TEST_F(UsbCtrlComTest, ReadResultsMapToStatusCodes) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(3);
    uint8_t data[16];
    const std::pair<int, ERRG_codeE> cases[] = {
        {8, 0x011D000B}, {12, 0x01060012}, {16, 0x01060011}, {7, 0x0126000E}, {4, 0x0126000E}, {1, 0x0126000E},
    };
    for (const auto& [rc, status] : cases) {
        fake_.readResults = {rc};
        uint32_t got = 99;
        EXPECT_EQ(ops_.recv(handle, data, sizeof data, &got), status) << "rc " << rc;
        EXPECT_EQ(got, 0u);
    }
    // Failures the connection layer cannot name leave their transport result in the log.
    EXPECT_EQ(log_.count("vpu_usb_lib: readpipe failed (rc=7)"), 1u);
    EXPECT_EQ(log_.count("vpu_usb_lib: readpipe failed (rc=8)"), 0u);
}

TEST_F(UsbCtrlComTest, ReadOfNothingMakesNoTransportCall) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(0);
    uint32_t got = 99;
    EXPECT_EQ(ops_.recv(handle, nullptr, 0, &got), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fake_.reads, 0);
}

TEST_F(UsbCtrlComTest, ReadThatArrivesInThreePiecesCompletes) {
    zsim::SimUsb& usb = useSim();
    CONN_LYRG_ifHandleT handle = open(1);
    Bytes all;
    for (size_t size : {10u, 20u, 30u}) {
        Bytes piece(size);
        for (size_t i = 0; i < size; ++i) piece[i] = static_cast<uint8_t>(all.size() + i);
        all.insert(all.end(), piece.begin(), piece.end());
        ASSERT_TRUE(usb.deviceSend(1, piece));
    }
    Bytes data(60);
    uint32_t got = 0;
    EXPECT_EQ(ops_.recv(handle, data.data(), 60, &got), USB_CTRL_COM__RET_SUCCESS);
    EXPECT_EQ(got, 60u);
    EXPECT_EQ(data, all);
    EXPECT_EQ(usb.pendingToHost(1), 0u);
}

TEST_F(UsbCtrlComTest, FailureAfterPartOfAReadKeepsTheCountOfWhatCame) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(0);
    fake_.readResults = {0, VPU_USB_ERR_TRANSFER};
    fake_.readCounts = {6};
    uint8_t data[16];
    uint32_t got = 0;
    EXPECT_EQ(ops_.recv(handle, data, sizeof data, &got), USB_CTRL_COM__ERR_READ_FAILED);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(fake_.reads, 2);
}

TEST_F(UsbCtrlComTest, ReadReportingMoreThanAskedIsAFailure) {
    useFake();
    CONN_LYRG_ifHandleT handle = open(0);
    fake_.readCounts = {17};
    uint8_t data[16];
    uint32_t got = 0;
    EXPECT_EQ(ops_.recv(handle, data, sizeof data, &got), USB_CTRL_COM__ERR_READ_FAILED);
    EXPECT_EQ(got, 0u);
}

}  // namespace
