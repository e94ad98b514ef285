// The texts the system gives the device list: instance ids, services,
// descriptions, manufacturers, setup classes, the "DeviceInterfaceGUIDs"
// value (as a driver package stored it, terminators or not), interface
// paths of any length and the libusb0 filter numbers, all fuzz bytes in a
// simulated plug-and-play tree beneath the library's device-facing table.
// A list is made, the tree changes (nodes go and come back), the list is
// synchronised, walked, an entry detached and attached again, and freed.
// Every text of every entry must be terminated inside its field and every
// number in its range; no device set, registry key, list or entry handle
// may be left behind.
//
// With the monitor flag the same tree is watched by the hot-plug monitor
// instead: the changes are applied in order, each followed by the
// device-change notices the system would send, and interleaved with the
// monitor's timers as the input orders them (the monitor's own timers are
// killed, so that only the input decides). Every entry's reports must
// alternate arrival and removal from what was present at the start, and
// after a last synchronisation what was reported must be what is present.
//
// Input: a flags byte, then chunks (16-bit length, bytes) whose first byte
// says what the rest is (see Tag).
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sim/win_pnp/win_pnp.h"
#include "sim/win_pnp/win_pnp_api.h"
#include "usb_access/allk.h"
#include "usb_access/hot_k.h"
#include "usb_access/lst_k.h"
#include "usb_access/lst_k_text.h"
#include "usb_access/system_api.h"

