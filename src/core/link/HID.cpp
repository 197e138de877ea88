#include "core/link/HID.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// A failed read or write: the device gone where the system says it went (or
// says nothing and `otherwise` is Gone), any other failure it names an I/O one.
Failure::Kind transferKind(Failure::Kind told, Failure::Kind otherwise) {
    switch (told) {
        case Failure::Kind::None:
            return otherwise;
        case Failure::Kind::NotFound:
        case Failure::Kind::Gone:
            return Failure::Kind::Gone;
        default:
            return Failure::Kind::Io;
    }
}
}   // namespace

bool ListModules(HidBackend& backend, std::vector<HidInterface>& out, Failure* why) {
    out.clear();
    std::vector<HidInterface> list;
    if (!backend.enumerate(list)) {
        if (why) {
            const std::string words = backend.lastError(nullptr);
            const Failure::Kind told = backend.lastErrorKind(nullptr);
            *why = Failure(told == Failure::Kind::None ? Failure::Kind::Io : told,
                           words.empty() ? QString("cannot list the HID devices") : QString::fromStdString(words));
        }
        return false;
    }
    const std::string pattern = lower("Vid_04d8&Pid_0054");
    const size_t n = std::min<size_t>(list.size(), 1000);   // a sane bound on what the platform lists
    for (size_t i = 0; i < n; ++i) {
        HidInterface& d = list[i];
        if (lower(d.hardwareId).find(pattern) == std::string::npos) continue;
        const bool seen = std::any_of(out.begin(), out.end(), [&](const HidInterface& m) { return m.path == d.path; });
        if (!seen) out.push_back(std::move(d));
    }
    return true;
}

void HidFailure::Set(const Failure& failure, bool foundNotOpened) {
    std::lock_guard<std::mutex> g(mutex_);
    state_ = {failure, foundNotOpened};
}

void HidFailure::Clear() { Set({}); }

void HidFailure::NotFound() {
    std::lock_guard<std::mutex> g(mutex_);
    state_.failure.kind = Failure::Kind::NotFound;
    state_.foundNotOpened = false;
}

HidFailure::State HidFailure::Get() const {
    std::lock_guard<std::mutex> g(mutex_);
    return state_;
}

HID::HID(HidBackend& backend, std::string wanted, std::shared_ptr<HidFailure> failure)
    : backend_(backend), wanted_(std::move(wanted)), failure_(std::move(failure)) {}

HID::~HID() { CloseHandles(); }

bool HID::FindDevice() {
    std::vector<HidInterface> modules;
    Failure why;
    if (!ListModules(backend_, modules, &why)) {
        failure_->Set(why);
        return false;
    }
    for (const HidInterface& m : modules) {
        if (wanted_.empty() || m.path == wanted_ || m.serial == wanted_) {
            std::lock_guard<std::mutex> g(pathMutex_);
            devicePath_ = m.path;
            return true;
        }
    }
    failure_->NotFound();
    return false;
}

std::string HID::DevicePath() const {
    std::lock_guard<std::mutex> g(pathMutex_);
    return devicePath_;
}

void HID::OpenDevice() {
    setReadHandle(nullptr);
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        writeHandle_ = nullptr;
    }
    if (!FindDevice()) return;
    const std::string path = DevicePath();
    // Found but not opened: held by another program, or (whatever else the
    // system says) no access to it.
    const auto cannotOpen = [&] {
        const Failure::Kind kind =
            backend_.lastErrorKind(nullptr) == Failure::Kind::Busy ? Failure::Kind::Busy : Failure::Kind::NoAccess;
        failure_->Set({kind, reasonOf(nullptr, "cannot open " + QString::fromStdString(path))}, true);
    };
    HidHandle r = backend_.open(path, false);
    if (!r) {
        cannotOpen();
        return;
    }
    HidHandle w = backend_.open(path, true);
    if (!w) {
        cannotOpen();
        backend_.close(r);
        return;
    }
    setReadHandle(r);
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        writeHandle_ = w;
    }
    failure_->Clear();
    ++attaches_;
    attached_ = 1;
    NotifyState(LinkEvent::Attached);
}

int HID::Read(uint8_t* report, int timeoutMs) { return backend_.read(readHandle_, report, timeoutMs); }

void HID::WakeRead() {
    std::lock_guard<std::mutex> g(readMutex_);
    if (readHandle_) backend_.wakeRead(readHandle_);
}

void HID::setReadHandle(HidHandle h) {
    std::lock_guard<std::mutex> g(readMutex_);
    readHandle_ = h;
}

bool HID::Write(const uint8_t* data, int32_t len) {
    if (!attached_) return false;
    std::lock_guard<std::mutex> g(writeMutex_);
    if (!writeHandle_) return false;
    for (int32_t pos = 0; pos < len; pos += kReportPayload) {
        const int n = std::min<int32_t>(kReportPayload, len - pos);
        uint8_t report[kReportSize] = {};
        report[1] = 1;
        report[2] = uint8_t(n);
        std::memcpy(report + 5, data + pos, size_t(n));
        if (!backend_.write(writeHandle_, report)) {
            failure_->Set({transferKind(backend_.lastErrorKind(writeHandle_), Failure::Kind::Io),
                           reasonOf(writeHandle_, "cannot write to the device")});
            return false;
        }
    }
    return true;
}

void HID::ReadFailed(bool cancelled) {
    if (!cancelled)
        failure_->Set({transferKind(backend_.lastErrorKind(readHandle_), Failure::Kind::Gone),
                       reasonOf(readHandle_, "cannot read from the device")});
    attached_ = 0;
    NotifyState(LinkEvent::Detached);
    CloseHandles();
}

void HID::Stop() {
    CloseHandles();
    attached_ = 0;
    NotifyState(LinkEvent::Detached);
}

QString HID::reasonOf(HidHandle h, const QString& otherwise) const {
    const std::string words = backend_.lastError(h);
    return words.empty() ? otherwise : QString::fromStdString(words);
}

void HID::NotifyState(LinkEvent event) { stateListeners_.Notify(event); }

void HID::CloseHandles() {
    {
        std::lock_guard<std::mutex> g(readMutex_);
        if (readHandle_) backend_.close(readHandle_);
        readHandle_ = nullptr;
    }
    std::lock_guard<std::mutex> g(writeMutex_);
    if (writeHandle_) backend_.close(writeHandle_);
    writeHandle_ = nullptr;
}

HidHandle HID::WriteHandle() const {
    std::lock_guard<std::mutex> g(writeMutex_);
    return writeHandle_;
}
