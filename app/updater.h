// The firmware upload worker: hands the whole package to the driver's
// firmware update, tries once more at once when the first attempt fails,
// reboots the device after a good update and records the outcome with the
// last progress the driver reported.
//
// run() is called once, on the control thread; progress arrives on the
// driver's thread (onProgress) and is passed on through onChange, called
// without the worker's lock. The accessors may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ZarnFirmwareUpdater {

// Enumerator name of a PZStatus value ("PZStatus_Success" ...), and
// "PZStatus_Unknown" for a value outside the list.
const char* PZStatus_name(int32_t status);

class Updater {
public:
    enum State : int32_t {
        Idle = 0,
        Running = 1,
        Succeeded = 2,
        Failed = 3,
    };
    using MessageSink = std::function<void(const std::string&)>;

    // image: the whole package, trailer included. onChange is called after
    // every progress report and must not be empty then. Messages go to the
    // sink, or to standard error without one.
    Updater(std::vector<uint8_t> image, std::function<void()> onChange, MessageSink messages = {});

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Runs the upload once: only an Idle worker does anything. Ends in
    // Succeeded or Failed.
    void run();

    // The driver's progress callback; user is the Updater.
    static void onProgress(const char* text, float percent, void* user);

    int32_t state() const;
    float progress() const;
    std::string statusText() const;
    std::string errorText() const;

private:
    void message(const std::string& line) const;

    mutable std::mutex mutex;
    std::vector<uint8_t> image;
    std::function<void()> onChange;
    int32_t state_ = Idle;
    std::string errorText_;
    float progress_ = 0.0f;
    std::string statusText_;
    MessageSink messages;
};

}  // namespace ZarnFirmwareUpdater
