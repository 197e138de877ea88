#include "core/link/HID.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
}   // namespace

bool ListModules(HidBackend& backend, std::vector<HidInterface>& out, std::string* why) {
    out.clear();
    std::vector<HidInterface> list;
    if (!backend.enumerate(list)) {
        if (why) {
            *why = backend.lastError(nullptr);
            if (why->empty()) *why = "cannot list the HID devices";
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

void HidFailure::Set(const std::string& reason, bool foundNotOpened) {
    std::lock_guard<std::mutex> g(mutex_);
    reason_ = reason;
    foundNotOpened_ = foundNotOpened;
}

void HidFailure::Clear() { Set({}); }

void HidFailure::NotFound() {
    std::lock_guard<std::mutex> g(mutex_);
    foundNotOpened_ = false;
}

std::string HidFailure::Reason() const {
    std::lock_guard<std::mutex> g(mutex_);
    return reason_;
}

bool HidFailure::FoundNotOpened() const {
    std::lock_guard<std::mutex> g(mutex_);
    return foundNotOpened_;
}

HID::HID(HidBackend& backend) : Backend(backend) {}

HID::~HID() { CloseHandles(); }

bool HID::FindDevice() {
    std::vector<HidInterface> modules;
    std::string why;
    if (!ListModules(Backend, modules, &why)) {
        Failure->Set(why);
        return false;
    }
    for (const HidInterface& m : modules) {
        if (Wanted.empty() || m.path == Wanted || m.serial == Wanted) {
            DevicePath = m.path;
            return true;
        }
    }
    Failure->NotFound();
    return false;
}

void HID::OpenDevice() {
    ReadHandle = nullptr;
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        WriteHandle = nullptr;
    }
    if (!FindDevice()) return;
    const std::string cannotOpen = "cannot open " + DevicePath;
    ReadHandle = Backend.open(DevicePath, false);
    if (!ReadHandle) {
        Failure->Set(reasonOf(nullptr, cannotOpen), true);
        return;
    }
    HidHandle w = Backend.open(DevicePath, true);
    if (!w) {
        Failure->Set(reasonOf(nullptr, cannotOpen), true);
        Backend.close(ReadHandle);
        ReadHandle = nullptr;
        return;
    }
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        WriteHandle = w;
    }
    Failure->Clear();
    ++Attaches;
    Attached = 1;
    NotifyState("Attached");
}

bool HID::Write(const uint8_t* data, int32_t len) {
    if (!Attached) return false;
    std::lock_guard<std::mutex> g(writeMutex_);
    if (!WriteHandle) return false;
    for (int32_t pos = 0; pos < len; pos += kReportPayload) {
        const int n = std::min<int32_t>(kReportPayload, len - pos);
        uint8_t report[kReportSize] = {};
        report[1] = 1;
        report[2] = uint8_t(n);
        std::memcpy(report + 5, data + pos, size_t(n));
        if (!Backend.write(WriteHandle, report)) {
            Failure->Set(reasonOf(WriteHandle, "cannot write to the device"));
            return false;
        }
    }
    return true;
}

void HID::ReadFailed() { Failure->Set(reasonOf(ReadHandle, "cannot read from the device")); }

std::string HID::reasonOf(HidHandle h, const std::string& otherwise) {
    std::string reason = Backend.lastError(h);
    return reason.empty() ? otherwise : reason;
}

void HID::NotifyState(const char* name) { StateListeners.Notify(name); }

void HID::CloseHandles() {
    if (ReadHandle) Backend.close(ReadHandle);
    ReadHandle = nullptr;
    std::lock_guard<std::mutex> g(writeMutex_);
    if (WriteHandle) Backend.close(WriteHandle);
    WriteHandle = nullptr;
}
