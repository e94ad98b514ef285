// Shared by the request and parameter tests: the client against the
// simulated firmware, started and past its first state report, with what the
// tests read back from the firmware's setting store.
#pragma once

#include "driver/tests/client_test_support.h"

namespace ztest {

class SettingRequestsFixture : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        waitForStateReport();
    }
    size_t sent() const { return firmware_->requestKinds().size(); }
    zsim::SimSettingRequest lastSetting() const {
        const auto all = firmware_->settingRequests();
        EXPECT_FALSE(all.empty());
        return all.empty() ? zsim::SimSettingRequest{} : all.back();
    }
    void planError(morv::client::Error error) {
        zsim::ReplyPlan plan;
        plan.kind = zsim::ReplyPlan::Kind::Error;
        plan.error = static_cast<uint16_t>(error);
        firmware_->planNext(plan);
    }
};

}  // namespace ztest
