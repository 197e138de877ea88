#pragma once
// The USB link as the tests set it up: the simulated module behind its
// backend, the connection with a recorder of its state changes, its slots,
// and bounded waits for what the reader thread delivers.
#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Collects deliveries from any thread; waits are bounded.
class Collector {
public:
    Collector()
        : end([this](const uint8_t* d, int32_t n) {
              {
                  std::lock_guard<std::mutex> g(m_);
                  got_.append(QByteArray(reinterpret_cast<const char*>(d), n));
              }
              cv_.notify_all();
          }) {}
    QList<QByteArray> got() const {
        std::lock_guard<std::mutex> g(m_);
        return got_;
    }
    bool waitCount(int n, int ms = 3000) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return got_.size() >= n; });
    }
    ResponseConnection end;

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    QList<QByteArray> got_;
};

// Records the link's state changes by their names, from the reader thread.
class StateRecorder : public ChangeStateEvent {
public:
    void StateChanged(LinkEvent event) override {
        {
            std::lock_guard<std::mutex> g(m_);
            names_.append(QString::fromLatin1(linkEventName(event)));
        }
        cv_.notify_all();
    }
    QStringList names() const {
        std::lock_guard<std::mutex> g(m_);
        return names_;
    }
    bool waitCount(int n, int ms = 3000) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return names_.size() >= n; });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    QStringList names_;
};

// One simulated module behind its backend; its live values stand still, so
// every report is one the test caused.
struct SimUsb {
    SimUsb() { backend.setTickIntervalMs(0); }
    SimModule module;
    SimHidBackend backend{module};
};

// The USB connection over a backend the test keeps (made before it), its
// state changes recorded. The connection stops first, then its slots go.
class UsbLink {
public:
    explicit UsbLink(HidBackend& backend, std::string wanted = {}) : conn(&backend, std::move(wanted)) {
        conn.StateListeners().Add(&states);
    }
    UsbLink(const UsbLink&) = delete;
    UsbLink& operator=(const UsbLink&) = delete;
    ~UsbLink() {
        conn.Close();
        slots_.clear();
    }

    // A slot on the connection, kept here.
    Slot* slot(int16_t number) {
        slots_.push_back(conn.CreateSlot(number));
        return slots_.back().get();
    }
    // Opens the connection (if it is not open) and waits for the device's
    // first attach: false when it was not told in time.
    bool openAttached() {
        conn.Open();
        return states.waitCount(1) && conn.IsReady();
    }

    StateRecorder states;
    ConnHIDCOM conn;

private:
    std::vector<std::unique_ptr<Slot>> slots_;
};

// One simulated module on the USB link.
struct LinkRig : SimUsb, UsbLink {
    LinkRig() : UsbLink(backend) {}
    // Opens the connection (if it is not open), plugs the module in and
    // waits for it to attach.
    bool plugIn() {
        conn.Open();
        backend.attach();
        return openAttached();
    }
};
