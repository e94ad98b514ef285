#include "usb_access/lst_k.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "usb_access/lst_k_text.h"
#include "usb_access/system_api.h"

const char* const LSTK_LIBUSB0_FILTER_GUID = "{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}";

namespace {

// One entry: the record the user sees first, so that a KLST_DEVINFO pointer
// is the entry's address, then the links.
struct LstK_Entry {
    KLST_DEVINFO info;
    std::atomic<LstK_Handle*> owner;  // null when detached
    LstInfoK_Handle* handle;
    LstK_Entry* next;
    LstK_Entry* prev;  // the first entry's names the last
};

// The detail buffer SetupAPI writes an interface path into: a path that does
// not fit is not listed.
constexpr DWORD kDetailSize = 262;
constexpr DWORD kMultiStringLimit = 1024;

struct DriverName {
    const char* service;
    int32_t driverId;
};
constexpr DriverName kDrivers[] = {
    {"LIBUSBK", KUSB_DRVID_LIBUSBK},
    {"LIBUSB0", KUSB_DRVID_LIBUSB0},
    {"WINUSB", KUSB_DRVID_WINUSB},
};

LstK_Entry*& headOf(KLST_HANDLE list) { return reinterpret_cast<LstK_Entry*&>(list->head); }
LstK_Entry*& cursorOf(KLST_HANDLE list) { return reinterpret_cast<LstK_Entry*&>(list->cursor); }

// The entry of a record handed out by a list, or null for anything else.
LstK_Entry* entryOf(KLST_DEVINFO_HANDLE info) {
    if (info == nullptr) return nullptr;
    LstK_Entry* entry = reinterpret_cast<LstK_Entry*>(info);
    if (!AllK_InLstInfoKPool(entry->handle) || entry->handle->entry != entry) return nullptr;
    return entry;
}

void unlink(KLST_HANDLE list, LstK_Entry* entry) {
    LstK_Entry*& head = headOf(list);
    if (cursorOf(list) == entry) cursorOf(list) = entry == head ? nullptr : entry->prev;
    LstK_Entry* last = head->prev;
    if (entry == head) {
        head = entry->next;
        if (head != nullptr) head->prev = last;
    } else {
        entry->prev->next = entry->next;
        if (entry->next != nullptr) {
            entry->next->prev = entry->prev;
        } else {
            head->prev = entry->prev;
        }
    }
    entry->next = nullptr;
    entry->prev = nullptr;
}

void append(KLST_HANDLE list, LstK_Entry* entry) {
    LstK_Entry*& head = headOf(list);
    entry->next = nullptr;
    if (head == nullptr) {
        head = entry;
        entry->prev = entry;
        return;
    }
    LstK_Entry* last = head->prev;
    last->next = entry;
    entry->prev = last;
    head->prev = entry;
}

void entryCleanup(void* handle) {
    LstInfoK_Handle* entryHandle = static_cast<LstInfoK_Handle*>(handle);
    AllK_RunUserCleanup(handle, ALLK_KIND_LSTINFOK);
    if (entryHandle->entry != nullptr) {
        LstK_Entry* entry = static_cast<LstK_Entry*>(entryHandle->entry);
        entry->~LstK_Entry();
        HeapFree(entryHandle->heap, 0, entry);
        entryHandle->entry = nullptr;
    }
}

// Detaches every entry and frees those that no other list took meanwhile.
void listCleanup(void* handle) {
    KLST_HANDLE list = static_cast<KLST_HANDLE>(handle);
    AllK_RunUserCleanup(handle, ALLK_KIND_LSTK);
    LstK_Entry* entry = headOf(list);
    while (entry != nullptr) {
        LstK_Entry* next = entry->next;
        entry->next = nullptr;
        entry->prev = nullptr;
        LstK_Handle* expected = list;
        if (entry->owner.compare_exchange_strong(expected, nullptr)) UsbK_ReleaseHandle(entry->handle);
        entry = next;
    }
    headOf(list) = nullptr;
    cursorOf(list) = nullptr;
}

// Holds a list handle for the length of a call.
class ListHold {
public:
    explicit ListHold(KLST_HANDLE list) : list_(list) {
        if (list == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
        } else if (!AllK_InLstKPool(list)) {
            SetLastError(ERROR_INVALID_HANDLE);
        } else if (!UsbK_AcquireHandle(list)) {
            SetLastError(ERROR_RESOURCE_NOT_AVAILABLE);
        } else {
            held_ = true;
        }
    }
    ~ListHold() {
        if (held_) UsbK_ReleaseHandle(list_);
    }
    explicit operator bool() const { return held_; }

private:
    KLST_HANDLE list_;
    bool held_ = false;
};

// Closes a registry key or destroys a device-information set when it goes
// out of scope, on every path.
struct KeyCloser {
    HKEY key;
    ~KeyCloser() {
        if (key != nullptr && key != INVALID_HANDLE_VALUE) UsbAccess_SystemApi().RegCloseKey(key);
    }
};
struct SetCloser {
    HDEVINFO set;
    ~SetCloser() {
        if (set != nullptr && set != INVALID_HANDLE_VALUE) UsbAccess_SystemApi().SetupDiDestroyDeviceInfoList(set);
    }
};

// ASCII letters without regard to case; `length` characters, or the whole texts when 0.
bool sameLetters(const char* a, const char* b, size_t length = 0) {
    for (size_t i = 0; length == 0 || i < length; ++i) {
        const int x = std::toupper(static_cast<unsigned char>(a[i]));
        const int y = std::toupper(static_cast<unsigned char>(b[i]));
        if (x != y) return false;
        if (x == 0) return true;
    }
    return true;
}

bool toGuid(const char* text, GUID* out) {
    LstKText::Guid parsed;
    if (!LstKText::parseGuid(text, &parsed)) return false;
    out->Data1 = parsed.data1;
    out->Data2 = parsed.data2;
    out->Data3 = parsed.data3;
    std::memcpy(out->Data4, parsed.data4, 8);
    return true;
}

bool patternPasses(const char* pattern, const char* value) {
    return pattern == nullptr || pattern[0] == '\0' || LstKText::match(pattern, value);
}

// A text registry property into a fixed field (at most `size` - 1
// characters, terminated); false when it cannot be read.
bool readTextProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, char* field, DWORD size) {
    char buffer[256] = {};
    DWORD type = 0;
    const DWORD room = size < sizeof(buffer) ? size : static_cast<DWORD>(sizeof(buffer));
    if (!UsbAccess_SystemApi().SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                                                  reinterpret_cast<PBYTE>(buffer), room - 1, nullptr)) {
        field[0] = '\0';
        return false;
    }
    buffer[room - 1] = '\0';
    LstKText::copyText(field, size, buffer);
    return true;
}

