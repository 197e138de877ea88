#include "core/link/ConnHIDCOM.h"

#include "core/text/Timing.h"

#include <chrono>
#include <utility>

void HIDChangeStateEvent::StateChanged(const char* name) { conn_->StateListeners.Notify(name); }

ConnHIDCOM::ConnHIDCOM(HidBackend* backend, std::string wanted) : backend_(*backend), wanted_(std::move(wanted)) {}

ConnHIDCOM::~ConnHIDCOM() { Close(); }

void ConnHIDCOM::SendData(const uint8_t* data, int32_t len) {
    // Why a write failed is kept in failure_ (LastError).
    HID* d = Device.load();
    if (!d || !d->Write(data, len)) ++sendFailures_;
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
    // The first search at once; later ones when a device is plugged in.
    searchDue_ = true;
    arrivals_ = backend_.watchArrivals([this] { wakeReader(true); });
    reader_ = std::thread(&ConnHIDCOM::ReaderThread, this);
    return true;
}

void ConnHIDCOM::wakeReader(bool search) {
    {
        std::lock_guard<std::mutex> g(wakeMutex_);
        if (search) searchDue_ = true;
    }
    wake_.notify_all();
}

void ConnHIDCOM::Close() {
    if (!reader_.joinable()) return;
    {
        std::unique_lock<std::mutex> lk(wakeMutex_);
        // Cancel a read under way until the reader has seen the device go.
        const auto gone = [this] {
            HID* d = Device.load();
            return !d || !d->Attached;
        };
        if (!gone()) {
            CancelRequested = 1;
            wake_.notify_all();
            wake_.wait(lk, gone);
        }
        StopRequested = 1;
        wake_.notify_all();
        wake_.wait(lk, [this] { return ReaderDone != 0; });
    }
    reader_.join();
    arrivals_.reset();
}

// Until a device may have been plugged in, the safety interval has passed (or
// the short one, where the system tells no arrivals), or a stop begins.
void ConnHIDCOM::waitForSearch() {
    std::unique_lock<std::mutex> lk(wakeMutex_);
    const int ms = arrivals_ ? timing::hidSafetySearchMs : timing::hidSearchIntervalMs;
    wake_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return searchDue_ || StopRequested != 0; });
    searchDue_ = false;
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
                wakeReader(false);   // a stop may be waiting for this
                continue;
            }
            DeliverReport(report, n);
        } else {
            waitForSearch();
            // Once a stop has begun the device is not searched for again.
            if (StopRequested || CancelRequested) continue;
            const bool heldBefore = failure_->FoundNotOpened();
            const std::string whyBefore = failure_->Reason();
            d->OpenDevice();
            if (!d->Attached && SearchOutcomeChanged &&
                (failure_->FoundNotOpened() != heldBefore || failure_->Reason() != whyBefore))
                SearchOutcomeChanged();
        }
    }
    {
        std::lock_guard<std::mutex> g(wakeMutex_);
        ReaderDone = 1;
    }
    wake_.notify_all();
}
