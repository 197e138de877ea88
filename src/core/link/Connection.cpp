#include "core/link/Connection.h"

#include "core/link/Slot.h"

#include <algorithm>

void Connection::Receive(const uint8_t* data, int32_t len) {
    for (Connection* c : Receivers()) c->Receive(data, len);
}

std::unique_ptr<Slot> Connection::CreateSlot(int16_t number) { return std::make_unique<Slot>(number, this); }

void Connection::AddReceiver(Connection* c) {
    std::lock_guard<std::mutex> g(receiversMutex_);
    receivers_.push_back(c);
}

void Connection::RemoveReceiver(Connection* c) {
    std::lock_guard<std::mutex> g(receiversMutex_);
    receivers_.erase(std::remove(receivers_.begin(), receivers_.end(), c), receivers_.end());
}

std::vector<Connection*> Connection::Receivers() const {
    std::lock_guard<std::mutex> g(receiversMutex_);
    return receivers_;
}

void OnChangeStateList::Add(ChangeStateEvent* e) {
    std::lock_guard<std::mutex> g(mutex_);
    list_.push_back(e);
}

void OnChangeStateList::Notify(const char* name) const {
    std::vector<ChangeStateEvent*> copy;
    {
        std::lock_guard<std::mutex> g(mutex_);
        copy = list_;
    }
    for (ChangeStateEvent* e : copy) e->StateChanged(name);
}