int32_t readNumberProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    DWORD value = 0;
    DWORD type = 0;
    if (!UsbAccess_SystemApi().SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                                                  reinterpret_cast<PBYTE>(&value), sizeof(value),
                                                                  nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(value);
}

// The serial number of a new entry: an interface of a composite device takes
// its parent's instance part, anything else its own.
void deriveSerial(KLST_DEVINFO* info, DEVINST devInst) {
    char upper[256];
    LstKText::copyText(upper, sizeof(upper), info->deviceId);
    for (char* c = upper; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    LstKText::copyText(info->serialNumber, sizeof(info->serialNumber), upper);
    if (std::strstr(upper, "&MI_") != nullptr) {
        const UsbAccessSystemApi& api = UsbAccess_SystemApi();
        DEVINST parent = 0;
        char parentId[256] = {};
        if (api.CM_Get_Parent != nullptr && api.CM_Get_Device_IDA != nullptr &&
            api.CM_Get_Parent(&parent, devInst, 0) == CR_SUCCESS &&
            api.CM_Get_Device_IDA(parent, parentId, 255, 0) == CR_SUCCESS) {
            parentId[255] = '\0';
            const char* slash = std::strrchr(parentId, '\\');
            LstKText::copyText(info->serialNumber, sizeof(info->serialNumber), slash != nullptr ? slash + 1 : parentId);
            return;
        }
    }
    LstKText::copyText(info->serialNumber, sizeof(info->serialNumber), info->instancePart);
}

class Enumeration {
public:
    Enumeration(KLST_HANDLE list, uint32_t flags, const KLST_PATTERN* pattern, HANDLE heap)
        : list_(list), flags_(flags), pattern_(pattern), heap_(heap != nullptr ? heap : AllK()->allocationHeap) {
        presence_ = (flags & KLST_FLAG_INCLUDE_DISCONNECT) != 0 ? 0 : DIGCF_PRESENT;
    }

    // False when adding an entry failed (the last error says why). Sets
    // `listed` to whether a device set could be made at all.
    bool run(bool* listed);

private:
    bool includeInactive() const { return (flags_ & KLST_FLAG_INCLUDE_DISCONNECT) != 0; }
    const char* deviceIdPattern() const { return pattern_ != nullptr ? pattern_->deviceIdPattern : nullptr; }
    const char* interfaceGuidPattern() const { return pattern_ != nullptr ? pattern_->interfaceGuidPattern : nullptr; }
    const char* classGuidPattern() const { return pattern_ != nullptr ? pattern_->classGuidPattern : nullptr; }

    // Sub-steps 2 to 4 of a device: false skips it.
    bool describeDevice(HDEVINFO set, SP_DEVINFO_DATA* device, bool classMode);
    // The interfaces of one device under one GUID (not in interface mode).
    bool listInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID& guid);
    // Reads one interface's path; false skips it.
    bool readDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface, SP_DEVINFO_DATA* device);
    // Filter number, registry properties, the new entry: false when adding failed.
    bool addInterface(HDEVINFO propertySet, SP_DEVINFO_DATA* device, HDEVINFO interfaceSet,
                      SP_DEVICE_INTERFACE_DATA* iface);

    KLST_HANDLE list_;
    uint32_t flags_;
    const KLST_PATTERN* pattern_;
    HANDLE heap_;
    DWORD presence_;
    KLST_DEVINFO work_{};
};

