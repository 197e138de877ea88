#include "sim/SimHidBus.h"

#include "sim/SimHidBackend.h"

#include <utility>

SimHidBus::SimHidBus(std::vector<SimHidBackend*> members) : members_(std::move(members)) {}

bool SimHidBus::enumerate(std::vector<HidInterface>& out) {
    out.clear();
    for (SimHidBackend* m : members_) {
        std::vector<HidInterface> list;
        if (!m->enumerate(list)) {
            std::lock_guard<std::mutex> g(mutex_);
            error_ = m->lastError(nullptr);
            return false;
        }
        out.insert(out.end(), list.begin(), list.end());
    }
    return true;
}

HidHandle SimHidBus::open(const std::string& path, bool forWriting) {
    for (SimHidBackend* m : members_) {
        if (m->path() != path) continue;
        HidHandle h = m->open(path, forWriting);
        std::lock_guard<std::mutex> g(mutex_);
        if (!h) {
            error_ = m->lastError(nullptr);
            return nullptr;
        }
        owners_[h] = m;
        return h;
    }
    std::lock_guard<std::mutex> g(mutex_);
    error_ = "No such device: " + path;
    return nullptr;
}

SimHidBackend* SimHidBus::ownerOf(HidHandle h) const {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = owners_.find(h);
    return it == owners_.end() ? nullptr : it->second;
}

int SimHidBus::read(HidHandle h, uint8_t* report, int timeoutMs) {
    SimHidBackend* m = ownerOf(h);
    return m ? m->read(h, report, timeoutMs) : -1;
}

void SimHidBus::wakeRead(HidHandle h) {
    if (SimHidBackend* m = ownerOf(h)) m->wakeRead(h);
}

bool SimHidBus::write(HidHandle h, const uint8_t* report) {
    SimHidBackend* m = ownerOf(h);
    return m && m->write(h, report);
}

void SimHidBus::close(HidHandle h) {
    SimHidBackend* m = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        const auto it = owners_.find(h);
        if (it == owners_.end()) return;
        m = it->second;
        owners_.erase(it);
    }
    m->close(h);
}

std::string SimHidBus::lastError(HidHandle h) {
    if (!h) {
        std::lock_guard<std::mutex> g(mutex_);
        return error_;
    }
    SimHidBackend* m = ownerOf(h);
    return m ? m->lastError(h) : "not a handle of this bus";
}

namespace {
struct Watches : ArrivalWatch {
    std::vector<std::unique_ptr<ArrivalWatch>> each;
};
}   // namespace

std::unique_ptr<ArrivalWatch> SimHidBus::watchArrivals(std::function<void()> arrived) {
    auto w = std::make_unique<Watches>();
    for (SimHidBackend* m : members_) w->each.push_back(m->watchArrivals(arrived));
    return w;
}
