#pragma once
// A connection for tests: records every send as one piece, is open or closed
// as the test says, hands bytes the test feeds it to its receivers, and can
// answer a send through a hook. Sends and feeds come from one thread at a time.
#include "core/link/Connection.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <functional>

class FakeConnection : public Connection {
public:
    bool IsOpen() override { return open; }
    void SendData(const uint8_t* d, int32_t n) override {
        SendText(QByteArray(reinterpret_cast<const char*>(d), std::max<int32_t>(n, 0)));
    }
    // While closed nothing goes out: nothing is recorded, nothing answered.
    void SendText(const QByteArray& t) override {
        if (!open) return;
        sent.append(t);
        if (onSend) onSend(t);
    }
    bool Open() override { return open = true; }
    void Close() override { open = false; }
    QByteArray GetName() override { return name; }

    // As if the bytes had arrived from the far end.
    void feed(const QByteArray& b) { Receive(reinterpret_cast<const uint8_t*>(b.constData()), int32_t(b.size())); }

    bool open = true;
    QByteArray name = "fake";
    QList<QByteArray> sent;
    std::function<void(const QByteArray&)> onSend;   // runs after each send is recorded
};
