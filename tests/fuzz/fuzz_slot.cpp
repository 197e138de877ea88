// The slot frame receiver. Frames the tool's own sender builds are received
// whole and in order, whatever the cut into deliveries, also after garbage
// and interleaved with other slots' frames; any bytes at all are taken without
// harm.
#include "../support/FakeConnection.h"
#include "FuzzInput.h"
#include "core/link/Slot.h"

#include <QByteArray>
#include <QList>

#include <algorithm>

namespace {

struct Ends {
    QList<QByteArray> got[3];   // slots 2, 3, 4
    ResponseConnection end2{[this](const uint8_t* d, int32_t n) { got[0] << QByteArray((const char*)d, n); }};
    ResponseConnection end3{[this](const uint8_t* d, int32_t n) { got[1] << QByteArray((const char*)d, n); }};
    ResponseConnection end4{[this](const uint8_t* d, int32_t n) { got[2] << QByteArray((const char*)d, n); }};
};

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t mode = in.byte();

    // The tool's sender builds the frames: a few payloads on slots 2, 3 and 4.
    FakeConnection wire;
    Slot out2(2, &wire), out3(3, &wire), out4(4, &wire);
    Slot* outs[3] = {&out2, &out3, &out4};
    QList<QByteArray> sent[3];
    const int messages = in.byte() % 8;
    for (int i = 0; i < messages; ++i) {
        const int slot = in.byte() % 3;
        size_t n;
        const uint8_t* p = in.take(in.byte() % 17, &n);   // at most one frame each
        outs[slot]->SendData(p, int32_t(n));
        if (n > 0) sent[slot] << QByteArray(reinterpret_cast<const char*>(p), int(n));
    }

    // Garbage first when the mode says so, then the frames, cut into pieces.
    QByteArray stream;
    if (mode & 1) {
        size_t n;
        const uint8_t* g = in.take(in.byte(), &n);
        stream = QByteArray(reinterpret_cast<const char*>(g), int(n));
    }
    const int garbage = int(stream.size());
    stream += wire.sent.join();

    FakeConnection lower;
    Slot in2(2, &lower), in3(3, &lower), in4(4, &lower);
    Ends ends;
    in2.AddReceiver(&ends.end2);
    in3.AddReceiver(&ends.end3);
    in4.AddReceiver(&ends.end4);
    for (int pos = 0; pos < stream.size();) {
        const int piece = 1 + in.byte() % 64;
        const QByteArray chunk = stream.mid(pos, piece);
        lower.feed(chunk);
        pos += piece;
    }

    // A frame the garbage makes together with the start of the real stream
    // (header and check both right) is the only way a sent frame can be lost.
    bool straddles = false;
    for (int p = std::max(0, garbage - (kFrameSize - 1)); p < garbage && p + kFrameSize <= stream.size(); ++p) {
        const auto* w = reinterpret_cast<const uint8_t*>(stream.constData()) + p;
        const uint16_t crc = Crc16Xmodem(w, 22);
        straddles = straddles || (w[0] == 0x55 && w[1] == 0xAA && w[3] <= kFramePayload && w[5] == 0 && w[4] >= 2 &&
                                  w[4] <= 4 && w[22] == (crc & 0xFF) && w[23] == (crc >> 8));
    }
    for (int s = 0; s < 3; ++s) {
        if (garbage == 0) {
            FUZZ_CHECK(ends.got[s] == sent[s]);
        } else if (!straddles) {
            // After garbage every sent frame still arrives, in order, at the
            // end; before them come only frames the garbage itself holds.
            FUZZ_CHECK(ends.got[s].size() >= sent[s].size());
            FUZZ_CHECK(ends.got[s].mid(ends.got[s].size() - sent[s].size()) == sent[s]);
        }
    }
    return 0;
}
