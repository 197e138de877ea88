#pragma once
// The USB HID device: finding it, opening it, writing output reports and
// announcing "Attached" and "Detached". Reading happens on the reader thread
// of ConnHIDCOM.
#include "core/link/Connection.h"
#include "core/link/HidBackend.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The attached modules (the device's vendor and product), in enumeration
// order, each path once. False when the platform gave no device list; why
// then holds the reason.
bool ListModules(HidBackend& backend, std::vector<HidInterface>& out, std::string* why = nullptr);

// Why the device cannot be used, as the latest failure left it: a failed
// enumerate, a matching device that could not be opened, or the read or
// write that failed. Set by the reader and the writer, read on any thread.
class HidFailure {
public:
    void Set(const std::string& reason, bool foundNotOpened = false);
    void Clear();      // the device opened
    void NotFound();   // no matching device now: the reason stays
    std::string Reason() const;
    // A matching device is there but could not be opened (no access, or
    // held by another program).
    bool FoundNotOpened() const;

private:
    mutable std::mutex mutex_;
    std::string reason_;
    bool foundNotOpened_ = false;
};

class HID {
public:
    explicit HID(HidBackend& backend);
    ~HID();

    // Looks for the module Wanted names and keeps its path in DevicePath.
    // False when it is not there (or no device list was given).
    bool FindDevice();
    void OpenDevice();
    // Sends the data in output reports. False when it did not all go out:
    // the device is not attached, or a report failed (which ends the write,
    // its reason kept in Failure).
    bool Write(const uint8_t* data, int32_t len);
    // The read on ReadHandle failed: keeps its reason (before CloseHandles).
    void ReadFailed();
    void NotifyState(const char* name);
    // Closes both handles (reader thread); a write under way finishes first.
    void CloseHandles();

    // Which module to use: empty, the first one listed; else the one whose
    // path or serial number this is. Set before OpenDevice.
    std::string Wanted;
    std::string DevicePath;
    OnChangeStateList StateListeners;
    std::atomic<uint8_t> Attached{0};
    // How many times the device was opened: counted before Attached is set,
    // so whoever sees it attached sees this attach counted.
    std::atomic<uint32_t> Attaches{0};
    HidHandle ReadHandle = nullptr;
    HidHandle WriteHandle = nullptr;
    HidBackend& Backend;
    // Where failures are kept; the connection puts in its own, which
    // outlives this object.
    std::shared_ptr<HidFailure> Failure = std::make_shared<HidFailure>();

private:
    // The backend's reason for the failure on h, or `otherwise` when it gives none.
    std::string reasonOf(HidHandle h, const std::string& otherwise);

    std::mutex writeMutex_;   // WriteHandle is closed by the reader while the UI thread may write
};
