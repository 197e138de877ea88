#include "core/link/ConnHIDCOM.h"

#include "core/text/Timing.h"

#include <chrono>
#include <utility>

namespace {
void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}   // namespace

void HIDChangeStateEvent::StateChanged(const char* name) { conn_->StateListeners.Notify(name); }

ConnHIDCOM::ConnHIDCOM(HidBackend* backend, std::string wanted) : backend_(*backend), wanted_(std::move(wanted)) {}

ConnHIDCOM::~ConnHIDCOM() { Close(); }

void ConnHIDCOM::SendData(const uint8_t* data, int32_t len) {
    if (HID* d = Device.load()) d->Write(data, len);
}

void ConnHIDCOM::SendText(const QByteArray& text) {
    SendData(reinterpret_cast<const uint8_t*>(text.constData()), int32_t(text.size()));
}

void ConnHIDCOM::DeliverReport(const uint8_t* report, int n) {
    // Only whole reports of kind 1 whose length fits the report carry data.
    if (n == kReportSize && report[1] == 1 && report[2] <= kReportPayload) Receive(report + 5, report[2]);
}

bool ConnHIDCOM::IsReady() {
    HID* d = Device.load();
    return d && d->Attached;
}

bool ConnHIDCOM::Open() {
    if (reader_.joinable()) return true;   // already running
    StopRequested = 0;
    ReaderDone = 0;
    CancelRequested = 0;
    failure_->Clear();
    auto* hid = new HID(backend_);
    hid->Failure = failure_;
    hid->Wanted = wanted_;
    hidEvent_ = std::make_unique<HIDChangeStateEvent>(this);
    hid->StateListeners.Add(hidEvent_.get());
    Device = hid;
    reader_ = std::thread(&ConnHIDCOM::ReaderThread, this);
    return true;
}

void ConnHIDCOM::Close() {
    if (!reader_.joinable()) return;
    // Cancel a read under way until the reader has seen the device go.
    while (HID* d = Device.load()) {
        if (!d->Attached) break;
        CancelRequested = 1;
        sleepMs(timing::hidSearchIntervalMs);
    }
    StopRequested = 1;
    while (!ReaderDone) sleepMs(timing::hidSearchIntervalMs);
    reader_.join();
}

void ConnHIDCOM::ReaderThread() {
    ReaderDone = 0;
    uint8_t report[kReportSize];
    for (;;) {
        HID* d = Device.load();
        if (StopRequested) {
            if (d) {
                d->CloseHandles();
                d->Attached = 0;
                d->NotifyState("Detached");
                Device = nullptr;
                delete d;
            }
            break;
        }
        if (d->Attached) {
            int n = backend_.read(d->ReadHandle, report, timing::hidReadTimeoutMs);
            if (CancelRequested) n = -1;   // a cancelled read fails
            if (n == 0) continue;
            if (n < 0) {
                // A cancelled read is the stop, not a failure of the device.
                if (!CancelRequested) d->ReadFailed();
                d->Attached = 0;
                d->NotifyState("Detached");
                d->CloseHandles();
                continue;
            }
            DeliverReport(report, n);
        } else {
            sleepMs(timing::hidSearchIntervalMs);
            // Once a stop has begun the device is not searched for again.
            if (!StopRequested && !CancelRequested) d->OpenDevice();
        }
    }
    ReaderDone = 1;
}
