#pragma once
// The HID link on Windows: the module's interface (the path hidapi's
// enumeration gives) opened for overlapped I/O and read and written directly,
// as hidapi does it, except that a read waits for the report or a wake event
// (WaitForMultipleObjects) with no time limit, and CancelIoEx ends it when
// woken. Windows gives and takes each report with its ID byte first (0: the
// module numbers no reports), the link's 65-byte layout.
#include "core/link/HidBackend.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

class WinHidBackend : public HidBackend {
public:
    HidHandle open(const std::string& path, bool forWriting) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;
    bool write(HidHandle h, const uint8_t* report) override;
    void close(HidHandle h) override;
    bool canWakeReads() override { return true; }
    void wakeRead(HidHandle h) override;
    std::string lastError(HidHandle h) override;

protected:
    // The interface at path, opened for overlapped reading and writing;
    // INVALID_HANDLE_VALUE with GetLastError set when it cannot be.
    virtual HANDLE openNode(const std::string& path);
    // Keeps why the latest enumerate or open on this thread failed, as
    // lastError(nullptr) tells it (error: not kept, Windows gives no errno).
    static void keepFailure(int error, const std::string& text);
};

// The system's words for a failed call, as hidapi words them:
// "ReadFile: (0x0000048F) The device is not connected."
std::string winFailure(const char* call, DWORD code);
