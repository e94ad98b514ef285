// Simulated Windows plug and play: the device tree the system keeps for USB
// devices, as the device list and the hot-plug monitor see it through
// SetupAPI, the device registry and the configuration manager.
//
// A device node has an instance id ("USB\VID_1234&PID_5678\SERIAL" for a
// whole device, "USB\VID_1234&PID_5678&MI_02\7&1A2B3C&0&0002" for one
// interface of a composite device, whose parent is the whole device), a
// setup class, registry properties (service, device description,
// manufacturer, bus number, address), the registry value
// "DeviceInterfaceGUIDs" of its device key, and device interfaces: a class
// GUID and a symbolic link each, with an active and a removed flag, and for a
// libusb0 device the value "LUsb0" of the interface key.
//
// Like the system, the tree forgets nothing: a node that goes away stays as
// a node that is not present, with its interfaces inactive, and comes back
// under the same instance id and symbolic links when it is plugged again.
//
// Every change is told to the observers, outside the tree's lock, in the
// order the changes happened: each interface that became active (arrival),
// each that became inactive (removal, with its symbolic link), and after
// each change of the tree a "nodes changed". The Win32 side turns these into
// WM_DEVICECHANGE messages to registered windows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zsim {

// The interface-class GUID of libusbK devices, and of libusb0 filter
// devices, as texts in braces.
extern const char* const kPnpLibusbKGuid;
extern const char* const kPnpLibusb0FilterGuid;
// Setup class of libusbK devices and of composite parents.
extern const char* const kPnpLibusbKClassGuid;
extern const char* const kPnpUsbClassGuid;

struct PnpInterface {
    std::string classGuid;     // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    std::string symbolicLink;  // "\\?\usb#vid_1234&pid_5678&mi_00#...#{guid}"
    bool active = true;
    bool removed = false;
    std::optional<uint32_t> lusb0;  // the interface key's "LUsb0"
};

struct PnpNode {
    std::string instanceId;
    std::string setupClassGuid;
    std::string service;
    std::optional<std::string> description;
    std::optional<std::string> manufacturer;
    std::optional<uint32_t> busNumber;
    std::optional<uint32_t> address;
    // The device key's "DeviceInterfaceGUIDs" (a multi-string); none: no value.
    std::optional<std::vector<std::string>> deviceInterfaceGuids;
    // The same value's bytes exactly as a driver package stored them (maybe
    // without terminators); when set it is what the registry answers.
    std::optional<std::string> storedInterfaceGuids;
    // Service, description and manufacturer stored without their terminator,
    // as a faulty driver package can write them: the registry then answers
    // the text's bytes alone.
    bool unterminatedTexts = false;
    std::vector<PnpInterface> interfaces;
    uint32_t parent = 0;  // node number of the parent; 0: none
    bool present = true;
    uint32_t number = 0;  // set by the tree; never 0 for a node in it
};

struct PnpChange {
    enum class Kind { InterfaceArrived, InterfaceRemoved, NodesChanged };
    Kind kind;
    std::string classGuid;     // interface changes only
    std::string symbolicLink;  // interface changes only
};

class WinPnp {
public:
    static WinPnp& instance();

    // Empties the tree; observers stay.
    void reset();

    // Adds a node, or, when its instance id is known, brings that node back
    // with the description given (keeping its number). The node and its
    // interfaces are present and active as `node` says.
    uint32_t plug(PnpNode node);
    // The node (and every node below it) is no longer present; its
    // interfaces become inactive. False when no such node is present.
    bool unplug(uint32_t number);
    // A node that went away comes back as it was, its interfaces active.
    // False when no such node is known or it is present.
    bool replug(uint32_t number);
    // Changes one registry property of a node as a test's fault would.
    bool edit(uint32_t number, const std::function<void(PnpNode&)>& change);

    std::optional<PnpNode> node(uint32_t number) const;
    std::optional<PnpNode> nodeById(const std::string& instanceId) const;
    // Nodes in the order they were first added.
    std::vector<PnpNode> nodes() const;

    using Observer = std::function<void(const PnpChange&)>;
    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    WinPnp() = default;
    void tell(const std::vector<PnpChange>& changes);
    uint32_t plugLocked(PnpNode node, std::vector<PnpChange>& changes);
    void unplugLocked(uint32_t number, std::vector<PnpChange>& changes);

    mutable std::mutex mutex_;
    std::map<uint32_t, PnpNode> nodes_;
    uint32_t nextNumber_ = 1;
    // Observers are called one change at a time, in order, by whichever
    // thread made the change; this keeps two changers from interleaving.
    std::mutex tellMutex_;
    std::map<int, Observer> observers_;
    int nextObserver_ = 1;
};

// The sensor as the system shows it: a booted sensor is a composite device
// (a parent node named by its serial number) with five interface nodes, one
// per interface, whose device descriptions carry the interfaces' names; an
// unbooted one is a single node with the control interface only.
struct PnpSensorIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string namePrefix;    // the interface names' vendor prefix
    std::string manufacturer;
    uint32_t busNumber = 1;
    uint32_t address = 1;
    std::string service = "libusbK";  // the driver bound to its interfaces
};

// Plugs the sensor with serial number `serial` (booted: five interfaces;
// else one) and returns the node numbers of its interface nodes in index
// order. A sensor of that serial already present goes away first.
std::vector<uint32_t> pnpPlugSensor(WinPnp& pnp, const PnpSensorIdentity& identity, const std::string& serial,
                                    bool booted);
// The symbolic links the sensor's interfaces get, in index order.
std::vector<std::string> pnpSensorPaths(const PnpSensorIdentity& identity, const std::string& serial, bool booted);
// Unplugs every present node of the sensor with that serial number.
void pnpUnplugSensor(WinPnp& pnp, const PnpSensorIdentity& identity, const std::string& serial);

// The interface names of a booted sensor by interface index, without the prefix.
extern const char* const kPnpSensorInterfaceNames[5];

}  // namespace zsim
