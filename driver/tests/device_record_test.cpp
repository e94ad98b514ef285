// The driver state that reaches the application, and the readiness test
// that guards every request.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "driver/device_record.h"
#include "driver/tests/client_test_support.h"
#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

class DeviceRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        context_ = std::make_shared<morv::driver::Context>();
        scope_ = std::make_unique<morv::driver::ScopedThreadContext>(context_);
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK), [](void* value) { return value; },
                          log_.record(), [](void*) {});
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        device_ = PZDevice_get();
    }
    void TearDown() override {
        scope_.reset();
        context_.reset();
    }

    static void onState(int state, void* user) {
        static_cast<std::vector<std::pair<int, void*>>*>(user)->emplace_back(state, user);
    }

    std::shared_ptr<morv::driver::Context> context_;
    std::unique_ptr<morv::driver::ScopedThreadContext> scope_;
    ztest::LogCapture log_;
    PZDeviceRecord* device_ = nullptr;
};

TEST_F(DeviceRecordTest, ReadinessFollowsTheStateAndLowPowerOnlyWhenAllowed) {
    // A fresh record is Unknown and never ready.
    EXPECT_EQ(device_->state.load(), PZDeviceState_Unknown);
    EXPECT_FALSE(PZInternal_IsDeviceReady(false));
    EXPECT_FALSE(PZInternal_IsDeviceReady(true));
    const std::pair<PZDeviceState, bool> cases[] = {
        {PZDeviceState_Booting, false},          {PZDeviceState_Ready, true},
        {PZDeviceState_Disconnected, false},     {PZDeviceState_Error, false},
        {PZDeviceState_RecoveryMode, false},     {PZDeviceState_ProductionDataCorrupt, true},
        {PZDeviceState_FWCorrupt, true},
    };
    for (const auto& [state, ready] : cases) {
        updateState(state);
        EXPECT_EQ(PZInternal_IsDeviceReady(false), ready) << state;
        EXPECT_EQ(PZInternal_IsDeviceReady(true), ready) << state;
    }
    updateState(PZDeviceState_LowPowerMode);
    EXPECT_FALSE(PZInternal_IsDeviceReady(false));
    EXPECT_TRUE(PZInternal_IsDeviceReady(true));
    EXPECT_TRUE(isReadyState(true));
    EXPECT_FALSE(isReadyState(false));
}

TEST_F(DeviceRecordTest, RemovalCleanupBlocksRequestsAndShutdownCleanupDoesNot) {
    updateState(PZDeviceState_Ready);
    device_->keepUsb = true;
    device_->cleanupActive = true;
    EXPECT_FALSE(PZInternal_IsDeviceReady(false));
    EXPECT_FALSE(PZInternal_IsDeviceReady(true));
    EXPECT_EQ(log_.count("In cleanup.  NOT READY"), 2u);
    EXPECT_EQ(log_.levelOf("In cleanup.  NOT READY"), LOG_DEBUG_E);
    device_->keepUsb = false;
    EXPECT_TRUE(PZInternal_IsDeviceReady(false));
    EXPECT_EQ(log_.count("In cleanup.  NOT READY"), 3u);
    device_->cleanupActive = false;
    EXPECT_TRUE(PZInternal_IsDeviceReady(false));
    EXPECT_EQ(log_.count("In cleanup.  NOT READY"), 3u);
}

TEST_F(DeviceRecordTest, StateChangesReachTheCallbackOnlyWhileOneIsSet) {
    updateState(PZDeviceState_Booting);
    EXPECT_EQ(log_.count("Notifying app of state"), 0u);
    std::vector<std::pair<int, void*>> seen;
    device_->userData = &seen;
    device_->stateCallback = &onState;
    updateState(PZDeviceState_Ready);
    updateState(PZDeviceState_Disconnected);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(int{PZDeviceState_Ready}, static_cast<void*>(&seen)));
    EXPECT_EQ(seen[1].first, PZDeviceState_Disconnected);
    EXPECT_EQ(log_.count("Notifying app of state: Ready"), 1u);
    EXPECT_EQ(log_.levelOf("Notifying app of state: Ready"), LOG_INFO_E);
    device_->stateCallback = nullptr;
    updateState(PZDeviceState_Unknown);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(device_->state.load(), PZDeviceState_Unknown);
}

}  // namespace
