#include "sim/SimHidraw.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

SimHidraw::SimHidraw(std::string dir) : dir_(std::move(dir)) {}

SimHidraw::~SimHidraw() {
    pullOut();
    std::lock_guard<std::mutex> g(mutex_);
    if (nodeEnd_ >= 0) ::close(nodeEnd_);
}

bool SimHidraw::plugIn() {
    pullOut();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0) return false;
    std::string path;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (nodeEnd_ >= 0) ::close(nodeEnd_);
        nodeEnd_ = pair[0];
        deviceEnd_ = pair[1];
        path_ = path = dir_ + "/hidraw" + std::to_string(plugs_++);
    }
    // The name last, as the kernel makes the node once the device is there.
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void SimHidraw::pullOut() {
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ < 0) return;
    ::close(deviceEnd_);
    deviceEnd_ = -1;
    ::unlink(path_.c_str());
    path_.clear();
}

std::string SimHidraw::path() const {
    std::lock_guard<std::mutex> g(mutex_);
    return path_;
}

bool SimHidraw::sendReport(const uint8_t* report64) {
    std::lock_guard<std::mutex> g(mutex_);
    return deviceEnd_ >= 0 && ::send(deviceEnd_, report64, kReportSize - 1, MSG_NOSIGNAL) == kReportSize - 1;
}

std::string SimHidraw::receiveReport() {
    int fd;
    {
        std::lock_guard<std::mutex> g(mutex_);
        fd = deviceEnd_ >= 0 ? ::dup(deviceEnd_) : -1;
    }
    if (fd < 0) return {};
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    ssize_t n = 0;
    if (::poll(&p, 1, 5000) == 1) n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    ::close(fd);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

bool SimHidraw::enumerate(std::vector<HidInterface>& out) {
    ++enumerations_;
    out.clear();
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ >= 0) out.push_back({"HID\\VID_04D8&PID_0054&REV_0100", path_});
    return true;
}

int SimHidraw::openNode(const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    if (deviceEnd_ < 0 || path != path_) {
        errno = ENOENT;
        return -1;
    }
    return ::fcntl(nodeEnd_, F_DUPFD_CLOEXEC, 0);
}

int SimHidraw::read(HidHandle h, uint8_t* report, int timeoutMs) {
    ++readsBegun_;
    const int n = HidrawBackend::read(h, report, timeoutMs);
    lastRead_ = n;
    ++readsEnded_;
    return n;
}

std::unique_ptr<ArrivalWatch> SimHidraw::watchArrivals(std::function<void()> arrived) {
    HidrawNodes nodes;
    nodes.dir = dir_;
    nodes.udevDaemon = !nodesWatched_;
    return watchHidraw(std::move(arrived), nodes);
}