bool Enumeration::run(bool* listed) {
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    GUID guid{};
    HDEVINFO set = INVALID_HANDLE_VALUE;
    enum { Interface, Class, AllClasses } mode = AllClasses;
    if (interfaceGuidPattern() != nullptr && LstKText::isGuidText(interfaceGuidPattern())) {
        mode = Interface;
        toGuid(interfaceGuidPattern(), &guid);
        LstKText::copyText(work_.interfaceGuid, sizeof(work_.interfaceGuid), interfaceGuidPattern());
        set = api.SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | presence_);
    } else if (classGuidPattern() != nullptr && LstKText::isGuidText(classGuidPattern())) {
        mode = Class;
        toGuid(classGuidPattern(), &guid);
        LstKText::copyText(work_.classGuid, sizeof(work_.classGuid), classGuidPattern());
        set = api.SetupDiGetClassDevsA(&guid, "USB", nullptr, presence_);
    } else {
        set = api.SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | presence_);
    }
    *listed = set != INVALID_HANDLE_VALUE && set != nullptr;
    if (!*listed) return true;
    SetCloser closeSet{set};

    for (DWORD member = 0;; ++member) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (mode == Interface) {
            SP_DEVICE_INTERFACE_DATA iface{};
            iface.cbSize = sizeof(iface);
            if (!api.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, member, &iface)) break;
            if (!readDetail(set, &iface, &device)) continue;
            if (!describeDevice(set, &device, false)) continue;
            if (!work_.connected && work_.driverId == KUSB_DRVID_LIBUSB0_FILTER) continue;
            if (!addInterface(set, &device, set, &iface)) return false;
            continue;
        }
        if (!api.SetupDiEnumDeviceInfo(set, member, &device)) break;
        if (!describeDevice(set, &device, mode == Class)) continue;
        if (work_.driverId != -1) {
            HKEY key = api.SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
            if (key == nullptr || key == INVALID_HANDLE_VALUE) continue;
            KeyCloser closeKey{key};
            // Room for the whole value and two terminators, whatever the value holds.
            char guids[kMultiStringLimit + 2] = {};
            DWORD size = kMultiStringLimit;
            DWORD type = 0;
            if (api.RegQueryValueExA(key, "DeviceInterfaceGUIDs", nullptr, &type, reinterpret_cast<LPBYTE>(guids),
                                     &size) != ERROR_SUCCESS) {
                continue;
            }
            for (const char* text = guids; *text != '\0' && text < guids + kMultiStringLimit;
                 text += std::strlen(text) + 1) {
                LstKText::copyText(work_.interfaceGuid, sizeof(work_.interfaceGuid), text);
                GUID interfaceGuid{};
                if (!toGuid(work_.interfaceGuid, &interfaceGuid)) continue;
                if (!listInterfaces(set, &device, interfaceGuid)) return false;
            }
        } else {
            LstKText::copyText(work_.interfaceGuid, sizeof(work_.interfaceGuid), LSTK_LIBUSB0_FILTER_GUID);
            work_.driverId = KUSB_DRVID_LIBUSB0_FILTER;
            GUID filterGuid{};
            toGuid(LSTK_LIBUSB0_FILTER_GUID, &filterGuid);
            if (!listInterfaces(set, &device, filterGuid)) return false;
        }
    }
    return true;
}

