// Shared by the device-client tests: a fresh driver context whose log lines
// are captured, the simulated bus with the client interface plugged, and a
// scripted device peer that decodes the host's requests and lets each test
// answer them byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <capnp/message.h>
#include <capnp/serialize.h>

#include "driver/device_client.h"
#include "driver/device_protocol.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "sim/sim_firmware.h"
#include "sim/sim_usb.h"

namespace ztest {

using morv::client::Request;
using morv::client::Response;
using Bytes = zsim::Bytes;

constexpr auto kBound = std::chrono::seconds(5);

// Log lines of one context, captured through its user log callback.
class LogCapture {
public:
    struct Record {
        LOGG_callbackT base;  // first: the logger hands back this address
        LogCapture* owner;
    };

    LogCapture() { record_.owner = this; record_.base.func = &LogCapture::onLine; }
    LOGG_callbackT* record() { return &record_.base; }

    size_t count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
            return line.second.find(text) != std::string::npos;
        }));
    }
    // Level (WARN 1, INFO 2, DEBUG 3, other 0) of the first line with the text; -1 when none.
    int levelOf(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& line : lines_) {
            if (line.second.find(text) != std::string::npos) return line.first;
        }
        return -1;
    }
    std::string firstWith(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& line : lines_) {
            if (line.second.find(text) != std::string::npos) return line.second;
        }
        return {};
    }
    bool has(const std::string& text) const { return count(text) != 0; }
    // Position of the nth (1-based) line with the text; -1 when none.
    long indexOf(const std::string& text, size_t nth = 1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].second.find(text) != std::string::npos && --nth == 0) return static_cast<long>(i);
        }
        return -1;
    }
    // Waits until `times` lines with the text have been logged.
    template <typename Duration = std::chrono::seconds>
    bool waitFor(const std::string& text, size_t times = 1, Duration bound = kBound) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] {
            return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& line) {
                       return line.second.find(text) != std::string::npos;
                   })) >= times;
        });
    }
    void dumpTail(size_t n) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t from = lines_.size() > n ? lines_.size() - n : 0;
        for (size_t i = from; i < lines_.size(); ++i) std::printf("  log: %s\n", lines_[i].second.c_str());
    }

private:
    static void onLine(uint8_t level, const char* line, LOGG_callbackT* self) {
        LogCapture* capture = reinterpret_cast<Record*>(self)->owner;
        std::lock_guard<std::mutex> lock(capture->mutex_);
        capture->lines_.emplace_back(level, line);
        capture->changed_.notify_all();
    }

    Record record_{};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::pair<int, std::string>> lines_;
};

// One framed message as the device puts it on the pipe.
inline Bytes frame(capnp::MessageBuilder& builder) {
    kj::Array<capnp::word> words = capnp::messageToFlatArray(builder);
    auto bytes = words.asBytes();
    Bytes out(PZ_SYNC_BYTES.size() + bytes.size());
    std::copy(PZ_SYNC_BYTES.begin(), PZ_SYNC_BYTES.end(), out.begin());
    std::memcpy(out.data() + PZ_SYNC_BYTES.size(), bytes.begin(), bytes.size());
    return out;
}

inline Bytes frameResponse(const std::function<void(Response::Builder)>& fill) {
    PZMessageBuilder builder;
    fill(builder.initRoot<Response>());
    return frame(builder);
}

inline Bytes notificationFrame(uint32_t id, uint16_t type, bool asserted) {
    return frameResponse([&](Response::Builder response) {
        response.setId(id);
        response.setError(morv::client::Error::SUCCESS);
        auto notification = response.getMsg().initNotification();
        notification.setType(static_cast<morv::client::Notification>(type));
        notification.setAsserted(asserted);
    });
}

inline Bytes deviceStateFrame(morv::client::Processor processor, morv::client::State state, uint32_t id = 0) {
    return frameResponse([&](Response::Builder response) {
        response.setId(id);
        response.setError(morv::client::Error::SUCCESS);
        auto report = response.getMsg().initDeviceState();
        report.setProcessor(processor);
        report.setState(state);
    });
}

