#pragma once
// The real hidraw reader and writer (HidrawBackend) over stand-ins for the
// nodes, where no HID device can be made (no uhid): each plug-in makes a
// socketpair(AF_UNIX, SOCK_SEQPACKET) whose far end is the device, one
// report to a packet. The device sends its 64-byte reports without the ID
// byte, as a hidraw node gives them, and gets the 65 bytes written to the
// node. Pulling it out closes the device's end: the node's end hangs up
// (POLLHUP), as a hidraw node does when its device goes. Enumeration lists the
// module while it is plugged in, at dir/hidraw<N>, and a file of that name is
// there meanwhile, for a watch of dir; the nodes themselves are never opened
// by their names. Linux only.
#include "core/link/Hidraw.h"

#include <atomic>
#include <mutex>
#include <string>

class SimHidraw : public HidrawBackend {
public:
    // dir: where the nodes' names appear (a directory the caller keeps).
    explicit SimHidraw(std::string dir);
    ~SimHidraw() override;

    // Plugged in (a new pair) and pulled out (its device end closed).
    // False, with errno set, when the system refused the pair or the name.
    bool plugIn();
    void pullOut();
    std::string path() const;   // the node's name while plugged in

    // The device's end: one input report (64 bytes, no ID byte) sent, and the
    // next output report written to the node received (at most 5 s waited;
    // the bytes as the node took them, empty when none came).
    bool sendReport(const uint8_t* report64);
    std::string receiveReport();

    int enumerations() const { return enumerations_; }
    // Reads begun and ended on the node so far, and what the latest returned.
    int readsBegun() const { return readsBegun_; }
    int readsEnded() const { return readsEnded_; }
    int lastRead() const { return lastRead_; }
    // The arrival watch: udev's monitor (which never tells of a stand-in, and
    // may tell of real hidraw devices) and, unless told otherwise, the names
    // appearing in dir, as where no udev daemon runs.
    void setNodesWatched(bool watched) { nodesWatched_ = watched; }

    bool enumerate(std::vector<HidInterface>& out) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override;

protected:
    int openNode(const std::string& path) override;

private:
    const std::string dir_;
    mutable std::mutex mutex_;
    int nodeEnd_ = -1;     // duplicated for each open
    int deviceEnd_ = -1;   // the device's
    int plugs_ = 0;
    std::string path_;
    std::atomic<int> enumerations_{0}, readsBegun_{0}, readsEnded_{0}, lastRead_{0};
    std::atomic<bool> nodesWatched_{true};
};