bool Enumeration::describeDevice(HDEVINFO set, SP_DEVINFO_DATA* device, bool classMode) {
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    if (!classMode) {
        LstKText::Guid classGuid{device->ClassGuid.Data1, device->ClassGuid.Data2, device->ClassGuid.Data3, {}};
        std::memcpy(classGuid.data4, device->ClassGuid.Data4, 8);
        if (LstKText::formatGuid(classGuid, work_.classGuid, sizeof(work_.classGuid)) != 38) return false;
        if (!patternPasses(classGuidPattern(), work_.classGuid)) return false;
    }
    std::memset(work_.deviceId, 0, sizeof(work_.deviceId));
    if (!api.SetupDiGetDeviceInstanceIdA(set, device, work_.deviceId, sizeof(work_.deviceId) - 1, nullptr)) {
        return false;
    }
    work_.deviceId[sizeof(work_.deviceId) - 1] = '\0';
    if (!sameLetters(work_.deviceId, "USB\\VID_", 8)) return false;
    if (!patternPasses(deviceIdPattern(), work_.deviceId)) return false;
    if (!readTextProperty(set, device, SPDRP_SERVICE, work_.service, 256)) return false;
    work_.driverId = -1;
    for (const DriverName& driver : kDrivers) {
        if (sameLetters(work_.service, driver.service)) work_.driverId = driver.driverId;
    }
    return true;
}

bool Enumeration::readDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface, SP_DEVINFO_DATA* device) {
    if ((iface->Flags & SPINT_REMOVED) != 0) return false;
    work_.connected = (iface->Flags & SPINT_ACTIVE) != 0 ? 1 : 0;
    if (!work_.connected && !includeInactive()) return false;
    alignas(8) char detailBuffer[kDetailSize] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // A path that does not fit fails the call: the interface is not listed.
    if (!UsbAccess_SystemApi().SetupDiGetDeviceInterfaceDetailA(set, iface, detail, kDetailSize, nullptr, device)) {
        return false;
    }
    detailBuffer[kDetailSize - 1] = '\0';
    LstKText::copyText(work_.devicePath, sizeof(work_.devicePath), detail->DevicePath);
    LstKText::copyText(work_.symbolicLink, sizeof(work_.symbolicLink), detail->DevicePath);
    return true;
}

bool Enumeration::listInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device, const GUID& guid) {
    if (!patternPasses(interfaceGuidPattern(), work_.interfaceGuid)) return true;
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    HDEVINFO interfaces = api.SetupDiGetClassDevsA(&guid, work_.deviceId, nullptr, DIGCF_DEVICEINTERFACE | presence_);
    if (interfaces == INVALID_HANDLE_VALUE || interfaces == nullptr) return true;
    SetCloser closeInterfaces{interfaces};
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        if (!api.SetupDiEnumDeviceInterfaces(interfaces, nullptr, &guid, member, &iface)) break;
        if ((iface.Flags & SPINT_ACTIVE) == 0 && work_.driverId == KUSB_DRVID_LIBUSB0_FILTER) continue;
        SP_DEVINFO_DATA ignored{};
        ignored.cbSize = sizeof(ignored);
        if (!readDetail(interfaces, &iface, &ignored)) continue;
        if (!addInterface(set, device, interfaces, &iface)) return false;
    }
    return true;
}

