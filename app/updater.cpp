#include "app/updater.h"

#include <utility>

#include "driver/driver_api.h"
#include "gui_support/command_line.h"
#include "platform/console.h"

namespace ZarnFirmwareUpdater {

using GuiSupport::CliSupport::format;

const char* PZStatus_name(int32_t status) { return PZStatus_enumName(status); }

Updater::Updater(std::vector<uint8_t> image, std::function<void()> onChange, MessageSink messages)
    : image(std::move(image)), onChange(std::move(onChange)), messages(std::move(messages)) {}

void Updater::run() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state_ != Idle) return;
        if (image.empty()) {
            state_ = Failed;
            errorText_ = "Firmware update failed: empty file given";
            return;
        }
        state_ = Running;
    }
    // From the first block written to the reboot, a request to stop the
    // program waits for the end: a flash cut short leaves the sensor
    // without working firmware.
    PLAT_UninterruptibleScope uninterruptible;

    // The image is only read from here on and nobody else touches it while
    // the worker runs, so the driver reads it without the lock (progress
    // reports take the lock meanwhile). The reboot is ours to send, after
    // the upload has been answered.
    PZStatus status = PlovarZarn_UpdateFW(image.data(), image.size(), &Updater::onProgress, this, true);
    if (status != PZStatus_Success) {
        // One more attempt at once: a transfer cut short is often fine the second time.
        status = PlovarZarn_UpdateFW(image.data(), image.size(), &Updater::onProgress, this, true);
    }

    if (status == PZStatus_Success) {
        const PZStatus reboot = PlovarZarn_SetDeviceMode(PZDeviceMode_WarmReboot);
        if (reboot != PZStatus_Success) {
            // The new firmware is on the device; it starts at the next power-up.
            message(format("Error while rebooting device: %d (%s)", static_cast<int>(reboot), PZStatus_name(reboot)));
        }
        std::lock_guard<std::mutex> lock(mutex);
        state_ = Succeeded;
        return;
    }

    std::lock_guard<std::mutex> lock(mutex);
    state_ = Failed;
    errorText_ = format("Firmware update failed: error %d (%s)", static_cast<int>(status), PZStatus_name(status));
}

void Updater::onProgress(const char* text, float percent, void* user) {
    auto* self = static_cast<Updater*>(user);
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        const float fraction = percent / 100.0f;
        // Written so that a report that is not a number counts as done.
        if (!(fraction < 1.0f)) {
            self->progress_ = 1.0f;
        } else if (fraction <= 0.0f) {
            self->progress_ = 0.0f;
        } else {
            self->progress_ = fraction;
        }
        self->statusText_ = text != nullptr ? text : "";
    }
    // Outside the lock: onChange takes the control loop's lock, which may be
    // held by someone reading this worker's state.
    self->onChange();
}

int32_t Updater::state() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state_;
}

float Updater::progress() const {
    std::lock_guard<std::mutex> lock(mutex);
    return progress_;
}

std::string Updater::statusText() const {
    std::lock_guard<std::mutex> lock(mutex);
    return statusText_;
}

std::string Updater::errorText() const {
    std::lock_guard<std::mutex> lock(mutex);
    return errorText_;
}

void Updater::message(const std::string& line) const {
    if (messages) {
        messages(line);
    } else {
        GuiSupport::CliSupport::printErr("%s", line.c_str());
    }
}

}  // namespace ZarnFirmwareUpdater
