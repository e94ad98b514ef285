#include "host_lib/usb_boot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "runtime/context.h"
#include "runtime/logger.h"
#include "runtime/os_layer.h"

namespace {

// Dynamic slot keys of this module: the boot state and the monitor's receive buffer.
const unsigned char kBootStateTag = 0;
const unsigned char kMonitorBufferTag = 0;

void* newBootState(void*) {
    auto* state = static_cast<vpu_usb_boot_state*>(std::calloc(1, sizeof(vpu_usb_boot_state)));
    if (state != nullptr) state->bootIdOverride = -1;
    return state;
}

void* newMonitorBuffer(void*) { return std::calloc(1, VPU_MON_BUFFER_SIZE); }

uint8_t* monitorBuffer() {
    return static_cast<uint8_t*>(PZContext_GetSlot(PZContext_GetCurrent(), &kMonitorBufferTag, &newMonitorBuffer,
                                                   nullptr, &PZContext_FreeDeleter));
}

void putWord(uint8_t* at, uint32_t value) {
    for (int b = 0; b < 4; ++b) at[b] = static_cast<uint8_t>(value >> (8 * b));
}

uint32_t getWord(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

struct FreeDeleter {
    void operator()(uint8_t* buffer) const { std::free(buffer); }
};
using FileBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

// A response's three header words. The receive buffer is cleared first, so
// that a response cut short reads as zeros rather than as the last one's words.
struct MonitorAnswer {
    uint32_t code;
    uint32_t length;
    uint32_t error;
};

MonitorAnswer answerOf(const uint8_t* buffer) { return {getWord(buffer), getWord(buffer + 4), getWord(buffer + 8)}; }

enum class ChunkResult { Ok, SendFailed, NoAck, BadAnswer };

// One read request and its response. `copied` receives the data bytes the
// response carried for the caller (at most the chunk).
ChunkResult vpu_usb_monitor_read_chunk(uint32_t address, uint8_t* destination, uint32_t chunk, uint32_t* received,
                                       uint32_t* dataLength) {
    const uint32_t padding = (4 - chunk % 4) % 4;
    uint8_t request[VPU_MON_READ_REQ_SIZE];
    putWord(request, VPU_MON_READ_REQ);
    putWord(request + 4, 8);
    putWord(request + 8, address);
    putWord(request + 12, chunk + padding);
    *received = 0;
    uint32_t written = 0;
    if (vpu_usb_write_bulk(VPU_MON_INTERFACE, request, sizeof(request), &written) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Failed to send request to device\n", __func__);
        return ChunkResult::SendFailed;
    }
    uint8_t* buffer = monitorBuffer();
    std::memset(buffer, 0, VPU_MON_HEADER);
    if (vpu_usb_read_bulk(VPU_MON_INTERFACE, buffer, VPU_MON_BUFFER_SIZE, received) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Ack wasn't received from device\n", __func__);
        return ChunkResult::NoAck;
    }
    const MonitorAnswer answer = answerOf(buffer);
    // The length word counts what follows the first two words. An answer cut
    // short of it lost bytes on the way: whatever stands in their place (a
    // register read as 0) is no answer, so the read fails.
    const bool cutShort = static_cast<uint64_t>(*received) < uint64_t{8} + answer.length;
    if (*received < VPU_MON_HEADER || cutShort || answer.code != VPU_MON_READ_RESP || answer.error != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Error in read response: code=0x%x len=%d errCode=0x%x\n", __func__,
                   answer.code, static_cast<int>(answer.length - 4), answer.error);
        return ChunkResult::BadAnswer;
    }
    // A whole answer that carries less data than asked for is logged and
    // goes on; only bytes that came in this response are handed out, never
    // the buffer's leftovers.
    const int64_t claimed = static_cast<int64_t>(answer.length) - padding - 4;
    *dataLength = static_cast<uint32_t>(std::max<int64_t>(claimed, 0));
    const uint32_t arrived = *received - VPU_MON_HEADER;
    const uint32_t copy = std::min({chunk, *dataLength, arrived});
    std::memcpy(destination, buffer + VPU_MON_HEADER, copy);
    std::memset(destination + copy, 0, chunk - copy);
    if (claimed != static_cast<int64_t>(chunk)) {
        LOGG_PRINT(LOG_ERROR_E, 0, "\nFailed read expected=%dB read=%dB\n", static_cast<int>(chunk),
                   static_cast<int>(claimed));
    }
    return ChunkResult::Ok;
}

ChunkResult vpu_usb_monitor_write_chunk(uint32_t address, const uint8_t* data, uint32_t chunk) {
    uint8_t request[VPU_MON_FULL_REQ_SIZE] = {};
    const uint32_t padded = (chunk + 3) / 4 * 4;
    putWord(request, VPU_MON_WRITE_REQ);
    putWord(request + 4, padded + 4);
    putWord(request + 8, address);
    std::memcpy(request + VPU_MON_HEADER, data, chunk);
    uint32_t written = 0;
    if (vpu_usb_write_bulk(VPU_MON_INTERFACE, request, padded + VPU_MON_HEADER, &written) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Failed to send request to device\n", __func__);
        return ChunkResult::SendFailed;
    }
    uint8_t* buffer = monitorBuffer();
    std::memset(buffer, 0, VPU_MON_HEADER);
    uint32_t received = 0;
    if (vpu_usb_read_bulk(VPU_MON_INTERFACE, buffer, VPU_MON_HEADER, &received) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Ack wasn't received from device\n", __func__);
        return ChunkResult::NoAck;
    }
    const MonitorAnswer answer = answerOf(buffer);
    if (received < VPU_MON_HEADER || answer.code != VPU_MON_WRITE_RESP || answer.error != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Error in write response: code=0x%x len=%d errCode=0x%x\n", __func__,
                   answer.code, static_cast<int>(answer.length - 4), answer.error);
        return ChunkResult::BadAnswer;
    }
    return ChunkResult::Ok;
}

