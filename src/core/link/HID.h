#pragma once
// The USB HID device: finding it, opening it, writing output reports and
// announcing "Attached" and "Detached". Reading happens on the reader thread
// of ConnHIDCOM.
#include "core/link/Connection.h"
#include "core/link/HidBackend.h"

#include <atomic>
#include <mutex>
#include <string>

class HID {
public:
    explicit HID(HidBackend& backend);
    ~HID();

    bool FindDevice();
    void OpenDevice();
    bool Write(const uint8_t* data, int32_t len);
    void NotifyState(const char* name);
    // Closes both handles (reader thread); a write under way finishes first.
    void CloseHandles();

    std::string DevicePath;
    OnChangeStateList StateListeners;
    std::atomic<uint8_t> Attached{0};
    HidHandle ReadHandle = nullptr;
    HidHandle WriteHandle = nullptr;
    HidBackend& Backend;

private:
    std::mutex writeMutex_;   // WriteHandle is closed by the reader while the UI thread may write
};