namespace {

using zsim::PnpInterface;
using zsim::PnpNode;
using zsim::WinPnp;
using zsim::WinPnpStack;

enum Flags : uint8_t {
    kIncludeDisconnected = 0x01,
    kPatternMask = 0x06,  // 0 none, 2 device-id pattern, 4 interface mode, 6 class mode
    kUnterminated = 0x08,  // nodes store their texts without terminators
    kMonitor = 0x10,       // the hot-plug monitor watches the changes
};

enum Tag : uint8_t {
    kNewNode,        // rest: the instance id
    kService,        // rest: text
    kDescription,    // rest: text
    kManufacturer,   // rest: text
    kSetupClass,     // rest: text
    kGuidsStored,    // rest: the "DeviceInterfaceGUIDs" bytes as stored
    kGuidList,       // rest: texts split at NUL, stored as a proper multi-string
    kInterface,      // flags byte, 16-bit filter number, rest: the symbolic link
    kNumbers,        // bus number and address bytes
    kParent,         // byte: the node that is this one's parent, by position
    kUnplugLater,    // byte: the node, by position, that goes before the sync
    kReplugLater,    // byte: the node that comes back before the sync
    kPattern,        // rest: the device-id pattern
    kTimer,          // byte: the monitor's timer 10, 11 or 12 fires (value modulo 3)
    kTagCount,
};

std::string textOf(const zfuzz::Bytes& chunk, size_t from) {
    return from < chunk.size() ? std::string(chunk.begin() + static_cast<std::ptrdiff_t>(from), chunk.end())
                               : std::string();
}

size_t inUse() {
    size_t used = 0;
    if (AllK() == nullptr) return used;  // nothing was ever listed
    for (const auto& h : AllK()->lstK.handles) used += h.header.inUse.load() != 0 ? 1 : 0;
    for (const auto& h : AllK()->lstInfoK.handles) used += h.header.inUse.load() != 0 ? 1 : 0;
    return used;
}

template <size_t N>
void checkText(const char (&field)[N], const char* name) {
    if (std::memchr(field, '\0', N) == nullptr) zfuzz::fail(name);
}

void checkEntry(const KLST_DEVINFO& info) {
    checkText(info.instancePart, "instancePart unterminated");
    checkText(info.interfaceGuid, "interfaceGuid unterminated");
    checkText(info.deviceId, "deviceId unterminated");
    checkText(info.classGuid, "classGuid unterminated");
    checkText(info.manufacturer, "manufacturer unterminated");
    checkText(info.deviceDescription, "deviceDescription unterminated");
    checkText(info.service, "service unterminated");
    checkText(info.symbolicLink, "symbolicLink unterminated");
    checkText(info.devicePath, "devicePath unterminated");
    checkText(info.serialNumber, "serialNumber unterminated");
    if (info.vendorId < -1 || info.vendorId > 0xFFFF) zfuzz::fail("vendor id out of range", info.vendorId);
    if (info.productId < -1 || info.productId > 0xFFFF) zfuzz::fail("product id out of range", info.productId);
    if (info.interfaceNumber < -1 || info.interfaceNumber > 0x7F) {
        zfuzz::fail("interface number out of range", info.interfaceNumber);
    }
    if (info.driverId < -1 || info.driverId > KUSB_DRVID_LIBUSB0_FILTER) zfuzz::fail("driver id", info.driverId);
    if (info.syncFlags < 0 || info.syncFlags > KLST_SYNC_FLAG_MASK) zfuzz::fail("sync flags", info.syncFlags);
}

BOOL checkEach(KLST_HANDLE, KLST_DEVINFO_HANDLE info, PVOID) {
    checkEntry(*info);
    return TRUE;
}


// --- the monitor's run -------------------------------------------------------------------

struct Op {
    Tag tag;
    uint8_t value;
};

// What the plug callback has told, by symbolic link: present or not.
struct Told {
    std::mutex mutex;
    std::map<std::string, bool> present;
};
Told* told = nullptr;

void onPlug(KHOT_HANDLE, KLST_DEVINFO_HANDLE info, int32_t event) {
    checkEntry(*info);
    std::lock_guard<std::mutex> lock(told->mutex);
    const std::string link(info->symbolicLink, strnlen(info->symbolicLink, sizeof(info->symbolicLink)));
    bool& present = told->present[link];
    if (event == KHOT_EVENT_ARRIVAL) {
        if (present) zfuzz::fail("arrival of an entry told present (a removal was lost)");
        present = true;
    } else if (event == KHOT_EVENT_REMOVAL) {
        if (!present) zfuzz::fail("removal of an entry told absent (told twice)");
        present = false;
    } else {
        zfuzz::fail("unknown plug event", static_cast<unsigned long long>(event));
    }
}

// Symbolic links are matched as wildcard patterns, one against another: when
// one link matches another that way, a notice may rightly mark another
// entry than the one that went, and what is told no longer follows the tree
// one to one. Such trees are not watched.
bool linksAreDistinct(const std::vector<PnpNode>& nodes) {
    std::vector<std::string> links;
    for (const PnpNode& node : nodes) {
        for (const PnpInterface& iface : node.interfaces) {
            // Within what an entry keeps of it, terminated.
            if (iface.symbolicLink.empty() || iface.symbolicLink.size() > 200) return false;
            if (iface.symbolicLink.find('\0') != std::string::npos) return false;
            links.push_back(iface.symbolicLink);
        }
    }
    for (size_t i = 0; i < links.size(); ++i) {
        for (size_t j = 0; j < links.size(); ++j) {
            if (i != j && LstKText::match(links[i].c_str(), links[j].c_str())) return false;
        }
    }
    return true;
}

std::map<std::string, bool> connectedNow(const KLST_PATTERN* pattern) {
    std::map<std::string, bool> out;
    KLST_HANDLE list = nullptr;
    if (!LstK_InitEx(&list, KLST_FLAG_NONE, pattern, nullptr)) return out;
    KLST_DEVINFO* info = nullptr;
    while (LstK_MoveNext(list, &info)) {
        out[std::string(info->symbolicLink, strnlen(info->symbolicLink, sizeof(info->symbolicLink)))] =
            info->connected != 0;
    }
    LstK_Free(list);
    return out;
}

void sendNotice(HWND window, const zsim::PnpChange& change) {
    if (change.kind == zsim::PnpChange::Kind::NodesChanged) {
        SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    } else {
        std::vector<uint8_t> record(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + change.symbolicLink.size(), 0);
        auto* message = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
        message->dbcc_size = static_cast<DWORD>(record.size());
        message->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        std::memcpy(message->dbcc_name, change.symbolicLink.c_str(), change.symbolicLink.size() + 1);
        const WPARAM event = change.kind == zsim::PnpChange::Kind::InterfaceArrived ? DBT_DEVICEARRIVAL
                                                                                  : DBT_DEVICEREMOVECOMPLETE;
        SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(message));
    }
    // Only the input fires the timers.
    for (UINT_PTR id : {HOTK_TIMER_NODES_CHANGED, HOTK_TIMER_INTERFACE_CHANGE, HOTK_TIMER_NAMED_REMOVAL}) {
        KillTimer(window, id);
    }
}

