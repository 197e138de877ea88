#include "core/link/HID.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
}  // namespace

HID::HID(HidBackend& backend) : Backend(backend) {}

HID::~HID() { CloseHandles(); }

bool HID::FindDevice() {
    std::vector<HidInterface> list;
    if (!Backend.enumerate(list)) return false;
    const std::string pattern = lower("Vid_04d8&Pid_0054");
    const size_t n = std::min<size_t>(list.size(), 1000);
    for (size_t i = 0; i < n; ++i) {
        if (lower(list[i].hardwareId).find(pattern) != std::string::npos) {
            DevicePath = list[i].path;
            return true;
        }
    }
    return false;
}

void HID::OpenDevice() {
    ReadHandle = nullptr;
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        WriteHandle = nullptr;
    }
    if (!FindDevice()) return;
    ReadHandle = Backend.open(DevicePath, false);
    if (!ReadHandle) return;
    HidHandle w = Backend.open(DevicePath, true);
    if (!w) {
        Backend.close(ReadHandle);
        ReadHandle = nullptr;
        return;
    }
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        WriteHandle = w;
    }
    Attached = 1;
    NotifyState("Attached");
}

bool HID::Write(const uint8_t* data, int32_t len) {
    if (!Attached) return true;
    std::lock_guard<std::mutex> g(writeMutex_);
    if (!WriteHandle) return true;
    for (int32_t pos = 0; pos < len; pos += kReportPayload) {
        const int n = std::min<int32_t>(kReportPayload, len - pos);
        uint8_t report[kReportSize] = {};
        report[1] = 1;
        report[2] = uint8_t(n);
        std::memcpy(report + 5, data + pos, size_t(n));
        if (!Backend.write(WriteHandle, report)) break;
    }
    return true;
}

void HID::NotifyState(const char* name) { StateListeners.Notify(name); }

void HID::CloseHandles() {
    if (ReadHandle) Backend.close(ReadHandle);
    ReadHandle = nullptr;
    std::lock_guard<std::mutex> g(writeMutex_);
    if (WriteHandle) Backend.close(WriteHandle);
    WriteHandle = nullptr;
}