// The device end of the client interface, scripted by the test: every request
// the host writes is decoded and handed to the responder, which may answer
// with anything (or nothing).
class ScriptedPeer {
public:
    using Responder = std::function<void(Request::Reader request, ScriptedPeer& peer)>;

    explicit ScriptedPeer(zsim::SimUsb& usb) : usb_(usb) {
        usb_.setWriteHandler(PZ_CLIENT_INTERFACE, [this](uint8_t, const Bytes& transfer) { onTransfer(transfer); });
    }
    ~ScriptedPeer() { usb_.setWriteHandler(PZ_CLIENT_INTERFACE, nullptr); }

    void setResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = std::move(responder);
    }
    bool send(const Bytes& bytes) { return usb_.deviceSend(PZ_CLIENT_INTERFACE, bytes); }

    // Requests decoded so far (each kept as its own flat copy).
    size_t requestCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_.size();
    }
    bool waitForRequests(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return requests_.size() >= count; });
    }
    // Runs the visitor on request i under the peer's lock.
    void withRequest(size_t i, const std::function<void(Request::Reader)>& visit) {
        std::lock_guard<std::mutex> lock(mutex_);
        capnp::FlatArrayMessageReader reader(requests_.at(i).asPtr());
        visit(reader.getRoot<Request>());
    }

private:
    void onTransfer(const Bytes& transfer) {
        std::unique_lock<std::mutex> lock(mutex_);
        pending_.insert(pending_.end(), transfer.begin(), transfer.end());
        while (true) {
            if (!synced_) {
                if (pending_.size() < PZ_SYNC_BYTES.size()) return;
                if (!std::equal(PZ_SYNC_BYTES.begin(), PZ_SYNC_BYTES.end(), pending_.begin())) {
                    pending_.erase(pending_.begin());
                    continue;
                }
                pending_.erase(pending_.begin(), pending_.begin() + PZ_SYNC_BYTES.size());
                synced_ = true;
            }
            if (pending_.size() < sizeof(capnp::word)) return;
            kj::Array<capnp::word> words = kj::heapArray<capnp::word>(pending_.size() / sizeof(capnp::word));
            std::memcpy(words.begin(), pending_.data(), words.size() * sizeof(capnp::word));
            const size_t needed = capnp::expectedSizeInWordsFromPrefix(words.asPtr());
            if (words.size() < needed) return;
            kj::Array<capnp::word> message = kj::heapArray<capnp::word>(needed);
            std::memcpy(message.begin(), words.begin(), needed * sizeof(capnp::word));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(needed * sizeof(capnp::word)));
            synced_ = false;
            requests_.push_back(std::move(message));
            changed_.notify_all();
            Responder responder = responder_;
            capnp::FlatArrayMessageReader reader(requests_.back().asPtr());
            lock.unlock();
            if (responder) responder(reader.getRoot<Request>(), *this);
            lock.lock();
        }
    }

    zsim::SimUsb& usb_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Responder responder_;
    Bytes pending_;
    bool synced_ = false;
    std::vector<kj::Array<capnp::word>> requests_;
};

// Answers a request with the given error and, for success, a devInfo whose name is given.
inline Bytes devInfoReply(uint32_t id, const char* name, morv::client::Error error = morv::client::Error::SUCCESS) {
    return frameResponse([&](Response::Builder response) {
        response.setId(id);
        response.setError(error);
        response.getMsg().initDevInfo().setName(name);
    });
}

inline PZStatus sendGetDevInfo(PZClientPendingEntry** outEntry = nullptr) {
    PZMessageBuilder builder;
    auto request = builder.initRoot<Request>();
    request.setId(newRequestId());
    request.getMsg().setGetDevInfo();
    return sendMsgWithRawPayload(builder, std::nullopt, outEntry);
}

// Records the system events the client raises (the callback has no user value).
struct EventLog {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline std::vector<int32_t> codes;
    static void record(int32_t code, int32_t value) {
        std::lock_guard<std::mutex> lock(mutex);
        codes.push_back(value == 0 ? code : -1000 - code);
        changed.notify_all();
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        codes.clear();
    }
    static bool waitForCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kBound, [&] { return codes.size() >= n; });
    }
    static std::vector<int32_t> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return codes;
    }
};