bool Enumeration::addInterface(HDEVINFO propertySet, SP_DEVINFO_DATA* device, HDEVINFO interfaceSet,
                               SP_DEVICE_INTERFACE_DATA* iface) {
    const UsbAccessSystemApi& api = UsbAccess_SystemApi();
    work_.filterIndex = -1;
    if (work_.connected &&
        (work_.driverId == KUSB_DRVID_LIBUSB0 || work_.driverId == KUSB_DRVID_LIBUSB0_FILTER)) {
        HKEY key = api.SetupDiOpenDeviceInterfaceRegKey(interfaceSet, iface, 0, KEY_QUERY_VALUE);
        if (key != nullptr && key != INVALID_HANDLE_VALUE) {
            KeyCloser closeKey{key};
            DWORD value = 0;
            DWORD size = sizeof(value);
            DWORD type = 0;
            if (api.RegQueryValueExA(key, "LUsb0", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) ==
                ERROR_SUCCESS) {
                work_.filterIndex = static_cast<int32_t>(value);
                if (value <= 255) {
                    std::snprintf(work_.devicePath, sizeof(work_.devicePath), "\\\\.\\libusb0-%04d",
                                  static_cast<int>(value));
                }
            }
        }
    }
    readTextProperty(propertySet, device, SPDRP_DEVICEDESC, work_.deviceDescription, 256);
    readTextProperty(propertySet, device, SPDRP_MFG, work_.manufacturer, 256);
    work_.busNumber = readNumberProperty(propertySet, device, SPDRP_BUSNUMBER);
    work_.deviceAddress = readNumberProperty(propertySet, device, SPDRP_ADDRESS);

    LstInfoK_Handle* handle = AllK_AllocLstInfoK(entryCleanup);
    if (handle == nullptr) return false;  // 84: every entry handle is in use
    void* block = HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(LstK_Entry));
    if (block == nullptr) {
        UsbK_ReleaseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    LstK_Entry* entry = new (block) LstK_Entry{};
    entry->info = work_;
    entry->handle = handle;
    entry->owner.store(list_);
    handle->entry = entry;
    handle->heap = heap_;
    append(list_, entry);

    LstKText::DeviceIdParts parts;
    LstKText::parseDeviceId(entry->info.deviceId, &parts);
    entry->info.vendorId = parts.vendorId;
    entry->info.productId = parts.productId;
    entry->info.interfaceNumber = parts.interfaceNumber;
    LstKText::copyText(entry->info.instancePart, sizeof(entry->info.instancePart), parts.instancePart);
    deriveSerial(&entry->info, device->DevInst);
    return true;
}

// Builds a list; `listed` tells whether the system could be asked at all.
BOOL initList(KLST_HANDLE* out, uint32_t flags, const KLST_PATTERN* pattern, HANDLE heap, bool* listed) {
    *listed = false;
    if (out == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = nullptr;
    KLST_HANDLE list = AllK_AllocLstK(listCleanup);
    if (list == nullptr) return FALSE;
    Enumeration enumeration(list, flags, pattern, heap);
    if (!enumeration.run(listed)) {
        const DWORD error = GetLastError();
        UsbK_ReleaseHandle(list);
        SetLastError(error);
        return FALSE;
    }
    for (LstK_Entry* entry = headOf(list); entry != nullptr; entry = entry->next) {
        entry->handle->header.userContextArmed.store(1);
    }
    list->header.userContextArmed.store(1);
    *out = list;
    return TRUE;
}

// The connected rule of a synchronisation.
void takeConnected(KLST_DEVINFO& master, const KLST_DEVINFO& fresh) {
    LstKText::copyText(master.devicePath, sizeof(master.devicePath), fresh.devicePath);
    if (master.connected != fresh.connected) {
        master.connected = fresh.connected;
        master.syncFlags = (fresh.connected ? KLST_SYNC_FLAG_ADDED : KLST_SYNC_FLAG_REMOVED) |
                           KLST_SYNC_FLAG_CONNECT_CHANGE;
    } else {
        master.syncFlags = KLST_SYNC_FLAG_UNCHANGED;
    }
}

}  // namespace

BOOL LstK_InitEx(KLST_HANDLE* DeviceList, uint32_t Flags, const KLST_PATTERN* Pattern, HANDLE Heap) {
    bool listed = false;
    return initList(DeviceList, Flags, Pattern, Heap, &listed);
}

BOOL LstK_Init(KLST_HANDLE* DeviceList, uint32_t Flags) { return LstK_InitEx(DeviceList, Flags, nullptr, nullptr); }

BOOL LstK_Free(KLST_HANDLE DeviceList) {
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    // The allocation's reference; the hold's own goes when it ends and frees the list.
    UsbK_ReleaseHandle(DeviceList);
    return TRUE;
}

