#pragma once
// The HID link on Linux: each hidraw node is read and written directly (hidapi
// can neither give its descriptor nor cancel a read). A read sleeps in poll()
// on the node and on an eventfd that wakeRead writes, so an idle link wakes
// nobody and a stop ends the read at once. The node gives the device's report
// without the report ID byte (the module numbers no reports), and takes the
// report with it, 0 first: the layout hidapi gives and takes on Linux.
#include "core/link/HidBackend.h"

#include <functional>
#include <memory>
#include <string>

class HidrawBackend : public HidBackend {
public:
    HidHandle open(const std::string& path, bool forWriting) override;
    int read(HidHandle h, uint8_t* report, int timeoutMs) override;
    bool write(HidHandle h, const uint8_t* report) override;
    void close(HidHandle h) override;
    bool canWakeReads() override { return true; }
    void wakeRead(HidHandle h) override;
    std::string lastError(HidHandle h) override;
    Failure::Kind lastErrorKind(HidHandle h) override;

protected:
    // The node at path, opened for reading and writing; -1 with errno set
    // when it cannot be.
    virtual int openNode(const std::string& path);
    // Keeps why the latest enumerate or open on this thread failed (error:
    // the errno, 0 where the system gave none), as lastError(nullptr) tells it.
    static void keepFailure(int error, const std::string& text);
};

// Where hidraw nodes appear: the directory the kernel makes them in, and
// whether a udev daemon runs there (it tells each node once its rules have
// given the access rights; without one the kernel's own creation of the node
// is the only news).
struct HidrawNodes {
    std::string dir = "/dev";
    bool udevDaemon = true;
};

// Calls arrived (on a thread of its own) whenever a hidraw device may have
// been added, until the watch is destroyed: told by udev's monitor, and, where
// no udev daemon runs and until the monitor has told anything, by a node named
// hidraw* appearing in nodes.dir. Null when neither can be watched.
std::unique_ptr<ArrivalWatch> watchHidraw(std::function<void()> arrived, const HidrawNodes& nodes);
// The system's: /dev, and udev asked whether its daemon runs.
std::unique_ptr<ArrivalWatch> watchHidraw(std::function<void()> arrived);