int readWord(uint32_t address, uint32_t* value) {
    uint8_t bytes[4] = {};
    uint32_t got = 0;
    const int result = vpu_usb_monitor_read(address, bytes, sizeof(bytes), &got);
    if (result == 0) *value = getWord(bytes);
    return result;
}

int writeWord(uint32_t address, uint32_t value) {
    uint8_t bytes[4];
    putWord(bytes, value);
    return vpu_usb_monitor_write(address, bytes, sizeof(bytes));
}

// The state of an unbooted processor's boot: read once per arrival.
int vpu_usb_is_in_recovery(uint32_t* bootState) {
    const int result = readWord(VPU_REG_BOOT_STATE, bootState);
    if (result != 0) LOGG_PRINT(LOG_ERROR_E, 0, "Can't read chip register, check USB connection...\n");
    return result;
}

// folder + separator + the parts. A path that does not fit its buffer would
// name another file once cut, so it is refused (false) instead.
bool buildPath(char (&path)[VPU_BOOT_PATH_SIZE], const char* folder, const char* name, const char* middle = "",
               const char* tail = "") {
    const int n = std::snprintf(path, sizeof(path), "%s%s%s%s%s", folder, OS_LYRG_pathSeparator(), name, middle,
                                tail);
    return n >= 0 && static_cast<size_t>(n) < sizeof(path);
}

