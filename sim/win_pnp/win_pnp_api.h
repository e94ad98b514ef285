// The simulated plug and play (win_pnp.h) as the system presents it:
// SetupAPI device sets, device and interface registry keys, the
// configuration manager's parent and device-id queries, and device-change
// notifications, in the shape of the device-facing table's entries.
//
// While a WinPnpStack exists, every change of the tree reaches windows as
// WM_DEVICECHANGE, sent from a notifier thread of its own, one message at a
// time and in order, as the system broadcasts them: DBT_DEVNODES_CHANGED to
// every top-level window, DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE
// (with the interface's class GUID and symbolic link) to every window
// registered for that interface class.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/win_pnp/win_pnp.h"
#include "usb_access/system_api.h"

namespace zsim {

class WinPnpStack {
public:
    explicit WinPnpStack(WinPnp& pnp = WinPnp::instance());
    // Ends the notifier thread; a message it is sending ends when the
    // window's thread handles it or goes away.
    ~WinPnpStack();
    WinPnpStack(const WinPnpStack&) = delete;
    WinPnpStack& operator=(const WinPnpStack&) = delete;

    // Sets the SetupAPI, registry, configuration-manager and notification
    // entries of `api`; the other entries stay as they are.
    static void fill(UsbAccessSystemApi& api);

    // --- faults --------------------------------------------------------------
    // The next `count` device-set requests fail (no set can be made).
    static void failClassDevs(int count);

    // --- observation -----------------------------------------------------------
    // Device sets and registry keys handed out and not yet released.
    static int openSets();
    static int openKeys();
    // Registered device notifications.
    static int notifications();
    // Waits until every change told so far has been delivered.
    bool waitDelivered(std::chrono::milliseconds timeout);

private:
    void run();

    WinPnp& pnp_;
    int observer_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PnpChange> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread notifier_;
};

}  // namespace zsim
