#include "sim/SimHidPipe.h"

#include <QString>

#include <cstring>

SimHidPipe::SimHidPipe(std::string name) : base_(std::move(name)) {
    // A pipe's name takes any character but the backslash.
    for (char& c : base_)
        if (c == '\\' || c == ':' || c == '/') c = '-';
}

SimHidPipe::~SimHidPipe() {
    pullOut();
    std::lock_guard<std::mutex> g(mutex_);
    if (nodeEnd_ != INVALID_HANDLE_VALUE) ::CloseHandle(nodeEnd_);
}

bool SimHidPipe::plugIn() {
    pullOut();
    std::lock_guard<std::mutex> g(mutex_);
    const std::string path = "\\\\.\\pipe\\kestrum-" + base_ + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(plugs_++);
    const std::wstring wide = QString::fromStdString(path).toStdWString();
    const HANDLE server =
        ::CreateNamedPipeW(wide.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) return false;
    const HANDLE client = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (client == INVALID_HANDLE_VALUE || !::SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) {
        if (client != INVALID_HANDLE_VALUE) ::CloseHandle(client);
        ::CloseHandle(server);
        return false;
    }
    if (nodeEnd_ != INVALID_HANDLE_VALUE) ::CloseHandle(nodeEnd_);
    deviceEnd_ = server;
    nodeEnd_ = client;
    path_ = path;
    return true;
}

void SimHidPipe::pullOut() {
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ == INVALID_HANDLE_VALUE) return;
    ::CloseHandle(deviceEnd_);
    deviceEnd_ = INVALID_HANDLE_VALUE;
    path_.clear();
}

std::string SimHidPipe::path() const {
    std::lock_guard<std::mutex> g(mutex_);
    return path_;
}

bool SimHidPipe::deviceTransfer(bool writing, void* buf, DWORD size, DWORD* done, DWORD ms) {
    std::lock_guard<std::mutex> g(mutex_);
    *done = 0;
    if (deviceEnd_ == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool ok =
        writing ? ::WriteFile(deviceEnd_, buf, size, nullptr, &ov) : ::ReadFile(deviceEnd_, buf, size, nullptr, &ov);
    if (ok || ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) ::CancelIoEx(deviceEnd_, &ov);
        ok = ::GetOverlappedResult(deviceEnd_, &ov, done, TRUE);
    }
    ::CloseHandle(ov.hEvent);
    return ok;
}

bool SimHidPipe::sendReport(const uint8_t* report64) {
    uint8_t report[kReportSize] = {};   // the ID byte 0 first
    std::memcpy(report + 1, report64, kReportSize - 1);
    DWORD put;
    return deviceTransfer(true, report, kReportSize, &put, 5000) && put == kReportSize;
}

std::string SimHidPipe::receiveReport() {
    char buf[256];
    DWORD got;
    return deviceTransfer(false, buf, sizeof buf, &got, 5000) ? std::string(buf, got) : std::string();
}

bool SimHidPipe::enumerate(std::vector<HidInterface>& out) {
    ++enumerations_;
    out.clear();
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ != INVALID_HANDLE_VALUE) out.push_back({"HID\\VID_04D8&PID_0054&REV_0100", path_});
    return true;
}

HANDLE SimHidPipe::openNode(const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ == INVALID_HANDLE_VALUE || path != path_) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), nodeEnd_, ::GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return h;
}

int SimHidPipe::read(HidHandle h, uint8_t* report, int timeoutMs) {
    ++readsBegun_;
    const int n = WinHidBackend::read(h, report, timeoutMs);
    lastRead_ = n;
    ++readsEnded_;
    return n;
}
