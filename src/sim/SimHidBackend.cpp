#include "sim/SimHidBackend.h"

#include "core/link/Slot.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

// The device's end of the slot framing: incoming report payloads run through
// one slot per channel; outgoing text is framed by the same slots into a byte
// stream that is then cut into reports.
class SimHidBackend::DeviceSide : public Connection {
public:
    explicit DeviceSide(SimModule& m) {
        for (int ch : {SimModule::Commands, SimModule::Log, SimModule::Status}) {
            auto* s = new Slot(int16_t(ch), this);
            slots_.emplace_back(s);
            auto* r = new ResponseConnection([&m, ch](const uint8_t* d, int32_t n) {
                m.input(ch, QByteArray(reinterpret_cast<const char*>(d), n));
            });
            ends_.emplace_back(r);
            s->AddReceiver(r);
        }
    }
    ~DeviceSide() override {
        for (auto& s : slots_) s.reset();   // slots leave our receiver list first
    }
    QByteArray frame(int channel, const QByteArray& text) {
        std::lock_guard<std::mutex> g(txMutex_);
        stream_.clear();
        for (auto& s : slots_)
            if (s->SlotNumber() == channel) s->SendText(text);
        return stream_;
    }
    bool IsOpen() override { return true; }
    void SendData(const uint8_t* d, int32_t n) override { stream_.append(reinterpret_cast<const char*>(d), n); }
    void SendText(const QByteArray& t) override { stream_ += t; }
    bool Open() override { return true; }
    void Close() override {}
    QByteArray GetName() override { return "device"; }

private:
    std::mutex txMutex_;
    QByteArray stream_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::unique_ptr<ResponseConnection>> ends_;
};

namespace {
// While a write hands its report to the device: when the link delivered it.
// The device's answer leaves from then, on the link's clock, however late
// the writing thread's sleep ended.
thread_local std::chrono::steady_clock::time_point deliveredAt{};

std::string serialOf(int index) {
    char text[16];
    std::snprintf(text, sizeof text, "SIM%04d", index + 1);
    return text;
}
}   // namespace

SimHidBackend::SimHidBackend(SimModule& module, int index)
    : module_(module),
      path_("sim:brisal-" + std::to_string(index)),
      serial_(serialOf(index)),
      device_(new DeviceSide(module)) {
    // Benchmarks of the whole kestrum-cli process set the link model here.
    reportDelayUs_ = std::max(0, qEnvironmentVariableIntValue("KESTRUM_SIM_REPORT_US"));
    module_.setOutput([this](int ch, const QByteArray& text) { deviceOutput(ch, text); });
    module_.onDetachRequested = [this] { detach(); };
}

SimHidBackend::~SimHidBackend() {
    module_.setOutput(nullptr);
    module_.onDetachRequested = nullptr;
}

void SimHidBackend::attach(bool announce) {
    module_.resetSession();
    {
        std::lock_guard<std::mutex> g(mutex_);
        attached_ = true;
    }
    if (announce) announceArrival();
}

class SimHidBackend::Watch : public ArrivalWatch {
public:
    Watch(SimHidBackend& b, std::function<void()> arrived) : backend(b), arrived(std::move(arrived)) {
        std::lock_guard<std::mutex> g(backend.watchMutex_);
        backend.watches_.push_back(this);
    }
    ~Watch() override {
        std::lock_guard<std::mutex> g(backend.watchMutex_);
        backend.watches_.erase(std::find(backend.watches_.begin(), backend.watches_.end(), this));
    }
    SimHidBackend& backend;
    const std::function<void()> arrived;
};

std::unique_ptr<ArrivalWatch> SimHidBackend::watchArrivals(std::function<void()> arrived) {
    return std::make_unique<Watch>(*this, std::move(arrived));
}

int SimHidBackend::arrivalWatches() const {
    std::lock_guard<std::mutex> g(watchMutex_);
    return int(watches_.size());
}

void SimHidBackend::announceArrival() {
    std::lock_guard<std::mutex> g(watchMutex_);
    for (Watch* w : watches_) w->arrived();
}

void SimHidBackend::detach() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        attached_ = false;
        ++generation_;   // every open handle goes stale, as when the cable is pulled
        inputs_.clear();
    }
    cv_.notify_all();
    module_.resetSession();
}

bool SimHidBackend::isAttached() const {
    std::lock_guard<std::mutex> g(mutex_);
    return attached_;
}

std::vector<SimHidBackend::Report> SimHidBackend::outputReports() const {
    std::lock_guard<std::mutex> g(mutex_);
    return outputs_;
}

void SimHidBackend::clearOutputReports() {
    std::lock_guard<std::mutex> g(mutex_);
    outputs_.clear();
}

void SimHidBackend::injectInputReport(const Report& r) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        inputs_.push_back({Clock::now(), r});
    }
    cv_.notify_all();
}

void SimHidBackend::setReportDelayUs(int us) {
    std::lock_guard<std::mutex> g(mutex_);
    reportDelayUs_ = us;
}

void SimHidBackend::setOtherInterfaces(std::vector<HidInterface> list) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        others_ = std::move(list);
    }
    announceArrival();
}

int SimHidBackend::enumerations() const {
    std::lock_guard<std::mutex> g(mutex_);
    return enumerations_;
}

long SimHidBackend::inputReportsRead() const {
    std::lock_guard<std::mutex> g(mutex_);
    return inputsRead_;
}

void SimHidBackend::setTickIntervalMs(int ms) {
    std::lock_guard<std::mutex> g(mutex_);
    tickIntervalMs_ = ms;
}

