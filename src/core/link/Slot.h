#pragma once
// A numbered channel over another connection. Outgoing bytes travel in 24-byte
// frames: 55 AA seq len slotLo slotHi, 16 payload bytes, CRC-16 low, high.
#include "core/link/Connection.h"

#include <array>

uint16_t Crc16Xmodem(const uint8_t* data, int len, uint16_t crc = 0);

constexpr int kFrameSize = 24;
constexpr int kFramePayload = 16;

class Slot : public Connection {
public:
    Slot(int16_t number, Connection* lower);
    ~Slot() override;

    bool IsOpen() override { return lower_->IsOpen(); }
    bool IsReady() override { return lower_->IsReady(); }
    unsigned SendFailures() override { return lower_->SendFailures(); }
    void SendData(const uint8_t* data, int32_t len) override;
    void SendText(const QByteArray& text) override;
    bool Open() override { return true; }
    void Close() override {}
    QByteArray GetName() override;
    void Receive(const uint8_t* data, int32_t len) override;

    int16_t SlotNumber() const { return slotNumber_; }
    Connection* Lower() const { return lower_; }
    // The sequence number of the next frame (the sending thread's).
    uint8_t TxSequence() const { return txSequence_; }

private:
    const int16_t slotNumber_;
    Connection* const lower_;
    uint8_t txSequence_ = 0;                      // used by the sending thread only
    std::array<uint8_t, kFrameSize> RxWindow{};   // the last 24 bytes received; receiving thread only
};

// Device-side helper shared by the simulated module: one complete frame.
std::array<uint8_t, kFrameSize> BuildFrame(int16_t slot, uint8_t seq, const uint8_t* data, int n);