// Boot folders are UTF-8 like every path of ours, so that one under a user
// folder with characters outside the ANSI code page opens on Windows too.
bool fileExists(const char* path) {
    std::FILE* file = PLAT_openFile(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// A built path that exists, or the "can't open" message and false.
bool requireFile(const char* path, bool built) {
    if (built && fileExists(path)) return true;
    LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_boot: can't open %s\n", path);
    return false;
}

// Loads a whole boot file and writes it at `address`, after its size word
// when `withSize` is set. 11 when it cannot be loaded, 7 when a write fails.
int loadAndWrite(const char* path, uint32_t address, bool withSize) {
    uint32_t size = 0;
    FileBuffer buffer(load_file(path, &size));
    if (!buffer) return VPU_USB_BOOT_ERR_FILE;
    if (withSize) {
        if (writeWord(address, size) != 0) return VPU_USB_BOOT_ERR_MONITOR;
        address += 4;
    }
    if (vpu_usb_monitor_write(address, buffer.get(), size) != 0) return VPU_USB_BOOT_ERR_MONITOR;
    return VPU_USB_BOOT_OK;
}

const char* chipPrefix(uint32_t chipVersion) {
    switch (chipVersion) {
        case VPU_CHIP_VPU3: return "vpu3";
        case VPU_CHIP_VPU4: return "vpu4";
        default: return nullptr;
    }
}

const char* splSuffix(uint32_t chipVersion) { return chipVersion == VPU_CHIP_VPU3 ? "-vpu3b0" : "-vpu4a0"; }

// A text field of the device's record, cut to its field so that a record
// without terminators cannot be read past its end.
void terminate(char (&field)[VPU_PRODUCTION_TEXT]) { field[VPU_PRODUCTION_TEXT - 1] = '\0'; }

void fillUnknown(vpu_production_data* record) {
    std::memset(record, 0, sizeof(*record));
    record->bootId = 0;
    std::strcpy(record->serialNumber, "unknown");
    std::strcpy(record->manufacturer, "unknown");
    std::strcpy(record->modelNumber, "unknown");
    std::strcpy(record->hardwareRevision, "unknown");
}

}  // namespace

// ---------------------------------------------------------------------------
// State

vpu_usb_boot_state* vpu_usb_boot_get_state() {
    return static_cast<vpu_usb_boot_state*>(
        PZContext_GetSlot(PZContext_GetCurrent(), &kBootStateTag, &newBootState, nullptr, &PZContext_FreeDeleter));
}

int vpu_usb_boot_init(const char* bootDir, vpu_usb_boot_status_cb statusCallback, int32_t bootIdOverride,
                      vpu_usb_transport_params* usbParams) {
    vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    state->statusCallback = statusCallback;
    state->bootIdOverride = bootIdOverride;
    const char* folder = bootDir != nullptr ? bootDir : "";
    const size_t length = strnlen(folder, VPU_BOOT_PATH_SIZE);
    if (length >= VPU_BOOT_PATH_SIZE) {
        LOGG_PRINT(LOG_INFO_E, 0, "Boot dir path too long\n");
        return VPU_USB_BOOT_ERR_DIR_TOO_LONG;
    }
    std::memcpy(state->bootDir, folder, length);
    state->bootDir[length] = '\0';
    const int result = vpu_usb_init(usbParams);
    if (result != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, static_cast<ERRG_codeE>(result), "vpu_usb_init failed: err=%d\n", result);
    }
    return result;
}

int vpu_usb_boot_deinit() { return vpu_usb_deinit(); }

// ---------------------------------------------------------------------------
// Hot-plug

int vpu_usb_boot_hotplug_handler(int32_t event, bool booted) {
    vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    int32_t status = VPU_USB_BOOT_STATUS_UNKNOWN;
    switch (event) {
        case VPU_USB_HOTPLUG_REMOVED:
        case VPU_USB_HOTPLUG_REMOVED_2:
            status = VPU_USB_BOOT_STATUS_REMOVED;
            break;
        case VPU_USB_HOTPLUG_ARRIVED: {
            if (booted) {
                status = VPU_USB_BOOT_STATUS_BOOT_DONE;
                break;
            }
            uint32_t bootState = 0;
            if (vpu_usb_is_in_recovery(&bootState) != 0) {
                status = VPU_USB_BOOT_STATUS_BOOT_FAILED;
            } else if (bootState == VPU_BOOT_STATE_RECOVERY || state->bootDir[0] == '\0') {
                status = VPU_USB_BOOT_STATUS_RECOVERY;
            } else if (vpu_usb_boot_target() == 0) {
                LOGG_PRINT(LOG_INFO_E, 0, "Booted over USB.  Waiting for boot to finish...\n");
                status = VPU_USB_BOOT_STATUS_BOOTING;
            } else {
                status = VPU_USB_BOOT_STATUS_BOOT_FAILED;
            }
            break;
        }
        case VPU_USB_HOTPLUG_OTHER:
            status = VPU_USB_BOOT_STATUS_UNSUPPORTED;
            break;
        default:
            LOGG_PRINT(LOG_ERROR_E, 0, "Unknown USB status received: %d\n", event);
            status = VPU_USB_BOOT_STATUS_UNKNOWN;
            break;
    }
    return state->statusCallback != nullptr ? state->statusCallback(status) : 0;
}

// ---------------------------------------------------------------------------
// Boot

