#include "sim/win_pnp/win_pnp.h"

#include <cctype>
#include <cstdio>
#include <utility>

namespace zsim {

const char* const kPnpLibusbKGuid = "{6C696275-7362-4B00-A5A2-7A61726E0001}";
const char* const kPnpLibusb0FilterGuid = "{F9F3FF14-AE21-48A0-8A25-8011A7A931D9}";
const char* const kPnpLibusbKClassGuid = "{ECFB0CFD-74C4-4F52-BBF7-343461CD72AC}";
const char* const kPnpUsbClassGuid = "{36FC9E60-C465-11CF-8056-444553540000}";

const char* const kPnpSensorInterfaceNames[5] = {"control", "infrared", "depth", "visible", "client"};

WinPnp& WinPnp::instance() {
    // Never destroyed: the hot-plug monitor's thread may still walk the tree
    // while the process ends.
    static WinPnp* pnp = new WinPnp;
    return *pnp;
}

void WinPnp::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.clear();
    nextNumber_ = 1;
}

uint32_t WinPnp::plugLocked(PnpNode node, std::vector<PnpChange>& changes) {
    uint32_t number = 0;
    for (const auto& [known, existing] : nodes_) {
        if (existing.instanceId == node.instanceId) number = known;
    }
    if (number == 0) number = nextNumber_++;
    node.number = number;
    node.present = true;
    for (const PnpInterface& iface : node.interfaces) {
        if (iface.active && !iface.removed) {
            changes.push_back({PnpChange::Kind::InterfaceArrived, iface.classGuid, iface.symbolicLink});
        }
    }
    nodes_[number] = std::move(node);
    return number;
}

void WinPnp::unplugLocked(uint32_t number, std::vector<PnpChange>& changes) {
    auto found = nodes_.find(number);
    if (found == nodes_.end() || !found->second.present) return;
    // Marked first, so that a tree whose parent links run in a circle ends.
    PnpNode& node = found->second;
    node.present = false;
    // Children go before the node's own interfaces, as the system removes a
    // composite device's functions before the device itself.
    for (auto& [child, record] : nodes_) {
        if (record.parent == number) unplugLocked(child, changes);
    }
    for (PnpInterface& iface : node.interfaces) {
        if (iface.active && !iface.removed) {
            changes.push_back({PnpChange::Kind::InterfaceRemoved, iface.classGuid, iface.symbolicLink});
        }
        iface.active = false;
    }
}

uint32_t WinPnp::plug(PnpNode node) {
    std::vector<PnpChange> changes;
    uint32_t number = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        number = plugLocked(std::move(node), changes);
    }
    changes.push_back({PnpChange::Kind::NodesChanged, {}, {}});
    tell(changes);
    return number;
}

bool WinPnp::unplug(uint32_t number) {
    std::vector<PnpChange> changes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = nodes_.find(number);
        if (found == nodes_.end() || !found->second.present) return false;
        unplugLocked(number, changes);
    }
    changes.push_back({PnpChange::Kind::NodesChanged, {}, {}});
    tell(changes);
    return true;
}

bool WinPnp::replug(uint32_t number) {
    std::vector<PnpChange> changes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = nodes_.find(number);
        if (found == nodes_.end() || found->second.present) return false;
        PnpNode node = found->second;
        for (PnpInterface& iface : node.interfaces) iface.active = true;
        plugLocked(std::move(node), changes);
    }
    changes.push_back({PnpChange::Kind::NodesChanged, {}, {}});
    tell(changes);
    return true;
}

bool WinPnp::edit(uint32_t number, const std::function<void(PnpNode&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = nodes_.find(number);
    if (found == nodes_.end()) return false;
    change(found->second);
    found->second.number = number;
    return true;
}

std::optional<PnpNode> WinPnp::node(uint32_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = nodes_.find(number);
    if (found == nodes_.end()) return std::nullopt;
    return found->second;
}

std::optional<PnpNode> WinPnp::nodeById(const std::string& instanceId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [number, record] : nodes_) {
        if (record.instanceId == instanceId) return record;
    }
    return std::nullopt;
}

std::vector<PnpNode> WinPnp::nodes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PnpNode> out;
    out.reserve(nodes_.size());
    for (const auto& entry : nodes_) out.push_back(entry.second);
    return out;
}

