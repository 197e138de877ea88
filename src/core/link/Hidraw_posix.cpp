#include "core/link/Hidraw.h"

#include <libudev.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// One open node. A node opened for reading has an eventfd beside it that
// wakeRead writes; the reader alone reads both. Why the latest call on the
// node failed is kept with it, as hidapi keeps it with its device.
struct Node {
    int fd = -1;
    int wake = -1;
    int error = 0;   // the errno, 0 where the system gave none
    std::string errorText;

    int fail(int e, const char* text = nullptr) {
        error = e;
        errorText = text ? text : std::strerror(e);
        return -1;
    }
};

Node& nodeOf(HidHandle h) { return *static_cast<Node*>(h); }

// Why the latest enumerate or open on this thread failed.
thread_local int failedErrno = 0;
thread_local std::string failedText;

// The device pulled out: the node hangs up (POLLHUP, POLLERR) and says no
// more; hidapi's words for it.
constexpr const char* kDisconnected = "device disconnected";

}   // namespace

void HidrawBackend::keepFailure(int error, const std::string& text) {
    failedErrno = error;
    failedText = text;
}

int HidrawBackend::openNode(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }

HidHandle HidrawBackend::open(const std::string& path, bool forWriting) {
    keepFailure(0, {});
    const int fd = openNode(path);
    if (fd < 0) {
        const int e = errno;
        keepFailure(e, "Failed to open a device with path '" + path + "': " + std::strerror(e));
        return nullptr;
    }
    auto* n = new Node;
    n->fd = fd;
    if (!forWriting) {
        // The node is read only once poll() has said a report is there, so a
        // read never blocks; the reader sleeps in poll() alone.
        const int flags = ::fcntl(fd, F_GETFL);
        n->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || n->wake < 0) {
            const int e = errno;
            close(n);
            keepFailure(e, std::strerror(e));
            return nullptr;
        }
    }
    return n;
}

