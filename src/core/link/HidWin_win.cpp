#include "core/link/HidWin.h"

#include "core/text/Timing.h"

#include <QString>

#include <cstdio>
#include <iterator>

namespace {

// One open interface. Each transfer waits on its own handle's event; a handle
// opened for reading has a wake event beside it (auto-reset: the wait that
// sees it clears it). Why the latest call failed is kept with it.
struct Node {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE done = nullptr;
    HANDLE wake = nullptr;
    std::string error;

    int fail(const char* call, DWORD code) {
        error = winFailure(call, code);
        return -1;
    }
};

Node& nodeOf(HidHandle h) { return *static_cast<Node*>(h); }

thread_local std::string failedText;   // of the latest enumerate or open on this thread

}   // namespace

std::string winFailure(const char* call, DWORD code) {
    wchar_t words[512];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), words, DWORD(std::size(words)), nullptr);
    while (n > 0 && (words[n - 1] == L'\r' || words[n - 1] == L'\n' || words[n - 1] == L' ')) --n;
    char head[96];
    std::snprintf(head, sizeof head, "%s: (0x%08lX) ", call, static_cast<unsigned long>(code));
    return head + QString::fromWCharArray(words, int(n)).toStdString();
}

void WinHidBackend::keepFailure(int, const std::string& text) { failedText = text; }

HANDLE WinHidBackend::openNode(const std::string& path) {
    const std::wstring wide = QString::fromStdString(path).toStdWString();
    return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

HidHandle WinHidBackend::open(const std::string& path, bool forWriting) {
    failedText.clear();
    const HANDLE file = openNode(path);
    if (file == INVALID_HANDLE_VALUE) {
        failedText = winFailure("open_device", ::GetLastError());
        return nullptr;
    }
    auto* n = new Node;
    n->file = file;
    n->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!forWriting) n->wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!n->done || (!forWriting && !n->wake)) {
        const DWORD e = ::GetLastError();
        close(n);
        failedText = winFailure("CreateEvent", e);
        return nullptr;
    }
    return n;
}

int WinHidBackend::read(HidHandle h, uint8_t* report, int timeoutMs) {
    Node& n = nodeOf(h);
    n.error.clear();
    // Room for exactly one of the module's input reports (a larger buffer
    // may be filled with several).
    OVERLAPPED ov{};
    ov.hEvent = n.done;
    ::ResetEvent(n.done);
    if (!::ReadFile(n.file, report, kReportSize, nullptr, &ov)) {
        const DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) return n.fail("ReadFile", e);
        const HANDLE waits[2] = {n.done, n.wake};
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
        if (woke != WAIT_OBJECT_0) {
            // Woken, or the time is up: the read is cancelled, and waited for
            // since it reads into report (one may have come meanwhile).
            const DWORD waitError = ::GetLastError();
            ::CancelIoEx(n.file, &ov);
            DWORD got = 0;
            const bool read = ::GetOverlappedResult(n.file, &ov, &got, TRUE);
            if (woke == WAIT_FAILED) return n.fail("WaitForMultipleObjects", waitError);
            return read ? int(got) : 0;
        }
    }
    DWORD got = 0;
    if (!::GetOverlappedResult(n.file, &ov, &got, TRUE))
        return n.fail("hid_read_timeout/GetOverlappedResult", ::GetLastError());
    return int(got);
}

bool WinHidBackend::write(HidHandle h, const uint8_t* report) {
    Node& n = nodeOf(h);
    n.error.clear();
    OVERLAPPED ov{};
    ov.hEvent = n.done;
    ::ResetEvent(n.done);
    if (!::WriteFile(n.file, report, kReportSize, nullptr, &ov)) {
        const DWORD e = ::GetLastError();
        if (e != ERROR_IO_PENDING) {
            n.fail("WriteFile", e);
            return false;
        }
        if (::WaitForSingleObject(n.done, DWORD(timing::hidWriteTimeoutMs)) != WAIT_OBJECT_0) {
            // The report is the caller's: the write lets go of it before this returns.
            ::CancelIoEx(n.file, &ov);
            DWORD put = 0;
            ::GetOverlappedResult(n.file, &ov, &put, TRUE);
            n.fail("hid_write/WaitForSingleObject", WAIT_TIMEOUT);
            return false;
        }
    }
    DWORD put = 0;
    if (!::GetOverlappedResult(n.file, &ov, &put, FALSE)) {
        n.fail("hid_write/GetOverlappedResult", ::GetLastError());
        return false;
    }
    return put == kReportSize;
}

void WinHidBackend::wakeRead(HidHandle h) { ::SetEvent(nodeOf(h).wake); }

void WinHidBackend::close(HidHandle h) {
    Node* n = static_cast<Node*>(h);
    if (!n) return;
    if (n->file != INVALID_HANDLE_VALUE) ::CloseHandle(n->file);
    for (HANDLE e : {n->done, n->wake})
        if (e) ::CloseHandle(e);
    delete n;
}

std::string WinHidBackend::lastError(HidHandle h) { return h ? nodeOf(h).error : failedText; }