int WinPnp::addObserver(Observer observer) {
    std::lock_guard<std::mutex> telling(tellMutex_);
    const int id = nextObserver_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void WinPnp::removeObserver(int id) {
    std::lock_guard<std::mutex> telling(tellMutex_);
    observers_.erase(id);
}

void WinPnp::tell(const std::vector<PnpChange>& changes) {
    std::lock_guard<std::mutex> telling(tellMutex_);
    for (const PnpChange& change : changes) {
        for (const auto& entry : observers_) entry.second(change);
    }
}

namespace {

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string deviceIdOf(const PnpSensorIdentity& identity, const std::string& serial) {
    char text[64];
    std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X\\", identity.vendorId, identity.productId);
    return text + serial;
}

// The instance part the system gives a composite device's function: derived
// from the parent, so that it stays the same across replugs.
std::string functionInstance(const std::string& serial, unsigned index) {
    uint32_t hash = 2166136261u;
    for (char c : serial) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    char text[48];
    std::snprintf(text, sizeof(text), "7&%06X&0&%04u", hash & 0xFFFFFFu, index);
    return text;
}

std::string linkOf(const std::string& instanceId) {
    std::string link = "\\\\?\\" + lowered(instanceId);
    for (char& c : link) {
        if (c == '\\' && &c > &link[3]) c = '#';
    }
    return link + "#" + lowered(kPnpLibusbKGuid);
}

PnpNode libusbKNode(const PnpSensorIdentity& identity, std::string instanceId, const std::string& name,
                    uint32_t parent) {
    PnpNode node;
    node.setupClassGuid = kPnpLibusbKClassGuid;
    node.service = identity.service;
    node.description = identity.namePrefix + "." + name;
    node.manufacturer = identity.manufacturer;
    node.busNumber = identity.busNumber;
    node.address = identity.address;
    node.deviceInterfaceGuids = std::vector<std::string>{kPnpLibusbKGuid};
    PnpInterface iface;
    iface.classGuid = kPnpLibusbKGuid;
    iface.symbolicLink = linkOf(instanceId);
    node.interfaces.push_back(iface);
    node.instanceId = std::move(instanceId);
    node.parent = parent;
    return node;
}

}  // namespace

namespace {

std::string functionId(const PnpSensorIdentity& identity, const std::string& serial, unsigned index) {
    char head[48];
    std::snprintf(head, sizeof(head), "USB\\VID_%04X&PID_%04X&MI_%02u\\", identity.vendorId, identity.productId,
                  index);
    return head + functionInstance(serial, index);
}

}  // namespace

std::vector<std::string> pnpSensorPaths(const PnpSensorIdentity& identity, const std::string& serial, bool booted) {
    if (!booted) return {linkOf(deviceIdOf(identity, serial))};
    std::vector<std::string> paths;
    for (unsigned index = 0; index < 5; ++index) paths.push_back(linkOf(functionId(identity, serial, index)));
    return paths;
}

std::vector<uint32_t> pnpPlugSensor(WinPnp& pnp, const PnpSensorIdentity& identity, const std::string& serial,
                                    bool booted) {
    pnpUnplugSensor(pnp, identity, serial);
    const std::string deviceId = deviceIdOf(identity, serial);
    std::vector<uint32_t> numbers;
    if (!booted) {
        numbers.push_back(pnp.plug(libusbKNode(identity, deviceId, kPnpSensorInterfaceNames[0], 0)));
        return numbers;
    }
    PnpNode parent;
    parent.instanceId = deviceId;
    parent.setupClassGuid = kPnpUsbClassGuid;
    parent.service = "usbccgp";
    parent.description = "USB Composite Device";
    parent.manufacturer = identity.manufacturer;
    parent.busNumber = identity.busNumber;
    parent.address = identity.address;
    const uint32_t parentNumber = pnp.plug(parent);
    for (unsigned index = 0; index < 5; ++index) {
        numbers.push_back(pnp.plug(libusbKNode(identity, functionId(identity, serial, index),
                                               kPnpSensorInterfaceNames[index], parentNumber)));
    }
    return numbers;
}

void pnpUnplugSensor(WinPnp& pnp, const PnpSensorIdentity& identity, const std::string& serial) {
    if (auto parent = pnp.nodeById(deviceIdOf(identity, serial)); parent && parent->present) {
        pnp.unplug(parent->number);
    }
}

}  // namespace zsim