// Runs a callable on a new thread that works in the given driver context
// (what a caller of the driver on another thread does), returning its result.
template <typename F>
auto onThreadIn(std::shared_ptr<morv::driver::Context> context, F&& body) {
    return std::async(std::launch::async, [context, body = std::forward<F>(body)]() mutable {
        morv::driver::ScopedThreadContext scope(context);
        return body();
    });
}

// Waits, when it goes, until the context it watches is gone. The driver's
// detached threads hold the context they started in until their last step;
// one left tearing it down would race the next test, or the process's exit
// and its static destructors. Declared before the context it watches.
class ContextRelease {
public:
    void watch(morv::driver::Context* context) {
        watched_ = true;
        PZContext_GetSlot(context, this, [](void* value) { return value; }, &gone_,
                          [](void* gone) { static_cast<std::promise<void>*>(gone)->set_value(); });
    }
    ~ContextRelease() {
        if (!watched_) return;
        EXPECT_EQ(std::future_status::ready, gone_.get_future().wait_for(kBound));
    }

private:
    bool watched_ = false;
    std::promise<void> gone_;
};

// A fresh driver context on the test's thread with its log lines captured,
// the simulated bus with the client interface plugged and a device on it
// (the simulated firmware, or a scripted peer); the client is started unless
// the test says otherwise.
class ClientFixture : public ::testing::Test {
protected:
    void SetUp() override {
        context_ = std::make_shared<morv::driver::Context>();
        released_.watch(context_.get());
        scope_ = std::make_unique<morv::driver::ScopedThreadContext>(context_);
        PZContext_GetSlot(context_.get(), PZContext_FixedKey(PZ_SLOT_LOG_CALLBACK),
                          [](void* value) { return value; }, log_.record(), [](void*) {});
        LOGG_init();
        LOGG_setSeverity(LOG_DEBUG_E);
        usb_ = &zsim::SimUsb::installFresh();
        usb_->plug({PZ_CLIENT_INTERFACE});
        EventLog::clear();
        attachDevice();
        if (startAtSetUp_) {
            startedAt_ = std::chrono::steady_clock::now();
            ASSERT_EQ(startClient(&EventLog::record), 0);
        }
    }
    void TearDown() override {
        // The read thread ends when its pipe goes away; the stop then finds it gone.
        usb_->unplug();
        stopClient();
        if (firmware_) firmware_->stop();
        firmware_.reset();
        peer_.reset();
        usb_->reset();
        scope_.reset();
        context_.reset();
    }

    // Taken just before the client starts at set-up (its timers count from there).
    std::chrono::steady_clock::time_point startedAt_{};

    virtual void attachDevice() {
        firmware_ = std::make_unique<zsim::SimFirmware>(*usb_, PZ_CLIENT_INTERFACE);
        firmware_->start();
    }

    // Waits until the read thread has ended by itself.
    bool waitForReadThreadEnd() { return log_.waitFor("Client Read Thread exiting"); }
    // Waits for the device's first state report to have been handled.
    void waitForStateReport() {
        bool primary = false;
        uint16_t state = 0;
        ASSERT_EQ(waitForDeviceState(5, &primary, &state), PZStatus_Success);
    }

    bool startAtSetUp_ = true;
    ContextRelease released_;
    std::shared_ptr<morv::driver::Context> context_;
    std::unique_ptr<morv::driver::ScopedThreadContext> scope_;
    LogCapture log_;
    zsim::SimUsb* usb_ = nullptr;
    std::unique_ptr<zsim::SimFirmware> firmware_;
    std::unique_ptr<ScriptedPeer> peer_;
};

// The same with a scripted peer in place of the firmware, for exact bytes.
class ScriptedClientFixture : public ClientFixture {
protected:
    void attachDevice() override { peer_ = std::make_unique<ScriptedPeer>(*usb_); }
};

}  // namespace ztest