int HidrawBackend::read(HidHandle h, uint8_t* report, int timeoutMs) {
    Node& n = nodeOf(h);
    n.error = 0;
    n.errorText.clear();
    pollfd fds[2] = {{n.fd, POLLIN, 0}, {n.wake, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready == 0) return 0;
    if (ready < 0) return errno == EINTR ? 0 : n.fail(errno);
    if (fds[1].revents & POLLIN) {
        uint64_t wakes;
        while (::read(n.wake, &wakes, sizeof wakes) < 0 && errno == EINTR) {}
        return 0;
    }
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return n.fail(0, kDisconnected);
    const ssize_t got = ::read(n.fd, report + 1, kReportSize - 1);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : n.fail(errno);
    if (got == 0) return n.fail(0, kDisconnected);
    report[0] = 0;   // the report ID the node leaves out
    return int(got) + 1;
}

bool HidrawBackend::write(HidHandle h, const uint8_t* report) {
    Node& n = nodeOf(h);
    n.error = 0;
    n.errorText.clear();
    ssize_t put;
    do {
        put = ::write(n.fd, report, kReportSize);
    } while (put < 0 && errno == EINTR);
    if (put == kReportSize) return true;
    if (put < 0) n.fail(errno);
    return false;
}

void HidrawBackend::wakeRead(HidHandle h) {
    const uint64_t one = 1;
    while (::write(nodeOf(h).wake, &one, sizeof one) < 0 && errno == EINTR) {}
}

void HidrawBackend::close(HidHandle h) {
    Node* n = static_cast<Node*>(h);
    if (!n) return;
    if (n->fd >= 0) ::close(n->fd);
    if (n->wake >= 0) ::close(n->wake);
    delete n;
}

std::string HidrawBackend::lastError(HidHandle h) { return h ? nodeOf(h).errorText : failedText; }

Failure::Kind HidrawBackend::lastErrorKind(HidHandle h) {
    const int e = h ? nodeOf(h).error : failedErrno;
    return e ? Failure::fromErrno(e).kind : Failure::Kind::None;
}

namespace {

// Closing an inotify instance waits for the kernel's grace period (8 to 24 ms
// measured here), which would make every stop of the link that long: an
// instance whose watch ends is kept for the next one instead.
std::mutex inotifyPoolMutex;
std::vector<int> inotifyPool;

int takeInotify() {
    {
        std::lock_guard<std::mutex> g(inotifyPoolMutex);
        if (!inotifyPool.empty()) {
            const int fd = inotifyPool.back();
            inotifyPool.pop_back();
            return fd;
        }
    }
    return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

// Gives an instance back without its watch (removing it is quick; what it
// still holds to read is at most a name of no interest or a spurious search).
void giveBack(int fd, int watch) {
    if (watch >= 0) ::inotify_rm_watch(fd, watch);
    std::lock_guard<std::mutex> g(inotifyPoolMutex);
    inotifyPool.push_back(fd);
}

// A hidraw device added, as udev tells it once its rules (and so the node's
// access rights) are applied; where no udev daemon runs, the node the kernel
// makes. A thread sleeps in poll on both and on a pipe that ends it.
class HidrawArrivals : public ArrivalWatch {
public:
    static std::unique_ptr<ArrivalWatch> start(std::function<void()> arrived, const HidrawNodes& nodes) {
        std::unique_ptr<HidrawArrivals> w(new HidrawArrivals(std::move(arrived), nodes));
        return w->ok() ? std::move(w) : nullptr;
    }
    ~HidrawArrivals() override {
        if (thread_.joinable()) {
            const char stop = 0;
            while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {}
            thread_.join();
        }
        for (int fd : wake_)
            if (fd >= 0) ::close(fd);
        if (inotify_ >= 0) giveBack(inotify_, nodeWatch_);
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
    }

private:
    HidrawArrivals(std::function<void()> arrived, const HidrawNodes& nodes) : arrived_(std::move(arrived)) {
        udev_ = udev_new();
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
        if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
                         udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
        if (!nodes.udevDaemon) {
            inotify_ = takeInotify();
            nodeWatch_ = inotify_ >= 0 ? ::inotify_add_watch(inotify_, nodes.dir.c_str(), IN_CREATE) : -1;
            if (inotify_ >= 0 && nodeWatch_ < 0) {
                giveBack(inotify_, -1);
                inotify_ = -1;
            }
            nodeAppeared();   // what an instance given back still held
        }
        if ((!monitor_ && inotify_ < 0) || ::pipe2(wake_, O_CLOEXEC) < 0) return;
        thread_ = std::thread([this] { run(); });
    }
    bool ok() const { return thread_.joinable(); }

    void run() {
        // poll() passes over a negative descriptor: a source missing.
        pollfd fds[3] = {
            {wake_[0], POLLIN, 0}, {monitor_ ? udev_monitor_get_fd(monitor_) : -1, POLLIN, 0}, {inotify_, POLLIN, 0}};
        bool udevTold = false;
        for (;;) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            if (fds[1].revents) {
                udev_device* d = udev_monitor_receive_device(monitor_);
                if (d) {
                    const char* action = udev_device_get_action(d);
                    const bool added = action && std::strcmp(action, "add") == 0;
                    udev_device_unref(d);
                    udevTold = true;
                    if (added) arrived_();
                } else if (fds[1].revents & POLLERR) {
                    arrived_();   // the monitor overflowed: an arrival may be among what it lost
                }
            }
            // Once udev has told anything, it tells arrivals after its rules,
            // and the nodes' own creation (before them) is not passed on.
            if (fds[2].revents && nodeAppeared() && !udevTold) arrived_();
        }
    }

    // Whether a hidraw node was among the names created since the last call.
    bool nodeAppeared() {
        bool hidraw = false;
        if (inotify_ < 0) return false;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(inotify_, buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return hidraw;
            }
            for (ssize_t pos = 0; pos < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + pos);
                if (e->len && std::strncmp(e->name, "hidraw", 6) == 0) hidraw = true;
                pos += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

    std::function<void()> arrived_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int inotify_ = -1;
    int nodeWatch_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

bool udevDaemonRuns() {
    udev* u = udev_new();
    udev_queue* q = u ? udev_queue_new(u) : nullptr;
    const bool runs = q && udev_queue_get_udev_is_active(q) > 0;
    if (q) udev_queue_unref(q);
    if (u) udev_unref(u);
    return runs;
}

}   // namespace

std::unique_ptr<ArrivalWatch> watchHidraw(std::function<void()> arrived, const HidrawNodes& nodes) {
    return HidrawArrivals::start(std::move(arrived), nodes);
}

std::unique_ptr<ArrivalWatch> watchHidraw(std::function<void()> arrived) {
    HidrawNodes nodes;
    nodes.udevDaemon = udevDaemonRuns();
    return watchHidraw(std::move(arrived), nodes);
}
