#pragma once
// The simulated module behind the HID backend interface: it can be attached
// and detached at any moment, records every output report, unpacks the slot
// frames the tool sends, and answers with input reports built by a device-side
// slot framer (frames packed into reports of up to 60 payload bytes). Module
// number index appears at "sim:brisal-<index>" with serial number
// "SIM<index + 1>" in four digits ("SIM0001" for the first).
#include "core/link/Connection.h"
#include "core/link/HidBackend.h"
#include "sim/SimModule.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class Slot;

class SimHidBackend : public HidBackend {
public:
    explicit SimHidBackend(SimModule& module, int index = 0);
    ~SimHidBackend() override;

    // Plugged in; the system tells it to the arrival watches unless
    // announce is false (an event that got lost).
    void attach(bool announce = true);
    void detach();
    bool isAttached() const;

    using Report = std::array<uint8_t, kReportSize>;
    std::vector<Report> outputReports() const;
    void clearOutputReports();
    // Queues a raw input report exactly as given (tests of the reader).
    void injectInputReport(const Report& r);
    // Link model: every report, in either direction, takes this long.
    void setReportDelayUs(int us);
    // Further interfaces shown by enumeration, before the module's own.
    void setOtherInterfaces(std::vector<HidInterface> list);
    int enumerations() const;
    // Input reports handed to the reader so far.
    long inputReportsRead() const;
    // How often the live values advance (0: never).
    void setTickIntervalMs(int ms);
    // A module plugged in that cannot be opened (no access rights): every
    // open fails with this reason while it is set.
    void setOpenRefused(const std::string& reason);
    // Failures of the system while a reason is set (empty: none): no device
    // list at all, or every output report refused (reads go on).
    void setListRefused(const std::string& reason);
    void setWriteRefused(const std::string& reason);

    static constexpr const char* kHardwareId = "HID\\VID_04D8&PID_0054&REV_0100";
    static constexpr const char* kPath = "sim:brisal-0";   // module 0's
    static constexpr const char* kProduct = "Brisal GSM module (simulated)";
    std::string path() const { return path_; }
    std::string serial() const { return serial_; }

    // HidBackend
    bool enumerate(std::vector<HidInterface>& out) override;
    HidHandle open(const std::string& path, bool forWriting) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;
    bool canWakeReads() override { return true; }
    void wakeRead(HidHandle h) override;
    bool write(HidHandle h, const uint8_t* report) override;
    void close(HidHandle h) override;
    std::string lastError(HidHandle h) override;
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override;
    int arrivalWatches() const;   // watches alive now

private:
    using Clock = std::chrono::steady_clock;
    struct Handle {
        int generation;
        bool woken = false;   // by wakeRead, until a read has returned 0 for it
    };
    class DeviceSide;

    void deviceOutput(int channel, const QByteArray& text);
    bool handleValid(HidHandle h) const;

    SimModule& module_;
    const std::string path_;
    const std::string serial_;
    std::unique_ptr<DeviceSide> device_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool attached_ = false;
    int generation_ = 0;
    std::vector<Report> outputs_;
    struct Pending {
        Clock::time_point ready;
        Report report;
    };
    std::deque<Pending> inputs_;
    Clock::time_point lastReady_{};
    Clock::time_point outFree_{};   // when the link is free for the next output report
    int reportDelayUs_ = 0;
    std::vector<HidInterface> others_;
    int enumerations_ = 0;
    std::string openError_;   // why the latest enumerate or open failed
    std::string openRefused_;
    std::string listRefused_;
    std::string writeRefused_;
    long inputsRead_ = 0;
    class Watch;
    void announceArrival();
    mutable std::mutex watchMutex_;   // held while a watch is told, so none is told after it went
    std::vector<Watch*> watches_;
    int tickIntervalMs_ = 100;
    Clock::time_point lastTick_{};
};
