#pragma once
// The USB HID device: finding it, opening it, reading and writing its
// reports, and announcing LinkEvent::Attached and Detached. Reading happens
// on the reader thread of ConnHIDCOM.
#include "core/link/Connection.h"
#include "core/link/HidBackend.h"
#include "core/text/Failure.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The attached modules (the device's vendor and product), in enumeration
// order, each path once. False when the platform gave no device list; why
// then holds the reason.
bool ListModules(HidBackend& backend, std::vector<HidInterface>& out, Failure* why = nullptr);

// Why the device cannot be used, as the latest failure left it: a failed
// enumerate, a matching device that could not be opened, or the read or
// write that failed. Set by the reader and the writer, read on any thread.
class HidFailure {
public:
    struct State {
        Failure failure;
        // A matching device is there but could not be opened (no access,
        // or held by another program).
        bool foundNotOpened = false;
    };

    void Set(const Failure& failure, bool foundNotOpened = false);
    void Clear();      // the device opened
    void NotFound();   // no matching device now: the kind says so, the words stay
    State Get() const;

private:
    mutable std::mutex mutex_;
    State state_;
};

class HID {
public:
    // wanted: which module to use: empty, the first one listed; else the one
    // whose path or serial number this is. failure: where failures are kept
    // (the connection puts in its own, which outlives this object).
    explicit HID(HidBackend& backend, std::string wanted = {},
                 std::shared_ptr<HidFailure> failure = std::make_shared<HidFailure>());
    HID(const HID&) = delete;
    HID& operator=(const HID&) = delete;
    ~HID();

    // Looks for the wanted module and keeps its path (DevicePath). False when
    // it is not there (or no device list was given).
    bool FindDevice();
    void OpenDevice();
    // Reads one input report while attached (reader thread), as
    // HidBackend::read does.
    int Read(uint8_t* report, int timeoutMs);
    // Any thread: the read under way, or the next one, returns 0 at once
    // (where the backend can wake reads); nothing while no handle is open.
    void WakeRead();
    // Sends the data in output reports. False when it did not all go out:
    // the device is not attached, or a report failed (which ends the write,
    // its reason kept).
    bool Write(const uint8_t* data, int32_t len);
    // The read failed: the device went, or the read was cancelled (the stop,
    // whose reason is not kept). Announces Detached and closes the handles.
    void ReadFailed(bool cancelled);
    // The reader ends: closes the handles and announces Detached, also when
    // the device was detached already.
    void Stop();
    void NotifyState(LinkEvent event);
    // Closes both handles (reader thread); a write under way finishes first.
    void CloseHandles();

    // Any thread.
    bool Attached() const { return attached_ != 0; }
    // How many times the device was opened: counted before Attached is set,
    // so whoever sees it attached sees this attach counted.
    uint32_t Attaches() const { return attaches_; }
    std::string DevicePath() const;   // empty until a search found the device
    Failure LastFailure() const { return failure_->Get().failure; }
    OnChangeStateList& StateListeners() { return stateListeners_; }
    // The handles, null while closed: the read handle on the reader thread
    // only.
    HidHandle ReadHandle() const { return readHandle_; }
    HidHandle WriteHandle() const;

private:
    // The backend's words for the failure on h, or `otherwise` when it gives none.
    QString reasonOf(HidHandle h, const QString& otherwise) const;

    HidBackend& backend_;
    const std::string wanted_;
    const std::shared_ptr<HidFailure> failure_;
    OnChangeStateList stateListeners_;
    std::atomic<uint8_t> attached_{0};
    std::atomic<uint32_t> attaches_{0};
    mutable std::mutex pathMutex_;   // devicePath_: written by the reader, read by anyone
    std::string devicePath_;
    // readHandle_: used by the reader thread, which alone changes it (under
    // readMutex_, so that WakeRead on another thread never finds it closed).
    mutable std::mutex readMutex_;
    HidHandle readHandle_ = nullptr;
    void setReadHandle(HidHandle h);
    mutable std::mutex writeMutex_;   // writeHandle_: closed by the reader while another thread may write
    HidHandle writeHandle_ = nullptr;
};
