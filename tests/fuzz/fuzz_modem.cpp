// The modem's lines and result codes: a line is collected the same whatever
// the bytes are, never longer than its buffer; the reading of a line while
// dialling is consistent (CONNECT 9600 connects, any other CONNECT is a wrong
// speed, a final result fails the dial); the "NO CARRIER" watch of a call
// sees the modem's line wherever the data is cut.
#include "FuzzInput.h"
#include "core/modem/TModem.h"

#include <QByteArray>
#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    // Lines, each ended by a line feed or by a full buffer.
    QList<QByteArray> lines;
    ModemLine line;
    QByteArray raw;
    for (const char c : bytes) {
        raw += c;
        if (line.push(c)) {
            const QByteArray t = line.text();
            FUZZ_CHECK(t.size() <= ModemLine::kMax);
            FUZZ_CHECK(raw.startsWith(t));   // the text ends at a zero byte, if any
            FUZZ_CHECK(t.contains('\0') == false);
            lines << t;
            raw.clear();
            line = ModemLine();
        }
    }

    for (const QByteArray& l : lines) {
        const TModem::DialLine d = TModem::ClassifyDialLine(l);
        if (l.contains("CONNECT 9600")) {
            FUZZ_CHECK(d.kind == TModem::DialLine::Connected && d.speed == "9600");
        } else if (l.contains("CONNECT")) {
            FUZZ_CHECK(d.kind == TModem::DialLine::Failed && d.state == TModem::State::WrongSpeed);
            FUZZ_CHECK(!d.speed.contains('/'));
        } else if (d.kind != TModem::DialLine::PassOver) {
            FUZZ_CHECK(d.kind == TModem::DialLine::Failed && d.state != TModem::State::Connected);
        }
    }

    // The watch over a call's data, fed in two pieces cut anywhere, keeping
    // as much of the first piece as the reader keeps.
    const bool whole = TModem::CarrierLostIn("\n" + bytes);
    for (int cut = 0; cut <= bytes.size(); ++cut) {
        const QByteArray first = "\n" + bytes.left(cut);
        const bool early = TModem::CarrierLostIn(first);
        const QByteArray tail = first.right(int(sizeof "NO CARRIER") + 1);
        FUZZ_CHECK((early || TModem::CarrierLostIn(tail + bytes.mid(cut))) == whole);
    }
    return 0;
}
