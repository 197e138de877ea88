#include "core/link/Connection.h"

#include "core/link/Slot.h"

#include <algorithm>

void Connection::Receive(const uint8_t* data, int32_t len) {
    std::vector<Connection*> receivers;
    uint64_t number;
    {
        std::lock_guard<std::mutex> g(receiversMutex_);
        receivers = receivers_;
        number = ++started_;
        deliveries_.push_back({number, std::this_thread::get_id()});
    }
    // The delivery leaves however it ends, or a removal would wait for ever.
    struct Leave {
        Connection* self;
        uint64_t number;
        ~Leave() {
            {
                std::lock_guard<std::mutex> g(self->receiversMutex_);
                auto& d = self->deliveries_;
                d.erase(std::find_if(d.begin(), d.end(), [&](const Delivery& x) { return x.number == number; }));
            }
            self->delivered_.notify_all();
        }
    } leave{this, number};
    // A subscriber removed meanwhile (by one before it in this delivery) is skipped.
    for (Connection* c : receivers)
        if (subscribed(c)) c->Receive(data, len);
}

bool Connection::subscribed(Connection* c) const {
    std::lock_guard<std::mutex> g(receiversMutex_);
    return std::find(receivers_.begin(), receivers_.end(), c) != receivers_.end();
}

std::unique_ptr<Slot> Connection::CreateSlot(int16_t number) { return std::make_unique<Slot>(number, this); }

void Connection::AddReceiver(Connection* c) {
    std::lock_guard<std::mutex> g(receiversMutex_);
    receivers_.push_back(c);
}

void Connection::RemoveReceiver(Connection* c) {
    std::unique_lock<std::mutex> lk(receiversMutex_);
    receivers_.erase(std::remove(receivers_.begin(), receivers_.end(), c), receivers_.end());
    // Deliveries that start from here on do not reach c; those under way on
    // other threads may, and are waited for. One on this thread is the
    // caller's own: it cannot end before this returns, and skips c.
    const uint64_t last = started_;
    const auto self = std::this_thread::get_id();
    delivered_.wait(lk, [&] {
        return std::none_of(deliveries_.begin(), deliveries_.end(),
                            [&](const Delivery& d) { return d.number <= last && d.thread != self; });
    });
}

std::vector<Connection*> Connection::Receivers() const {
    std::lock_guard<std::mutex> g(receiversMutex_);
    return receivers_;
}

void OnChangeStateList::Add(ChangeStateEvent* e) {
    std::lock_guard<std::mutex> g(mutex_);
    list_.push_back(e);
}

void OnChangeStateList::Notify(LinkEvent event) const {
    std::vector<ChangeStateEvent*> copy;
    {
        std::lock_guard<std::mutex> g(mutex_);
        copy = list_;
    }
    for (ChangeStateEvent* e : copy) e->StateChanged(event);
}
