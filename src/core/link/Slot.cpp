#include "core/link/Slot.h"

#include <cstring>

uint16_t Crc16Xmodem(const uint8_t* data, int len, uint16_t crc) {
    for (int i = 0; i < len; ++i) {
        crc ^= uint16_t(data[i]) << 8;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

Slot::Slot(int16_t number, Connection* lower) : slotNumber_(number), lower_(lower) { lower_->AddReceiver(this); }

Slot::~Slot() { lower_->RemoveReceiver(this); }

QByteArray Slot::GetName() { return "Slot[" + QByteArray::number(slotNumber_) + "]"; }

void Slot::SendText(const QByteArray& text) {
    SendData(reinterpret_cast<const uint8_t*>(text.constData()), int32_t(text.size()));
}

void Slot::SendData(const uint8_t* data, int32_t len) {
    for (int32_t pos = 0; pos < len; pos += kFramePayload) {
        const int n = std::min<int32_t>(kFramePayload, len - pos);
        const uint8_t header[6] = {0x55,
                                   0xAA,
                                   txSequence_,
                                   uint8_t(n),
                                   uint8_t(slotNumber_ & 0xFF),
                                   uint8_t((uint16_t(slotNumber_) >> 8) & 0xFF)};
        lower_->SendData(header, 6);
        ++txSequence_;
        uint16_t crc = Crc16Xmodem(header, 6);
        uint8_t block[kFramePayload] = {};
        std::memcpy(block, data + pos, size_t(n));
        lower_->SendData(block, kFramePayload);
        crc = Crc16Xmodem(block, kFramePayload, crc);
        const uint8_t tail[2] = {uint8_t(crc & 0xFF), uint8_t(crc >> 8)};
        lower_->SendData(tail, 2);
    }
}

void Slot::Receive(const uint8_t* data, int32_t len) {
    const uint8_t lo = uint8_t(slotNumber_ & 0xFF);
    const uint8_t hi = uint8_t((uint16_t(slotNumber_) >> 8) & 0xFF);
    for (int32_t i = 0; i < len; ++i) {
        std::memmove(RxWindow.data(), RxWindow.data() + 1, kFrameSize - 1);
        RxWindow[kFrameSize - 1] = data[i];
        const auto& w = RxWindow;
        if (w[0] != 0x55 || w[1] != 0xAA || w[4] != lo || w[3] > kFramePayload || w[5] != hi) continue;
        // A header whose check fails is no frame: the window just slides on,
        // so a good frame that starts inside it (after a frame cut short, or
        // behind header-like bytes in a payload) is still found.
        const uint16_t crc = Crc16Xmodem(w.data(), 22);
        if (uint8_t(crc & 0xFF) != w[22] || uint8_t(crc >> 8) != w[23]) continue;
        const int n = w[3];
        uint8_t payload[kFramePayload];
        std::memcpy(payload, w.data() + 6, size_t(n));
        // The bytes of a frame taken belong to it alone: none of them may
        // start another.
        RxWindow.fill(0);
        Connection::Receive(payload, n);
    }
}

std::array<uint8_t, kFrameSize> BuildFrame(int16_t slot, uint8_t seq, const uint8_t* data, int n) {
    std::array<uint8_t, kFrameSize> f{};
    f[0] = 0x55;
    f[1] = 0xAA;
    f[2] = seq;
    f[3] = uint8_t(n);
    f[4] = uint8_t(slot & 0xFF);
    f[5] = uint8_t((uint16_t(slot) >> 8) & 0xFF);
    if (n > 0) std::memcpy(f.data() + 6, data, size_t(n));
    const uint16_t crc = Crc16Xmodem(f.data(), 22);
    f[22] = uint8_t(crc & 0xFF);
    f[23] = uint8_t(crc >> 8);
    return f;
}