bool SimHidBackend::enumerate(std::vector<HidInterface>& out) {
    std::lock_guard<std::mutex> g(mutex_);
    ++enumerations_;
    if (!listRefused_.empty()) {
        openError_ = listRefused_;
        return false;
    }
    out = others_;
    if (attached_) out.push_back({kHardwareId, path_, serial_, kProduct});
    return true;
}

HidHandle SimHidBackend::open(const std::string& path, bool) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!attached_ || path != path_) {
        openError_ = "No such device: " + path;
        return nullptr;
    }
    if (!openRefused_.empty()) {
        openError_ = openRefused_;
        return nullptr;
    }
    return new Handle{generation_};
}

std::string SimHidBackend::lastError(HidHandle h) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!h) return openError_;
    // Reads and writes fail on a handle the detach left stale, and writes
    // while they are refused.
    return handleValid(h) ? writeRefused_ : "the module was detached";
}

bool SimHidBackend::handleValid(HidHandle h) const {
    return h && attached_ && static_cast<Handle*>(h)->generation == generation_;
}

void SimHidBackend::close(HidHandle h) { delete static_cast<Handle*>(h); }

void SimHidBackend::setListRefused(const std::string& reason) {
    std::lock_guard<std::mutex> g(mutex_);
    listRefused_ = reason;
}

void SimHidBackend::setWriteRefused(const std::string& reason) {
    std::lock_guard<std::mutex> g(mutex_);
    writeRefused_ = reason;
}

void SimHidBackend::setOpenRefused(const std::string& reason) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        openRefused_ = reason;
    }
    announceArrival();   // as after replugging it with its rights changed
}

int SimHidBackend::read(HidHandle h, uint8_t* report, int timeoutMs) {
    // A read without a time limit waits for a report, the detach or a wake;
    // while the live values advance, their next tick ends the wait too, and
    // the read goes on once it is made. A read with a limit makes a tick due
    // as it starts.
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    Handle& handle = *static_cast<Handle*>(h);
    for (;;) {
        bool tick = false;
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (!handleValid(h)) return -1;
            const auto now = Clock::now();
            if (tickIntervalMs_ > 0 && now - lastTick_ >= std::chrono::milliseconds(tickIntervalMs_)) {
                lastTick_ = now;
                tick = true;
            }
        }
        if (tick) module_.tick();   // may queue status text and log lines

        std::unique_lock<std::mutex> lk(mutex_);
        const bool ticking = timeoutMs < 0 && tickIntervalMs_ > 0;
        const auto nextTick = lastTick_ + std::chrono::milliseconds(tickIntervalMs_);
        for (;;) {
            if (!handleValid(h)) return -1;
            if (handle.woken) {
                handle.woken = false;
                return 0;
            }
            const auto now = Clock::now();
            if (!inputs_.empty() && inputs_.front().ready <= now) {
                std::memcpy(report, inputs_.front().report.data(), kReportSize);
                inputs_.pop_front();
                ++inputsRead_;
                return kReportSize;
            }
            if (timeoutMs >= 0 && now >= deadline) return 0;
            if (ticking && now >= nextTick) break;
            const bool bounded = timeoutMs >= 0 || ticking;
            auto until = timeoutMs >= 0 ? deadline : nextTick;
            if (!inputs_.empty() && (!bounded || inputs_.front().ready < until)) until = inputs_.front().ready;
            if (bounded || !inputs_.empty())
                cv_.wait_until(lk, until);
            else
                cv_.wait(lk);
        }
    }
}

void SimHidBackend::wakeRead(HidHandle h) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        static_cast<Handle*>(h)->woken = true;
    }
    cv_.notify_all();
}

bool SimHidBackend::write(HidHandle h, const uint8_t* report) {
    Clock::time_point delivered;
    bool takesTime;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!handleValid(h) || !writeRefused_.empty()) return false;
        Report r;
        std::memcpy(r.data(), report, kReportSize);
        outputs_.push_back(r);
        // The link carries one report at a time, each in its own slot of time.
        delivered = std::max(Clock::now(), outFree_) + std::chrono::microseconds(reportDelayUs_);
        outFree_ = delivered;
        takesTime = reportDelayUs_ > 0;
    }
    if (takesTime) std::this_thread::sleep_until(delivered);
    if (report[1] != 1 || report[2] > kReportPayload) return true;
    deliveredAt = delivered;
    device_->Receive(report + 5, report[2]);   // may answer through deviceOutput
    deliveredAt = {};
    return true;
}

void SimHidBackend::deviceOutput(int channel, const QByteArray& text) {
    const QByteArray stream = device_->frame(channel, text);
    const int answerDelayMs = channel == SimModule::Commands ? module_.knobs().answerDelayMs : 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!attached_) return;
        // Each answer leaves answerDelayMs after its command, after every
        // answer before it: a link that is slow, not one that reorders.
        const Clock::time_point from = deliveredAt == Clock::time_point{} ? Clock::now() : deliveredAt;
        auto ready = std::max(lastReady_, from + std::chrono::milliseconds(answerDelayMs));
        for (int pos = 0; pos < stream.size(); pos += kReportPayload) {
            const int n = std::min<int>(kReportPayload, int(stream.size()) - pos);
            Report r{};
            r[1] = 1;
            r[2] = uint8_t(n);
            std::memcpy(r.data() + 5, stream.constData() + pos, size_t(n));
            ready += std::chrono::microseconds(reportDelayUs_);
            inputs_.push_back({ready, r});
        }
        lastReady_ = ready;
    }
    cv_.notify_all();
}