int vpu_usb_boot_target() {
    vpu_usb_boot_state* state = vpu_usb_boot_get_state();

    uint32_t chipVersion = 0;
    int result = readWord(VPU_REG_CHIP_VERSION, &chipVersion);
    if (result != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_boot: can't read version from the chip, check USB connection...\n");
        return result;
    }
    uint32_t bootState = 0;
    result = readWord(VPU_REG_BOOT_STATE, &bootState);
    if (result != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_boot: can't read chip register, check USB connection...\n");
        return result;
    }
    if (state->bootDir[0] == '\0') {
        LOGG_PRINT(LOG_WARN_E, 0, "No boot files were provided and the device is unbooted\n");
        return VPU_USB_BOOT_ERR_NO_FILES;
    }

    const bool loaderPresent = bootState == VPU_BOOT_STATE_SPL_RUNNING;
    if (loaderPresent) {
        result = writeWord(VPU_REG_SPL_HANDSHAKE, VPU_SPL_HANDSHAKE_HOST);
        if (result != 0) {
            LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_boot: can't write chip register, check USB connection...\n");
            return result;
        }
        result = waitForSpl();
        if (result != 0) return result;
    } else {
        // Without production data the boot still goes on, with boot id 0.
        vpu_bootdetect_init(chipVersion);
    }

    int32_t bootId = 0;
    if (state->bootIdOverride >= 0) {
        bootId = state->bootIdOverride;
        LOGG_PRINT(LOG_DEBUG_E, 0, "bootId override to %d\n", bootId);
    } else {
        bootId = vpu_bootdetect_get_bootid(loaderPresent);
    }
    char bootTag[32];
    std::snprintf(bootTag, sizeof(bootTag), "boot%d", bootId);

    const char* folder = state->bootDir;
    if (!requireFile(state->kernelPath, buildPath(state->kernelPath, folder, "zImage"))) return VPU_USB_BOOT_ERR_FILE;
    const char* prefix = chipPrefix(chipVersion);
    if (prefix == nullptr) return VPU_USB_BOOT_ERR_FILE;
    char dtbName[64];
    std::snprintf(dtbName, sizeof(dtbName), "%s-%s", prefix, bootTag);
    if (!requireFile(state->dtbPath, buildPath(state->dtbPath, folder, dtbName, ".dtb"))) return VPU_USB_BOOT_ERR_FILE;
    if (!requireFile(state->appPath, buildPath(state->appPath, folder, prefix, ".lz4"))) return VPU_USB_BOOT_ERR_FILE;

    if (!loaderPresent) {
        if (!requireFile(state->splPath, buildPath(state->splPath, folder, "bootspl", splSuffix(chipVersion), ".bin"))) {
            return VPU_USB_BOOT_ERR_FILE;
        }
        result = loadAndWrite(state->splPath, VPU_ADDR_SPL, false);
        if (result != 0) return result;
        if (vpu_usb_monitor_jump(VPU_ADDR_SPL) != 0) return VPU_USB_BOOT_ERR_MONITOR;
        result = waitForSpl();
        if (result != 0) return result;
    }

    result = loadAndWrite(state->appPath, state->app, true);
    if (result != 0) return result;
    result = loadAndWrite(state->dtbPath, state->dtb, false);
    if (result != 0) return result;
    result = loadAndWrite(state->kernelPath, state->zImage, false);
    if (result != 0) return result;
    return vpu_usb_monitor_jump(state->jump);
}

int waitForSpl() {
    vpu_usb_boot_state* state = vpu_usb_boot_get_state();
    uint32_t tries = 0;
    uint32_t handshake = 0;
    bool ready = false;
    while (tries < VPU_SPL_MAX_TRIES) {
        ++tries;
        if (readWord(VPU_REG_SPL_HANDSHAKE, &handshake) != 0) break;
        if (handshake == VPU_SPL_HANDSHAKE_READY) {
            ready = true;
            break;
        }
        OS_LYRG_sleepMs(1);
    }
    if (ready) {
        uint32_t tableAddress = 0;
        uint8_t table[16] = {};
        uint32_t got = 0;
        if (readWord(VPU_REG_SPL_TABLE, &tableAddress) == 0 &&
            vpu_usb_monitor_read(tableAddress, table, sizeof(table), &got) == 0) {
            state->jump = getWord(table);
            state->zImage = getWord(table + 4);
            state->dtb = getWord(table + 8);
            state->app = getWord(table + 12);
            LOGG_PRINT(LOG_DEBUG_E, 0,
                       "SPL complete( >= %d ms ): state=%x zImage=0x%08x dtb=0x%08x jump=0x%08x app=0x%08x\n",
                       static_cast<int>(tries - 1), handshake, state->zImage, state->dtb, state->jump, state->app);
            const int result = writeWord(VPU_REG_SPL_HANDSHAKE, state->app);
            if (result != 0) {
                LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb_boot: can't write to chip...\n");
                return result;
            }
            return 0;
        }
    }
    state->jump = state->zImage = state->dtb = state->app = 0;
    LOGG_PRINT(LOG_ERROR_E, 0, "Failed read or target timeout on SPL complete(%d tries X %d msec)\n",
               static_cast<int>(tries), 1);
    return VPU_USB_BOOT_ERR_SPL_WAIT;
}