void watch(WinPnp& pnp, const std::vector<uint32_t>& numbers, const std::vector<Op>& ops,
           const KLST_PATTERN* pattern) {
    Told seen;
    told = &seen;
    for (const auto& [link, connected] : connectedNow(pattern)) seen.present[link] = connected;

    HotK_Params params;
    std::memset(&params, 0, sizeof(params));
    params.flags = KHOT_FLAG_PASS_DUPE_INSTANCE;  // every entry is told, whatever its device id
    params.onHotPlug = onPlug;
    if (pattern != nullptr) params.pattern = *pattern;
    KHOT_HANDLE handle = nullptr;
    if (!HotK_Init(&handle, &params)) zfuzz::fail("monitor did not start", GetLastError());
    HWND window = FindWindowA(HOTK_WINDOW_CLASS, nullptr);
    if (window == nullptr) zfuzz::fail("monitor without a window");

    std::vector<zsim::PnpChange> changes;
    const int observer = pnp.addObserver([&changes](const zsim::PnpChange& change) { changes.push_back(change); });
    for (const Op& op : ops) {
        if (op.tag == kTimer) {
            static const UINT_PTR kTimers[] = {HOTK_TIMER_NODES_CHANGED, HOTK_TIMER_INTERFACE_CHANGE,
                                               HOTK_TIMER_NAMED_REMOVAL};
            SendMessageA(window, WM_TIMER, kTimers[op.value % 3], 0);
            continue;
        }
        if (op.value >= numbers.size()) continue;
        if (op.tag == kUnplugLater) {
            pnp.unplug(numbers[op.value]);
        } else {
            pnp.replug(numbers[op.value]);
        }
        const std::vector<zsim::PnpChange> now = std::move(changes);
        changes.clear();
        for (const zsim::PnpChange& change : now) sendNotice(window, change);
    }
    pnp.removeObserver(observer);
    // What is still marked is told before this synchronisation, and what it finds after it.
    SendMessageA(window, WM_TIMER, HOTK_TIMER_INTERFACE_CHANGE, 0);

    const std::map<std::string, bool> present = connectedNow(pattern);
    for (const auto& [link, wasTold] : seen.present) {
        auto found = present.find(link);
        const bool connected = found != present.end() && found->second;
        if (wasTold != connected) zfuzz::fail(connected ? "a present entry told absent" : "a gone entry told present");
    }
    for (const auto& [link, connected] : present) {
        if (connected && seen.present.count(link) == 0) zfuzz::fail("an arrival never told");
    }
    if (!HotK_Free(handle)) zfuzz::fail("monitor did not stop", GetLastError());
    told = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static UsbAccessSystemApi api = [] {
        UsbAccessSystemApi table = UsbAccess_DefaultSystemApi();
        WinPnpStack::fill(table);
        return table;
    }();
    UsbAccess_SetSystemApi(&api);
    WinPnp& pnp = WinPnp::instance();
    pnp.reset();

    const uint8_t flags = data[0];
    std::vector<PnpNode> nodes;
    std::vector<std::pair<bool, uint8_t>> laterChanges;  // (unplug, node position)
    std::vector<Op> ops;  // the changes and timers in input order
    KLST_PATTERN pattern{};
    for (const zfuzz::Bytes& chunk : zfuzz::splitTransfers(data + 1, size - 1)) {
        if (chunk.empty()) continue;
        const auto tag = static_cast<Tag>(chunk[0] % kTagCount);
        if (tag == kNewNode) {
            nodes.emplace_back();
            nodes.back().instanceId = textOf(chunk, 1);
            nodes.back().unterminatedTexts = (flags & kUnterminated) != 0;
            continue;
        }
        if (tag == kPattern) {
            LstKText::copyText(pattern.deviceIdPattern, sizeof(pattern.deviceIdPattern), textOf(chunk, 1).c_str());
            continue;
        }
        if (tag == kUnplugLater || tag == kReplugLater || tag == kTimer) {
            if (chunk.size() >= 2) {
                if (tag != kTimer) laterChanges.emplace_back(tag == kUnplugLater, chunk[1]);
                ops.push_back({tag, chunk[1]});
            }
            continue;
        }
        if (nodes.empty()) continue;
        PnpNode& node = nodes.back();
        switch (tag) {
            case kService: node.service = textOf(chunk, 1); break;
            case kDescription: node.description = textOf(chunk, 1); break;
            case kManufacturer: node.manufacturer = textOf(chunk, 1); break;
            case kSetupClass: node.setupClassGuid = textOf(chunk, 1); break;
            case kGuidsStored: node.storedInterfaceGuids = textOf(chunk, 1); break;
            case kGuidList: {
                std::vector<std::string> guids;
                const std::string all = textOf(chunk, 1);
                for (size_t from = 0; from <= all.size();) {
                    const size_t end = all.find('\0', from);
                    guids.push_back(all.substr(from, end == std::string::npos ? std::string::npos : end - from));
                    if (end == std::string::npos) break;
                    from = end + 1;
                }
                node.deviceInterfaceGuids = guids;
                break;
            }
            case kInterface: {
                if (chunk.size() < 4) break;
                PnpInterface iface;
                const uint8_t bits = chunk[1];
                iface.active = (bits & 1) != 0;
                iface.removed = (bits & 2) != 0;
                if (bits & 4) iface.lusb0 = static_cast<uint32_t>(chunk[2] | chunk[3] << 8);
                switch ((bits >> 3) & 3) {
                    case 0: iface.classGuid = zsim::kPnpLibusbKGuid; break;
                    case 1: iface.classGuid = zsim::kPnpLibusb0FilterGuid; break;
                    case 2:
                        iface.classGuid = node.deviceInterfaceGuids && !node.deviceInterfaceGuids->empty()
                                              ? node.deviceInterfaceGuids->front()
                                              : std::string();
                        break;
                    default: iface.classGuid = "{00000000-0000-0000-0000-000000000000}"; break;
                }
                iface.symbolicLink = textOf(chunk, 4);
                node.interfaces.push_back(iface);
                break;
            }
            case kNumbers:
                if (chunk.size() >= 2) node.busNumber = chunk[1];
                if (chunk.size() >= 3) node.address = chunk[2];
                break;
            case kParent:
                // Numbers are given in order from 1: position k is node k + 1.
                if (chunk.size() >= 2 && chunk[1] < nodes.size() - 1) node.parent = chunk[1] + 1u;
                break;
            default: break;
        }
    }
    std::vector<uint32_t> numbers;
    for (PnpNode& node : nodes) numbers.push_back(pnp.plug(node));

    switch (flags & kPatternMask) {
        case 4: std::strcpy(pattern.interfaceGuidPattern, zsim::kPnpLibusbKGuid); break;
        case 6: std::strcpy(pattern.classGuidPattern, zsim::kPnpLibusbKClassGuid); break;
        default: break;
    }
    const KLST_PATTERN* usePattern = (flags & kPatternMask) != 0 ? &pattern : nullptr;
    const uint32_t listFlags = (flags & kIncludeDisconnected) != 0 ? KLST_FLAG_INCLUDE_DISCONNECT : KLST_FLAG_NONE;

    // The id parser on every instance id, listed or not.
    for (const PnpNode& node : nodes) {
        LstKText::DeviceIdParts parts;
        LstKText::parseDeviceId(node.instanceId.c_str(), &parts);
        checkText(parts.instancePart, "parsed instance part unterminated");
    }

    KLST_HANDLE list = nullptr;
    if ((flags & kMonitor) != 0) {
        if (linksAreDistinct(nodes)) watch(pnp, numbers, ops, usePattern);
    } else if (LstK_InitEx(&list, listFlags, usePattern, nullptr)) {
        LstK_Enumerate(list, &checkEach, nullptr);
        for (const auto& [unplug, position] : laterChanges) {
            if (position >= numbers.size()) continue;
            if (unplug) {
                pnp.unplug(numbers[position]);
            } else {
                pnp.replug(numbers[position]);
            }
        }
        LstK_Sync(list, usePattern, nullptr);
        UINT count = 0;
        LstK_Count(list, &count);
        KLST_DEVINFO* info = nullptr;
        UINT walked = 0;
        while (LstK_MoveNext(list, &info)) {
            checkEntry(*info);
            ++walked;
        }
        if (walked != count) zfuzz::fail("walk and count differ", walked, count);
        if (count > 0 && LstK_MoveNext(list, &info)) {
            // The cursor starts over: the first entry goes and comes back last.
            if (!LstK_DetachInfo(list, info) || !LstK_AttachInfo(list, info)) zfuzz::fail("detach and attach");
        }
        LstK_Free(list);
    } else if (list != nullptr) {
        zfuzz::fail("failed list left behind");
    }

    if (const int sets = WinPnpStack::openSets(); sets != 0) zfuzz::fail("device sets left", sets);
    if (const int keys = WinPnpStack::openKeys(); keys != 0) zfuzz::fail("registry keys left", keys);
    if (const size_t used = inUse(); used != 0) zfuzz::fail("list or entry handles left", used);
    pnp.reset();
    UsbAccess_SetSystemApi(nullptr);
    return 0;
}
