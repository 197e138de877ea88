#pragma once
// Several simulated modules on one machine: enumeration lists every
// attached member, open/read/write/close go to the member that owns the path
// or handle.
#include "core/link/HidBackend.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

class SimHidBackend;

class SimHidBus : public HidBackend {
public:
    // The members stay owned by the caller and must outlive the bus.
    explicit SimHidBus(std::vector<SimHidBackend*> members);

    // HidBackend
    bool enumerate(std::vector<HidInterface>& out) override;
    HidHandle open(const std::string& path, bool forWriting) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;
    bool canWakeReads() override { return true; }   // every member can
    void wakeRead(HidHandle h) override;
    bool write(HidHandle h, const uint8_t* report) override;
    void close(HidHandle h) override;
    // h null: why the latest enumerate or open on the bus failed.
    std::string lastError(HidHandle h) override;
    // Every member's arrivals.
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override;

private:
    SimHidBackend* ownerOf(HidHandle h) const;

    const std::vector<SimHidBackend*> members_;
    mutable std::mutex mutex_;
    std::map<HidHandle, SimHidBackend*> owners_;   // every open handle; opened and closed on the readers' threads
    std::string error_;                            // why the latest enumerate or open failed
};
