#pragma once
// The operating-system side of the HID link, kept small so that the real
// device (hidapi) and the simulated module can stand behind it.
#include "core/text/Failure.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr int kReportSize = 65;      // report ID 0 + the device's 64-byte report
constexpr int kReportPayload = 60;   // payload bytes in one report
constexpr unsigned short kModuleVendorId = 0x04D8;
constexpr unsigned short kModuleProductId = 0x0054;

// One HID interface as enumeration gives it. The serial number and the
// product string are UTF-8, empty when the device does not tell them (they
// start empty, so a list written as {hardwareId, path} stays complete).
struct HidInterface {
    std::string hardwareId;   // e.g. "HID\VID_04D8&PID_0054&REV_0100"
    std::string path;
    std::string serial{};
    std::string product{};
};

using HidHandle = void*;

// Watching for HID devices being plugged in; the watching ends when the
// object goes (no call comes after its destructor has returned).
class ArrivalWatch {
public:
    virtual ~ArrivalWatch() = default;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // The HID interfaces present now, in enumeration order. False: the
    // platform gave no device list at all.
    virtual bool enumerate(std::vector<HidInterface>& out) = 0;
    // Opens a path once for reading or once for writing; nullptr on failure.
    virtual HidHandle open(const std::string& path, bool forWriting) = 0;
    // Reads one input report into report[65] (report ID first). Returns the
    // number of bytes, 0 when the time limit passed or wakeRead woke it, -1
    // when the read failed. A negative timeoutMs (only where canWakeReads)
    // sets no limit: the read waits for a report, a failure or wakeRead.
    virtual int read(HidHandle h, uint8_t* report, int timeoutMs) = 0;
    // Whether reads may wait without a limit, wakeRead ending them.
    virtual bool canWakeReads() { return false; }
    // Any thread, while h is open for reading: the read under way on h, or
    // the next one when none is, returns 0 at once.
    virtual void wakeRead(HidHandle h) { (void)h; }
    // Writes one 65-byte output report.
    virtual bool write(HidHandle h, const uint8_t* report) = 0;
    virtual void close(HidHandle h) = 0;
    // Why the latest call on h failed (h null: the latest enumerate or open);
    // empty when the backend cannot tell. Asked on the thread that made the
    // call, before the handle is closed.
    virtual std::string lastError(HidHandle h) {
        (void)h;
        return {};
    }
    // What kind of failure that was, as the system tells it (errno where
    // there is one); None when the backend cannot tell. Asked as lastError.
    virtual Failure::Kind lastErrorKind(HidHandle h) {
        (void)h;
        return Failure::Kind::None;
    }
    // Calls arrived (on any thread) whenever a HID device may have been
    // plugged in, until the returned watch is destroyed. Null: the platform
    // cannot tell, and the link searches on a short interval instead.
    virtual std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) {
        (void)arrived;
        return nullptr;
    }
};

// The real backend: hidapi finds the module, whose interface is then read and
// written directly (Hidraw.h on Linux, HidWin.h on Windows).
HidBackend* hidapiBackend();