// ---------------------------------------------------------------------------
// Boot detection

int vpu_bootdetect_init(uint32_t chipVersion) {
    static const uint8_t zeros[sizeof(vpu_production_data)] = {};
    if (vpu_usb_monitor_write(VPU_ADDR_PRODUCTION_MARKER, zeros, sizeof(zeros)) != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "vpu_usb: can't access chip for writing, check USB connection...\n");
        return -1;
    }
    const uint8_t* program = nullptr;
    uint32_t size = 0;
    if (chipVersion == VPU_CHIP_VPU3) {
        program = vpu_bootdetect_vpu3.data();
        size = static_cast<uint32_t>(vpu_bootdetect_vpu3.size());
    } else if (chipVersion == VPU_CHIP_VPU4) {
        program = vpu_bootdetect_vpu4.data();
        size = static_cast<uint32_t>(vpu_bootdetect_vpu4.size());
    } else {
        LOGG_PRINT(LOG_ERROR_E, 0, "Unhandled chip version: %x\n", chipVersion);
        return -1;
    }
    if (vpu_usb_monitor_write(VPU_ADDR_BOOTDETECT, program, size) != 0) return -1;
    if (vpu_usb_monitor_jump(VPU_ADDR_BOOTDETECT) != 0) return -1;
    // A program that never reports completion must not hold the hot-plug
    // thread for ever: give it a bounded number of polls.
    for (uint32_t poll = 0; poll < VPU_BOOTDETECT_MAX_POLLS; ++poll) {
        uint32_t done = 0;
        if (readWord(VPU_REG_BOOTDETECT_DONE, &done) != 0) return -1;
        OS_LYRG_sleepMs(VPU_BOOTDETECT_POLL_MS);
        if (done == VPU_BOOTDETECT_DONE) return 0;
    }
    LOGG_PRINT(LOG_ERROR_E, 0, "Boot detection did not finish after %d polls\n",
               static_cast<int>(VPU_BOOTDETECT_MAX_POLLS));
    return -1;
}

void bootdetect_read_production_data(vpu_production_data* record, uint32_t address, uint32_t marker) {
    uint32_t got = 0;
    if (marker == VPU_PRODUCTION_MARKER_VALID &&
        vpu_usb_monitor_read(address, record, sizeof(*record), &got) == 0) {
        terminate(record->serialNumber);
        terminate(record->manufacturer);
        terminate(record->modelNumber);
        terminate(record->hardwareRevision);
        LOGG_PRINT(LOG_DEBUG_E, 0, "vpu_flash: manufacturer: %s  model: %s  hw_rev: %s  serial: %s  bootId=%d \n",
                   record->manufacturer, record->modelNumber, record->hardwareRevision, record->serialNumber,
                   record->bootId);
        return;
    }
    // A marked record that cannot be read is no data either.
    LOGG_PRINT(LOG_ERROR_E, 0, "vpu_flash: can't read production data (assuming bootId=0) \n");
    fillUnknown(record);
}

int32_t vpu_bootdetect_get_bootid(bool loaderPresent) {
    uint32_t marker = 0;
    if (readWord(VPU_ADDR_PRODUCTION_MARKER, &marker) != 0) marker = 0;
    vpu_production_data record;
    bootdetect_read_production_data(&record, VPU_ADDR_PRODUCTION_DATA, marker);
    LOGG_PRINT(LOG_INFO_E, 0, "vpu_usb_bootdetect (%s):\n", loaderPresent ? "bootfix" : "sbl");
    LOGG_PRINT(LOG_INFO_E, 0, "\t\tdetected bootId: %d\n", record.bootId);
    LOGG_PRINT(LOG_INFO_E, 0, "\t\t    modelNumber: %s\n", record.modelNumber);
    LOGG_PRINT(LOG_INFO_E, 0, "\t\t   serialNumber: %s\n", record.serialNumber);
    return record.bootId;
}

// ---------------------------------------------------------------------------
// Monitor requests

