#include "core/link/HidBackend.h"

#include <hidapi/hidapi.h>

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#ifdef _WIN32
#include "core/link/HidArrivals_win.h"
#endif
#ifdef __linux__
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#endif

namespace {

#ifdef __linux__
// A hidraw device added, as udev tells it once its rules (and so the node's
// access rights) are applied. A thread sleeps in poll on the monitor and on a
// pipe that ends it.
class UdevArrivals : public ArrivalWatch {
public:
    static std::unique_ptr<ArrivalWatch> start(std::function<void()> arrived) {
        std::unique_ptr<UdevArrivals> w(new UdevArrivals(std::move(arrived)));
        return w->ok() ? std::move(w) : nullptr;
    }
    ~UdevArrivals() override {
        if (thread_.joinable()) {
            const char stop = 0;
            while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {}
            thread_.join();
        }
        for (int fd : wake_)
            if (fd >= 0) ::close(fd);
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
    }

private:
    explicit UdevArrivals(std::function<void()> arrived) : arrived_(std::move(arrived)) {
        udev_ = udev_new();
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
        if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor_) < 0 || ::pipe(wake_) < 0)
            return;
        thread_ = std::thread([this] { run(); });
    }
    bool ok() const { return thread_.joinable(); }

    void run() {
        pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            udev_device* d = udev_monitor_receive_device(monitor_);
            if (!d) continue;
            const char* action = udev_device_get_action(d);
            const bool added = action && std::strcmp(action, "add") == 0;
            udev_device_unref(d);
            if (added) arrived_();
        }
    }

    std::function<void()> arrived_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};
#endif

// Whether hidapi's reason for an empty enumeration says that there is no
// device (or says nothing), rather than that the listing failed.
bool noDevicesIn(const std::string& reason) {
    return reason.empty() || reason.rfind("No HID devices", 0) == 0 ||
           reason.find("not implemented") != std::string::npos;
}

// hidapi's wide strings, null where the device gave none, as UTF-8.
std::string utf8(const wchar_t* text) { return text ? QString::fromWCharArray(text).toStdString() : std::string(); }

// The system's error number of the latest failed call on this thread (0:
// it left none). hidapi keeps only words; on hidraw the number the system
// gave survives in errno, and a call that fails is asked about on its own
// thread (HidBackend::lastError).
thread_local int failedErrno = 0;

class HidapiBackend : public HidBackend {
public:
    HidapiBackend() { hid_init(); }
    ~HidapiBackend() override { hid_exit(); }

    bool enumerate(std::vector<HidInterface>& out) override {
        // hidapi that cannot start (the system lacks what it needs, as under
        // Wine) lists nothing; it says why (lastError).
        errno = 0;
        if (hid_init() < 0) return keepError(false);
        hid_device_info* list = hid_enumerate(0, 0);
        // No list is no device or a failure: hidapi says which in words.
        if (!list) {
            keepError(false);
            return noDevicesIn(lastError(nullptr));
        }
        for (hid_device_info* d = list; d; d = d->next) {
            char id[64];
            std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X&REV_%04X", d->vendor_id, d->product_id,
                          d->release_number);
            out.push_back({id, d->path ? d->path : "", utf8(d->serial_number), utf8(d->product_string)});
        }
        hid_free_enumeration(list);
        return true;
    }

    HidHandle open(const std::string& path, bool) override {
        errno = 0;
        HidHandle h = hid_open_path(path.c_str());
        return h ? h : keepError(h);
    }

    int read(HidHandle h, uint8_t* report, int timeoutMs) override {
        // hidapi gives the report without its ID byte; put the 0 back.
        errno = 0;
        const int n = hid_read_timeout(static_cast<hid_device*>(h), report + 1, kReportSize - 1, timeoutMs);
        if (n < 0) return keepError(n);
        if (n == 0) return n;
        report[0] = 0;
        return n + 1;
    }

    bool write(HidHandle h, const uint8_t* report) override {
        errno = 0;
        if (hid_write(static_cast<hid_device*>(h), report, kReportSize) == kReportSize) return true;
        return keepError(false);
    }

    void close(HidHandle h) override { hid_close(static_cast<hid_device*>(h)); }

private:
    // Keeps the errno a failed call left (none on Windows, where hidapi
    // leaves errno alone) and returns its result.
    template <typename T>
    static T keepError(T result) {
#ifdef _WIN32
        failedErrno = 0;
#else
        failedErrno = errno;
#endif
        return result;
    }

public:
#ifdef __linux__
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return UdevArrivals::start(std::move(arrived));
    }
#endif
#ifdef _WIN32
    // The configuration manager tells each HID interface that appears.
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return watchHidInterfaces(std::move(arrived));
    }
#endif

    Failure::Kind lastErrorKind(HidHandle) override {
        return failedErrno ? Failure::fromErrno(failedErrno).kind : Failure::Kind::None;
    }

    std::string lastError(HidHandle h) override {
        const wchar_t* text = hid_error(static_cast<hid_device*>(h));
        // hidapi says "Success" where it has no error to tell.
        if (!text || std::wcscmp(text, L"Success") == 0) return {};
        return QString::fromWCharArray(text).toStdString();
    }
};

}   // namespace

HidBackend* hidapiBackend() {
    static HidapiBackend backend;
    return &backend;
}
