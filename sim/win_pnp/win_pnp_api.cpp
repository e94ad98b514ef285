#include "sim/win_pnp/win_pnp_api.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_window.h"

namespace zsim {

namespace {

constexpr DWORD kInvalidData = 13;  // ERROR_INVALID_DATA
constexpr UINT kBroadcastTimeoutMs = 500;

struct SetItem {
    uint32_t node;
    int interfaceIndex;  // -1: the set lists devices
};

struct DeviceSet {
    std::vector<SetItem> items;
};

struct RegistryKey {
    uint32_t node;
    int interfaceIndex;  // -1: the device key
};

struct NotificationRecord {
    HWND window;
    std::string classGuid;  // upper case, in braces
};

// Everything the functions below hand out, guarded by one lock.
struct ApiState {
    std::mutex mutex;
    std::map<HDEVINFO, std::unique_ptr<DeviceSet>> sets;
    std::map<HKEY, std::unique_ptr<RegistryKey>> keys;
    std::map<HDEVNOTIFY, std::unique_ptr<NotificationRecord>> notifications;
    int failClassDevs = 0;
};

ApiState& state() {
    static ApiState* s = new ApiState;  // outlives every thread that may still release something
    return *s;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string guidText(const GUID& guid) {
    char text[64];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(guid.Data1), guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

GUID guidOf(const std::string& text) {
    GUID guid{};
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    std::sscanf(text.c_str(), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", &d1, &d2, &d3, &b[0], &b[1],
                &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    guid.Data1 = d1;
    guid.Data2 = static_cast<WORD>(d2);
    guid.Data3 = static_cast<WORD>(d3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(b[i]);
    return guid;
}

DeviceSet* findSet(HDEVINFO set) {
    auto found = state().sets.find(set);
    return found == state().sets.end() ? nullptr : found->second.get();
}

template <class Key, class T>
Key newHandle(std::map<Key, std::unique_ptr<T>>& table, std::unique_ptr<T> object) {
    Key handle = reinterpret_cast<Key>(object.get());
    table.emplace(handle, std::move(object));
    return handle;
}

// --- SetupAPI ------------------------------------------------------------------

HDEVINFO WINAPI simGetClassDevs(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().failClassDevs > 0) {
        --state().failClassDevs;
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    const bool present = (flags & DIGCF_PRESENT) != 0;
    const bool anyClass = (flags & DIGCF_ALLCLASSES) != 0 || classGuid == nullptr;
    const std::string wanted = classGuid != nullptr ? guidText(*classGuid) : std::string();
    const std::string under = enumerator != nullptr ? upper(enumerator) : std::string();
    auto set = std::make_unique<DeviceSet>();
    for (const PnpNode& node : WinPnp::instance().nodes()) {
        if (present && !node.present) continue;
        const std::string id = upper(node.instanceId);
        if ((flags & DIGCF_DEVICEINTERFACE) != 0) {
            // The enumerator of an interface set is a device instance id.
            if (!under.empty() && id != under) continue;
            for (size_t i = 0; i < node.interfaces.size(); ++i) {
                if (anyClass || upper(node.interfaces[i].classGuid) == wanted) {
                    set->items.push_back({node.number, static_cast<int>(i)});
                }
            }
        } else {
            if (!under.empty() && id.rfind(under + "\\", 0) != 0) continue;
            if (!anyClass && upper(node.setupClassGuid) != wanted) continue;
            set->items.push_back({node.number, -1});
        }
    }
    return newHandle(state().sets, std::move(set));
}

BOOL WINAPI simDestroyList(HDEVINFO set) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().sets.erase(set) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void describe(const PnpNode& node, SP_DEVINFO_DATA* data) {
    if (data == nullptr) return;
    data->ClassGuid = guidOf(node.setupClassGuid);
    data->DevInst = node.number;
}

BOOL WINAPI simEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    std::lock_guard<std::mutex> lock(state().mutex);
    DeviceSet* set = findSet(handle);
    if (set == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(set == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<const SetItem*> devices;
    for (const SetItem& item : set->items) {
        if (item.interfaceIndex < 0) devices.push_back(&item);
    }
    if (index >= devices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    auto node = WinPnp::instance().node(devices[index]->node);
    if (!node) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    describe(*node, data);
    return TRUE;
}

BOOL WINAPI simEnumInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid, DWORD index,
                              PSP_DEVICE_INTERFACE_DATA data) {
    std::lock_guard<std::mutex> lock(state().mutex);
    DeviceSet* set = findSet(handle);
    if (set == nullptr || data == nullptr || classGuid == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(set == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string wanted = guidText(*classGuid);
    DWORD seen = 0;
    for (size_t i = 0; i < set->items.size(); ++i) {
        const SetItem& item = set->items[i];
        if (item.interfaceIndex < 0) continue;
        auto node = WinPnp::instance().node(item.node);
        if (!node || static_cast<size_t>(item.interfaceIndex) >= node->interfaces.size()) continue;
        const PnpInterface& iface = node->interfaces[static_cast<size_t>(item.interfaceIndex)];
        if (upper(iface.classGuid) != wanted) continue;
        if (seen++ != index) continue;
        data->InterfaceClassGuid = *classGuid;
        data->Flags = (iface.active ? SPINT_ACTIVE : 0) | (iface.removed ? SPINT_REMOVED : 0);
        data->Reserved = i + 1;
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

// The node and interface an interface record names, or nothing.
std::optional<std::pair<PnpNode, size_t>> interfaceOf(HDEVINFO handle, const SP_DEVICE_INTERFACE_DATA* data) {
    DeviceSet* set = findSet(handle);
    if (set == nullptr || data == nullptr || data->Reserved == 0 || data->Reserved > set->items.size()) {
        return std::nullopt;
    }
    const SetItem& item = set->items[data->Reserved - 1];
    auto node = WinPnp::instance().node(item.node);
    if (!node || item.interfaceIndex < 0 || static_cast<size_t>(item.interfaceIndex) >= node->interfaces.size()) {
        return std::nullopt;
    }
    return std::make_pair(*node, static_cast<size_t>(item.interfaceIndex));
}

BOOL WINAPI simInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                               PSP_DEVINFO_DATA device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto found = interfaceOf(handle, data);
    if (!found) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string& path = found->first.interfaces[found->second].symbolicLink;
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = needed;
    if (detail == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    describe(found->first, device);
    return TRUE;
}

std::optional<PnpNode> nodeOfDevice(HDEVINFO handle, const SP_DEVINFO_DATA* device) {
    if (findSet(handle) == nullptr || device == nullptr) return std::nullopt;
    return WinPnp::instance().node(device->DevInst);
}

BOOL WINAPI simRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                                DWORD size, PDWORD required) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto node = nodeOfDevice(handle, device);
    if (!node) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::optional<std::string> text;
    std::optional<uint32_t> number;
    switch (property) {
        case SPDRP_SERVICE: text = node->service; break;
        case SPDRP_DEVICEDESC: text = node->description; break;
        case SPDRP_MFG: text = node->manufacturer; break;
        case SPDRP_BUSNUMBER: number = node->busNumber; break;
        case SPDRP_ADDRESS: number = node->address; break;
        default: break;
    }
    if (!text && !number) {
        SetLastError(kInvalidData);
        return FALSE;
    }
    const DWORD needed = text ? static_cast<DWORD>(text->size() + (node->unterminatedTexts ? 0 : 1)) : 4;
    if (required != nullptr) *required = needed;
    if (type != nullptr) *type = text ? REG_SZ : REG_DWORD;
    if (buffer == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (text) {
        std::memcpy(buffer, text->c_str(), needed);
    } else {
        std::memcpy(buffer, &*number, 4);
    }
    return TRUE;
}

BOOL WINAPI simInstanceId(HDEVINFO handle, PSP_DEVINFO_DATA device, PSTR buffer, DWORD size, PDWORD required) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto node = nodeOfDevice(handle, device);
    if (!node) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(node->instanceId.size() + 1);
    if (required != nullptr) *required = needed;
    if (buffer == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, node->instanceId.c_str(), needed);
    return TRUE;
}

HKEY WINAPI simOpenDeviceKey(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD, DWORD, DWORD keyType, REGSAM) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto node = nodeOfDevice(handle, device);
    if (!node || keyType != DIREG_DEV) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return newHandle(state().keys, std::make_unique<RegistryKey>(RegistryKey{node->number, -1}));
}

HKEY WINAPI simOpenInterfaceKey(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data, DWORD, REGSAM) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto found = interfaceOf(handle, data);
    if (!found) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return newHandle(state().keys, std::make_unique<RegistryKey>(
                                       RegistryKey{found->first.number, static_cast<int>(found->second)}));
}

// --- registry ------------------------------------------------------------------------

LSTATUS WINAPI simQueryValue(HKEY handle, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto found = state().keys.find(handle);
    if (found == state().keys.end()) return ERROR_INVALID_HANDLE;
    if (name == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
    const RegistryKey key = *found->second;
    auto node = WinPnp::instance().node(key.node);
    if (!node) return ERROR_FILE_NOT_FOUND;
    std::string bytes;
    DWORD valueType = REG_NONE;
    if (key.interfaceIndex < 0 && std::strcmp(name, "DeviceInterfaceGUIDs") == 0 && node->storedInterfaceGuids) {
        bytes = *node->storedInterfaceGuids;
        valueType = REG_MULTI_SZ;
    } else if (key.interfaceIndex < 0 && std::strcmp(name, "DeviceInterfaceGUIDs") == 0 &&
               node->deviceInterfaceGuids) {
        for (const std::string& guid : *node->deviceInterfaceGuids) bytes += guid + '\0';
        bytes += '\0';
        valueType = REG_MULTI_SZ;
    } else if (key.interfaceIndex >= 0 && std::strcmp(name, "LUsb0") == 0 &&
               static_cast<size_t>(key.interfaceIndex) < node->interfaces.size() &&
               node->interfaces[static_cast<size_t>(key.interfaceIndex)].lusb0) {
        const uint32_t value = *node->interfaces[static_cast<size_t>(key.interfaceIndex)].lusb0;
        bytes.assign(reinterpret_cast<const char*>(&value), 4);
        valueType = REG_DWORD;
    } else {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) *type = valueType;
    const DWORD room = *size;
    *size = static_cast<DWORD>(bytes.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (room < bytes.size()) return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI simCloseKey(HKEY handle) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().keys.erase(handle) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// --- configuration manager ---------------------------------------------------------------

CONFIGRET WINAPI simGetParent(PDEVINST parent, DEVINST devInst, ULONG) {
    auto node = WinPnp::instance().node(devInst);
    if (parent == nullptr) return CR_NO_SUCH_DEVNODE;
    if (!node || node->parent == 0) return CR_NO_SUCH_DEVNODE;
    *parent = node->parent;
    return CR_SUCCESS;
}

CONFIGRET WINAPI simGetDeviceId(DEVINST devInst, PCHAR buffer, ULONG length, ULONG) {
    auto node = WinPnp::instance().node(devInst);
    if (!node) return CR_NO_SUCH_DEVNODE;
    if (buffer == nullptr || length < node->instanceId.size() + 1) return CR_BUFFER_SMALL;
    std::memcpy(buffer, node->instanceId.c_str(), node->instanceId.size() + 1);
    return CR_SUCCESS;
}

// --- device notifications ---------------------------------------------------------------

HDEVNOTIFY WINAPI simRegisterNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (recipient == nullptr || header == nullptr || flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto* broadcast = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
    std::lock_guard<std::mutex> lock(state().mutex);
    return newHandle(state().notifications,
                     std::make_unique<NotificationRecord>(
                         NotificationRecord{static_cast<HWND>(recipient), guidText(broadcast->dbcc_classguid)}));
}

BOOL WINAPI simUnregisterNotification(HDEVNOTIFY handle) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().notifications.erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collectWindow(HWND window, LPARAM context) {
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
}

void broadcast(const PnpChange& change) {
    if (change.kind == PnpChange::Kind::NodesChanged) {
        std::vector<HWND> windows;
        EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
        // A broadcast to every window does not wait on one that does not
        // answer, as the system's does not.
        for (HWND window : windows) {
            SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG,
                                kBroadcastTimeoutMs, nullptr);
        }
        return;
    }
    std::vector<HWND> windows;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (const auto& entry : state().notifications) {
            if (entry.second->classGuid == upper(change.classGuid) &&
                std::find(windows.begin(), windows.end(), entry.second->window) == windows.end()) {
                windows.push_back(entry.second->window);
            }
        }
    }
    // The record carries the path after its fixed part, terminated.
    std::vector<uint8_t> record(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + change.symbolicLink.size(), 0);
    auto* message = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
    message->dbcc_size = static_cast<DWORD>(record.size());
    message->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    message->dbcc_classguid = guidOf(upper(change.classGuid));
    std::memcpy(message->dbcc_name, change.symbolicLink.c_str(), change.symbolicLink.size() + 1);
    const WPARAM event =
        change.kind == PnpChange::Kind::InterfaceArrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND window : windows) SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(message));
}

}  // namespace

WinPnpStack::WinPnpStack(WinPnp& pnp) : pnp_(pnp) {
    observer_ = pnp_.addObserver([this](const PnpChange& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(change);
        changed_.notify_all();
    });
    notifier_ = std::thread([this] { run(); });
}

WinPnpStack::~WinPnpStack() {
    pnp_.removeObserver(observer_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    notifier_.join();
}

void WinPnpStack::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const PnpChange change = queue_.front();
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        broadcast(change);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

bool WinPnpStack::waitDelivered(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return queue_.empty() && !busy_; });
}

void WinPnpStack::fill(UsbAccessSystemApi& api) {
    api.SetupDiGetClassDevsA = simGetClassDevs;
    api.SetupDiEnumDeviceInfo = simEnumDeviceInfo;
    api.SetupDiEnumDeviceInterfaces = simEnumInterfaces;
    api.SetupDiGetDeviceInterfaceDetailA = simInterfaceDetail;
    api.SetupDiGetDeviceRegistryPropertyA = simRegistryProperty;
    api.SetupDiGetDeviceInstanceIdA = simInstanceId;
    api.SetupDiOpenDevRegKey = simOpenDeviceKey;
    api.SetupDiOpenDeviceInterfaceRegKey = simOpenInterfaceKey;
    api.SetupDiDestroyDeviceInfoList = simDestroyList;
    api.RegQueryValueExA = simQueryValue;
    api.RegCloseKey = simCloseKey;
    api.CM_Get_Parent = simGetParent;
    api.CM_Get_Device_IDA = simGetDeviceId;
    api.RegisterDeviceNotificationA = simRegisterNotification;
    api.UnregisterDeviceNotification = simUnregisterNotification;
}

void WinPnpStack::failClassDevs(int count) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failClassDevs = count;
}

int WinPnpStack::openSets() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().sets.size());
}

int WinPnpStack::openKeys() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().keys.size());
}

int WinPnpStack::notifications() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().notifications.size());
}

}  // namespace zsim
