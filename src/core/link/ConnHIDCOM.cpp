#include "core/link/ConnHIDCOM.h"

#include "core/text/Timing.h"

#include <chrono>
#include <utility>

void HIDChangeStateEvent::StateChanged(LinkEvent event) { conn_->StateListeners().Notify(event); }

ConnHIDCOM::ConnHIDCOM(HidBackend* backend, std::string wanted) : backend_(*backend), wanted_(std::move(wanted)) {}

ConnHIDCOM::~ConnHIDCOM() { Close(); }

bool ConnHIDCOM::IsOpen() {
    std::lock_guard<std::mutex> g(deviceMutex_);
    return Device != nullptr;
}

bool ConnHIDCOM::IsReady() {
    std::lock_guard<std::mutex> g(deviceMutex_);
    return Device && Device->Attached();
}

uint32_t ConnHIDCOM::Attaches() const {
    std::lock_guard<std::mutex> g(deviceMutex_);
    return Device ? Device->Attaches() : 0;
}

std::string ConnHIDCOM::DevicePath() const {
    std::lock_guard<std::mutex> g(deviceMutex_);
    return Device ? Device->DevicePath() : std::string();
}

void ConnHIDCOM::SendData(const uint8_t* data, int32_t len) {
    // Why a write failed is kept in failure_ (LastFailure).
    std::lock_guard<std::mutex> g(deviceMutex_);
    if (!Device || !Device->Write(data, len)) ++sendFailures_;
}

void ConnHIDCOM::SendText(const QByteArray& text) {
    SendData(reinterpret_cast<const uint8_t*>(text.constData()), int32_t(text.size()));
}

void ConnHIDCOM::DeliverReport(const uint8_t* report, int n) {
    // Only whole reports of kind 1 whose length fits the report carry data.
    if (n == kReportSize && report[1] == 1 && report[2] <= kReportPayload) Receive(report + 5, report[2]);
}

bool ConnHIDCOM::Open() {
    if (reader_.joinable()) return true;   // already running
    StopRequested = 0;
    ReaderDone = 0;
    cancelRequested_ = 0;
    failure_->Clear();
    auto hid = std::make_unique<HID>(backend_, wanted_, failure_);
    hidEvent_ = std::make_unique<HIDChangeStateEvent>(this);
    hid->StateListeners().Add(hidEvent_.get());
    {
        std::lock_guard<std::mutex> g(deviceMutex_);
        Device = std::move(hid);
    }
    // The first search at once; later ones when a device is plugged in.
    searchDue_ = true;
    arrivalTold_ = false;
    arrivalsSilent_ = false;
    arrivals_ = backend_.watchArrivals([this] { arrived(); });
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

void ConnHIDCOM::arrived() {
    {
        std::lock_guard<std::mutex> g(wakeMutex_);
        searchDue_ = true;
        arrivalTold_ = true;
        arrivalsSilent_ = false;
    }
    wake_.notify_all();
}

void ConnHIDCOM::Close() {
    if (!reader_.joinable()) return;
    {
        std::unique_lock<std::mutex> lk(wakeMutex_);
        // Cancel a read under way until the reader has seen the device go.
        const auto gone = [this] { return !IsReady(); };
        if (!gone()) {
            cancelRequested_ = 1;
            {
                // The reader destroys the device only once StopRequested is set.
                std::lock_guard<std::mutex> g(deviceMutex_);
                Device->WakeRead();
            }
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
// the short one, where the system tells no arrivals or has told none of a
// module found), or a stop begins.
bool ConnHIDCOM::waitForSearch() {
    std::unique_lock<std::mutex> lk(wakeMutex_);
    const int ms = arrivals_ && !arrivalsSilent_ ? timing::hidSafetySearchMs : timing::hidSearchIntervalMs;
    wake_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return searchDue_ || StopRequested != 0; });
    const bool told = searchDue_;
    searchDue_ = false;
    return told;
}

void ConnHIDCOM::ReaderThread() {
    ReaderDone = 0;
    uint8_t report[kReportSize];
    // Only this thread changes Device (Open made it before starting it).
    HID* const d = Device.get();
    const bool wakeable = backend_.canWakeReads();
    for (;;) {
        if (StopRequested) {
            d->Stop();
            std::lock_guard<std::mutex> g(deviceMutex_);
            Device.reset();
            break;
        }
        if (d->Attached()) {
            // Without a time limit where the backend can wake the read: the
            // stop does (a cancel set before the read began is seen here).
            int n = cancelRequested_ ? -1 : d->Read(report, wakeable ? -1 : timing::hidReadTimeoutMs);
            if (cancelRequested_) n = -1;   // a cancelled read fails
            if (n == 0) continue;
            if (n < 0) {
                // A cancelled read is the stop, not a failure of the device.
                d->ReadFailed(cancelRequested_ != 0);
                wakeReader(false);   // a stop may be waiting for this
                continue;
            }
            DeliverReport(report, n);
        } else {
            const bool told = waitForSearch();
            // Once a stop has begun the device is not searched for again.
            if (StopRequested || cancelRequested_) continue;
            const HidFailure::State before = failure_->Get();
            d->OpenDevice();
            const HidFailure::State after = failure_->Get();
            if (!told && d->Attached() && arrivals_) {
                // Plugged in, and the watch has never told anything: it is
                // taken to be silent (udev without its daemon) until it does.
                std::lock_guard<std::mutex> g(wakeMutex_);
                if (!arrivalTold_) arrivalsSilent_ = true;
            }
            if (!d->Attached() && searchOutcomeChanged_ &&
                (after.foundNotOpened != before.foundNotOpened || after.failure.text != before.failure.text))
                searchOutcomeChanged_();
        }
    }
    {
        std::lock_guard<std::mutex> g(wakeMutex_);
        ReaderDone = 1;
    }
    wake_.notify_all();
}