int vpu_usb_monitor_read(uint32_t address, void* buffer, uint32_t count, uint32_t* countRead) {
    uint32_t total = 0;
    if (countRead != nullptr) *countRead = 0;
    auto* destination = static_cast<uint8_t*>(buffer);
    while (total < count) {
        const uint32_t chunk = std::min(count - total, VPU_MON_CHUNK);
        uint32_t received = 0;
        uint32_t dataLength = 0;
        if (vpu_usb_monitor_read_chunk(address + total, destination + total, chunk, &received, &dataLength) !=
            ChunkResult::Ok) {
            LOGG_PRINT(LOG_ERROR_E, 0, "\nError in vpu_usb_monitor_read offset=%d expected=%d got=%d\n",
                       static_cast<int>(total), static_cast<int>(chunk), static_cast<int>(received));
            return VPU_USB_BOOT_ERR_MONITOR;
        }
        total += chunk;
        if (countRead != nullptr) *countRead = total;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "Completed reading from target %d Bytes @0x%08x\n", static_cast<int>(total), address);
    return 0;
}

int vpu_usb_monitor_write(uint32_t address, const void* data, uint32_t count) {
    const auto* source = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < count) {
        const uint32_t chunk = std::min(count - done, VPU_MON_CHUNK);
        if (vpu_usb_monitor_write_chunk(address + done, source + done, chunk) != ChunkResult::Ok) {
            LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: write %08x %d failed\n", address, static_cast<int>(chunk));
            break;
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "#");
        done += chunk;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "\n");
    if (done < count) return VPU_USB_BOOT_ERR_MONITOR;
    LOGG_PRINT(LOG_DEBUG_E, 0, "Completed writing to target %d Bytes @0x%08x\n", static_cast<int>(count), address);
    return 0;
}

int vpu_usb_monitor_jump(uint32_t address) {
    uint8_t request[VPU_MON_FULL_REQ_SIZE] = {};
    putWord(request, VPU_MON_JUMP_REQ);
    putWord(request + 4, 4);
    putWord(request + 8, address);
    uint32_t written = 0;
    if (vpu_usb_write_bulk(VPU_MON_INTERFACE, request, sizeof(request), &written) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Failed to send request to device\n", __func__);
        return VPU_USB_BOOT_ERR_MONITOR;
    }
    uint8_t* buffer = monitorBuffer();
    std::memset(buffer, 0, VPU_MON_HEADER);
    uint32_t received = 0;
    if (vpu_usb_read_bulk(VPU_MON_INTERFACE, buffer, VPU_MON_HEADER, &received) != VPU_USB_OK) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Ack wasn't received from device\n", __func__);
        return VPU_USB_BOOT_ERR_MONITOR;
    }
    const MonitorAnswer answer = answerOf(buffer);
    if (received < VPU_MON_HEADER || answer.code != VPU_MON_JUMP_RESP || answer.error != 0) {
        LOGG_PRINT(LOG_ERROR_E, 0, "%s(): Error in jump response: code=0x%x errCode=0x%x\n", __func__, answer.code,
                   answer.error);
        return VPU_USB_BOOT_ERR_MONITOR;
    }
    LOGG_PRINT(LOG_DEBUG_E, 0, "Ack For Jump received from device\n");
    return 0;
}

// ---------------------------------------------------------------------------
// Files

uint8_t* load_file(const char* path, uint32_t* size) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(PLAT_openFile(path, "rb"), &std::fclose);
    if (!file) {
        LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: Failed to open file %s\n", path);
        return nullptr;
    }
    long end = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) end = std::ftell(file.get());
    std::rewind(file.get());
    // A size the device's 32-bit size word cannot carry is as unreadable as a missing file.
    if (end < 0 || static_cast<unsigned long>(end) > UINT32_MAX) {
        LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: read file %s error or eof\n", path);
        return nullptr;
    }
    const auto bytes = static_cast<uint32_t>(end);
    LOGG_PRINT(LOG_INFO_E, 0, "%s size is: %d\n", path, static_cast<int>(bytes));
    FileBuffer buffer(static_cast<uint8_t*>(std::malloc(std::max<uint32_t>(bytes, 1))));
    if (!buffer) {
        LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: failed to malloc buffer\n");
        return nullptr;
    }
    // Only the whole file is a boot image: a short read would leave the rest
    // of the buffer as garbage that is then written to the device.
    const size_t got = std::fread(buffer.get(), 1, bytes, file.get());
    if (got == 0 || got != bytes) {
        LOGG_PRINT(LOG_ERROR_E, 0, "ERROR: read file %s error or eof\n", path);
        return nullptr;
    }
    if (size != nullptr) *size = bytes;
    return buffer.release();
}
