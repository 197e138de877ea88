#pragma once
// The real Windows HID reader and writer (WinHidBackend) over stand-ins for
// the module's interface, where no HID device can be listed (hidapi cannot
// start under Wine): each plug-in makes a named pipe in message mode whose
// server end is the device, one report to a message. The device sends its
// 64-byte reports with the ID byte 0 first, as Windows gives them, and gets
// the 65 bytes written to the interface. Pulling it out closes the device's
// end: a read under way then fails, as when a device goes. Enumeration lists
// the module while it is plugged in, at the pipe's name. Windows only; the
// counterpart of SimHidraw.
#include "core/link/HidWin.h"

#include <atomic>
#include <mutex>
#include <string>

class SimHidPipe : public WinHidBackend {
public:
    // name: what makes the pipes' names unique (any text).
    explicit SimHidPipe(std::string name);
    ~SimHidPipe() override;

    // Plugged in (a new pipe) and pulled out (its device end closed). False
    // when the system refused the pipe.
    bool plugIn();
    void pullOut();
    std::string path() const;   // the pipe's name while plugged in

    // The device's end: one input report (64 bytes, no ID byte) sent, and the
    // next output report written to the interface received (at most 5 s
    // waited; the bytes as the interface took them, empty when none came).
    bool sendReport(const uint8_t* report64);
    std::string receiveReport();

    int enumerations() const { return enumerations_; }
    // Reads begun and ended on the interface so far, and what the latest returned.
    int readsBegun() const { return readsBegun_; }
    int readsEnded() const { return readsEnded_; }
    int lastRead() const { return lastRead_; }

    bool enumerate(std::vector<HidInterface>& out) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;

protected:
    HANDLE openNode(const std::string& path) override;

private:
    // One overlapped transfer on the device's end, waited for at most ms.
    bool deviceTransfer(bool writing, void* buf, DWORD size, DWORD* done, DWORD ms);

    std::string base_;
    mutable std::mutex mutex_;
    HANDLE deviceEnd_ = INVALID_HANDLE_VALUE;
    HANDLE nodeEnd_ = INVALID_HANDLE_VALUE;   // duplicated for each open
    int plugs_ = 0;
    std::string path_;
    std::atomic<int> enumerations_{0}, readsBegun_{0}, readsEnded_{0}, lastRead_{0};
};
