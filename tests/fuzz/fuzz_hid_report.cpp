// The HID report reader: whatever a read returns (any length, any kind, any
// length byte), only whole data reports reach the slots, and frames the device
// packs into reports of up to 60 bytes are received whole and in order,
// whatever other reports come in between.
#include "../support/FakeConnection.h"
#include "FuzzInput.h"
#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstring>

namespace {

// No device: the connection is never opened, the reports are handed in.
class NoDevice : public HidBackend {
public:
    bool enumerate(std::vector<HidInterface>&) override { return false; }
    HidHandle open(const std::string&, bool) override { return nullptr; }
    int read(HidHandle, uint8_t*, int) override { return -1; }
    bool write(HidHandle, const uint8_t*) override { return false; }
    void close(HidHandle) override {}
};

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    NoDevice device;
    ConnHIDCOM conn(&device);
    const auto slot = conn.CreateSlot(2);
    QList<QByteArray> got;
    ResponseConnection end(
        [&](const uint8_t* d, int32_t n) { got << QByteArray(reinterpret_cast<const char*>(d), n); });
    slot->AddReceiver(&end);

    // The device's payloads on slot 2, framed by a slot of its own.
    FakeConnection wire;
    Slot framer(2, &wire);
    QList<QByteArray> sent;
    const int messages = in.byte() % 6;
    for (int i = 0; i < messages; ++i) {
        size_t n;
        const uint8_t* p = in.take(1 + in.byte() % 16, &n);
        if (n == 0) break;
        framer.SendData(p, int32_t(n));
        sent << QByteArray(reinterpret_cast<const char*>(p), int(n));
    }

    // Reports: data reports carrying the frame stream, with stray reads of
    // any shape in between.
    const QByteArray stream = wire.sent.join();
    for (int pos = 0; pos < stream.size() || !in.empty();) {
        uint8_t report[kReportSize + 8] = {};
        const uint8_t what = in.byte();
        if ((what & 3) == 0 && !in.empty()) {
            // A stray read: length and bytes as the fuzzer says, never a whole
            // data report (that would carry data of its own).
            int n = in.byte() % (kReportSize + 8);
            size_t got_;
            const uint8_t* b = in.take(size_t(n), &got_);
            std::memcpy(report, b, got_);
            if (n == kReportSize) report[1] = 2;
            conn.DeliverReport(report, n);
            continue;
        }
        if (pos >= stream.size()) break;
        const int n = std::min(1 + what % kReportPayload, int(stream.size()) - pos);
        report[1] = 1;
        report[2] = uint8_t(n);
        std::memcpy(report + 5, stream.constData() + pos, size_t(n));
        conn.DeliverReport(report, kReportSize);
        pos += n;
    }
    FUZZ_CHECK(got == sent);
    return 0;
}
