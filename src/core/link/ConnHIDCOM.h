#pragma once
// The connection over the USB HID device. Open starts a reader thread that
// searches for the device at once and whenever one is plugged in while it is
// away (or on a short interval where the system cannot tell, or tells
// nothing), reads its input reports while it is attached and passes their
// payloads to the subscribers (the slots) on its own thread. Where the
// backend can wake a read, the reader sleeps in it until a report comes or a
// stop wakes it; elsewhere each read has a time limit.
#include "core/link/Connection.h"
#include "core/link/HID.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class ConnHIDCOM;

// Passes the HID object's state changes on to the connection's listeners.
class HIDChangeStateEvent : public ChangeStateEvent {
public:
    explicit HIDChangeStateEvent(ConnHIDCOM* c) : conn_(c) {}
    void StateChanged(LinkEvent event) override;

private:
    ConnHIDCOM* conn_;
};

// The queries (IsOpen, IsReady, Attaches, DevicePath, LastFailure…) may be
// asked on any thread.
class ConnHIDCOM : public Connection {
public:
    // wanted: which module to use (as HID takes it); empty, the first one listed.
    explicit ConnHIDCOM(HidBackend* backend = hidapiBackend(), std::string wanted = {});
    ~ConnHIDCOM() override;

    // From Open until the reader has ended.
    bool IsOpen() override;
    void SendData(const uint8_t* data, int32_t len) override;
    void SendText(const QByteArray& text) override;
    bool Open() override;
    void Close() override;   // the stop sequence; returns once the reader has ended
    QByteArray GetName() override { return Name; }
    bool IsReady() override;
    // Which attach of the device this is (0: none yet): a new one is a new
    // module, logged out, whatever came before.
    uint32_t Attaches() const;
    // The path of the module found (empty: none yet, or the reader ended).
    std::string DevicePath() const;
    unsigned SendFailures() override { return sendFailures_; }
    // One input report as the reader got it (n bytes, report ID first): its
    // payload goes to the subscribers when it is a whole data report.
    void DeliverReport(const uint8_t* report, int n);
    // Why the device cannot be used now: the latest failure to list or open
    // it, or the read or write that failed; none when it opened since, or
    // nothing failed since Open. NotFound (with the words of the failure
    // before, if any) while no matching device is there.
    Failure LastFailure() const { return failure_->Get().failure; }
    // Its words (empty when none).
    QString LastError() const { return LastFailure().text; }
    // A matching device is there but could not be opened (no access, or
    // held by another program); LastFailure says why.
    bool FoundButNotOpened() const { return failure_->Get().foundNotOpened; }

    // Told Attached and Detached, on the reader thread.
    OnChangeStateList& StateListeners() { return stateListeners_; }
    // Called on the reader thread when a search ends otherwise than the one
    // before it (a module found but not opened, or why): set before Open.
    void setSearchOutcomeChanged(std::function<void()> f) { searchOutcomeChanged_ = std::move(f); }

private:
    void ReaderThread();
    // True when the search is due because a device may have been plugged in
    // (or it is the first), false when the interval ran out (or a stop began).
    bool waitForSearch();
    // Wakes the reader (and a stop waiting for it); search: a device may
    // have been plugged in.
    void wakeReader(bool search);
    // The system told that a device may have been plugged in.
    void arrived();

    const QByteArray Name = "HID";
    HidBackend& backend_;
    const std::string wanted_;
    const std::shared_ptr<HidFailure> failure_ = std::make_shared<HidFailure>();
    OnChangeStateList stateListeners_;
    std::function<void()> searchOutcomeChanged_;
    std::unique_ptr<HIDChangeStateEvent> hidEvent_;
    // The device the reader works with: made by Open before the reader
    // starts, destroyed by the reader as it ends. The reader uses it without
    // the lock (nobody else changes it); other threads take deviceMutex_,
    // which the reader holds only to destroy it, so a write under way
    // finishes first.
    mutable std::mutex deviceMutex_;
    std::unique_ptr<HID> Device;
    std::atomic<uint8_t> StopRequested{0};
    std::atomic<uint8_t> ReaderDone{0};
    // Cancels the reader's read under way; the read then fails as if the
    // device had gone, and the reader does not search for it again until the
    // next Open.
    std::atomic<uint8_t> cancelRequested_{0};
    std::thread reader_;
    // The reader sleeps on wake_ while no device is attached; a stop sleeps
    // on it until the reader has done its part.
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool searchDue_ = false;
    std::unique_ptr<ArrivalWatch> arrivals_;   // null: the system cannot tell arrivals
    // Since Open (under wakeMutex_): whether the watch told anything, and
    // whether it is taken to be silent: a search on the interval found the
    // module it never told of. Silent, the short interval serves until it
    // tells something.
    bool arrivalTold_ = false;
    bool arrivalsSilent_ = false;
    std::atomic<unsigned> sendFailures_{0};
};
