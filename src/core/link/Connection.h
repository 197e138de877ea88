#pragma once
// A Connection is a byte pipe that can send, that hands what it receives to an
// ordered list of subscribers, and that can be asked whether it is open.
#include "core/link/LinkEvent.h"

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Slot;

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    virtual ~Connection() = default;

    virtual bool IsOpen() = 0;
    virtual void SendData(const uint8_t* data, int32_t len) = 0;
    virtual void SendText(const QByteArray& text) = 0;
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual QByteArray GetName() = 0;
    // Passes the bytes to every subscriber, in the order they were added.
    virtual void Receive(const uint8_t* data, int32_t len);
    // A numbered channel on this connection; it must go before the connection.
    virtual std::unique_ptr<Slot> CreateSlot(int16_t number);
    // Present on the connections that reach a device (USB and modem).
    virtual bool IsReady() { return IsOpen(); }
    // Sends that did not go out so far (the system refused a write, or the
    // device was away), counted over the connection's life: a sender
    // compares the count before and after its send. Where a connection
    // keeps its failures, it keeps the reason too. 0 where sends cannot fail.
    virtual unsigned SendFailures() { return 0; }

    // Subscribers are not owned. They may be added and removed on any thread.
    // A subscriber added during a delivery gets the next one. Once
    // RemoveReceiver has returned the subscriber is never called again: it
    // waits until the deliveries that started before it, on other threads,
    // have left this connection, so the subscriber may be destroyed right
    // after. A subscriber that removes itself (or another) from inside a
    // delivery on this connection is not waited for by that delivery, which
    // only skips what was removed.
    void AddReceiver(Connection* c);
    void RemoveReceiver(Connection* c);
    std::vector<Connection*> Receivers() const;

private:
    struct Delivery {
        uint64_t number;
        std::thread::id thread;
    };
    bool subscribed(Connection* c) const;

    mutable std::mutex receiversMutex_;   // everything below
    std::condition_variable delivered_;   // a delivery has left
    std::vector<Connection*> receivers_;
    std::vector<Delivery> deliveries_;   // the deliveries under way
    uint64_t started_ = 0;               // deliveries started so far
};

// An end point that hands received bytes to a plain function.
class ResponseConnection : public Connection {
public:
    using Handler = std::function<void(const uint8_t* data, int32_t len)>;
    explicit ResponseConnection(Handler h) : Handler_(std::move(h)) {}

    bool IsOpen() override { return false; }
    void SendData(const uint8_t*, int32_t) override {}
    void SendText(const QByteArray&) override {}
    bool Open() override { return false; }
    void Close() override {}
    QByteArray GetName() override { return {}; }
    void Receive(const uint8_t* data, int32_t len) override {
        if (Handler_) Handler_(data, len);
    }

private:
    Handler Handler_;
};

// Listener for link state changes (Attached, Detached); linkEventName gives
// a change's fixed text.
class ChangeStateEvent {
public:
    virtual ~ChangeStateEvent() = default;
    virtual void StateChanged(LinkEvent event) = 0;
};

// Ordered, non-owning list of state listeners; safe to add to from any thread.
class OnChangeStateList {
public:
    void Add(ChangeStateEvent* e);
    void Notify(LinkEvent event) const;   // each listener once, in order

private:
    mutable std::mutex mutex_;
    std::vector<ChangeStateEvent*> list_;
};