BOOL LstK_Count(KLST_HANDLE DeviceList, UINT* Count) {
    if (Count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *Count = 0;
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    for (LstK_Entry* entry = headOf(DeviceList); entry != nullptr; entry = entry->next) ++*Count;
    return TRUE;
}

BOOL LstK_MoveNext(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE* DeviceInfo) {
    if (DeviceInfo != nullptr) *DeviceInfo = nullptr;
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    if (headOf(DeviceList) == nullptr) {
        SetLastError(ERROR_EMPTY);
        return FALSE;
    }
    LstK_Entry* current = cursorOf(DeviceList);
    LstK_Entry* next = current == nullptr ? headOf(DeviceList) : current->next;
    cursorOf(DeviceList) = next;
    if (next == nullptr) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    if (DeviceInfo != nullptr) *DeviceInfo = &next->info;
    return TRUE;
}

BOOL LstK_Enumerate(KLST_HANDLE DeviceList, KLST_ENUM_DEVINFO_CB EnumDevListCB, PVOID Context) {
    if (EnumDevListCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    LstK_Entry* entry = headOf(DeviceList);
    while (entry != nullptr) {
        // Taken first: the callback may detach the current entry.
        LstK_Entry* next = entry->next;
        if (!EnumDevListCB(DeviceList, &entry->info, Context)) break;
        entry = next;
    }
    return TRUE;
}

BOOL LstK_DetachInfo(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE DeviceInfo) {
    if (DeviceInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    LstK_Entry* entry = entryOf(DeviceInfo);
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LstK_Handle* expected = DeviceList;
    if (!entry->owner.compare_exchange_strong(expected, nullptr)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    unlink(DeviceList, entry);
    return TRUE;
}

BOOL LstK_AttachInfo(KLST_HANDLE DeviceList, KLST_DEVINFO_HANDLE DeviceInfo) {
    if (DeviceInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ListHold hold(DeviceList);
    if (!hold) return FALSE;
    LstK_Entry* entry = entryOf(DeviceInfo);
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LstK_Handle* expected = nullptr;
    if (!entry->owner.compare_exchange_strong(expected, DeviceList)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    append(DeviceList, entry);
    return TRUE;
}

BOOL LstK_Sync(KLST_HANDLE MasterList, const KLST_PATTERN* Pattern, HANDLE Heap) {
    ListHold hold(MasterList);
    if (!hold) return FALSE;
    KLST_HANDLE fresh = nullptr;
    bool listed = false;
    if (!initList(&fresh, KLST_FLAG_NONE, Pattern, Heap, &listed)) return FALSE;
    if (!listed) {
        // Without a device set nothing is known: an empty list here would
        // mark every connected device removed.
        const DWORD error = GetLastError();
        LstK_Free(fresh);
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        return FALSE;
    }

    for (LstK_Entry* m = headOf(MasterList); m != nullptr; m = m->next) m->info.syncFlags = KLST_SYNC_FLAG_NONE;

    for (LstK_Entry* f = headOf(fresh); f != nullptr;) {
        LstK_Entry* next = f->next;
        LstK_Entry* found = nullptr;
        for (LstK_Entry* m = headOf(MasterList); m != nullptr; m = m->next) {
            if (LstKText::match(m->info.symbolicLink, f->info.symbolicLink)) {
                found = m;
                break;
            }
        }
        if (found != nullptr) {
            if (found->info.syncFlags == KLST_SYNC_FLAG_NONE) takeConnected(found->info, f->info);
        } else {
            LstK_DetachInfo(fresh, &f->info);
            LstK_AttachInfo(MasterList, &f->info);
            f->info.syncFlags = f->info.connected ? KLST_SYNC_FLAG_ADDED : KLST_SYNC_FLAG_UNCHANGED;
        }
        f = next;
    }

    for (LstK_Entry* m = headOf(MasterList); m != nullptr; m = m->next) {
        if (m->info.syncFlags != KLST_SYNC_FLAG_NONE) continue;
        LstK_Entry* found = nullptr;
        for (LstK_Entry* f = headOf(fresh); f != nullptr; f = f->next) {
            if (LstKText::match(f->info.symbolicLink, m->info.symbolicLink)) {
                found = f;
                break;
            }
        }
        if (found != nullptr) {
            takeConnected(m->info, found->info);
        } else if (m->info.connected) {
            m->info.connected = 0;
            m->info.syncFlags = KLST_SYNC_FLAG_REMOVED;
        } else {
            m->info.syncFlags = KLST_SYNC_FLAG_UNCHANGED;
        }
    }
    LstK_Free(fresh);
    return TRUE;
}
