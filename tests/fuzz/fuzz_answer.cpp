// The answer accumulator and the answer parser: any received text, cut any
// way, is taken without harm and within its memory bound; an answer the
// device forms ("KEY=value", two characters, "->PASS", the prompt) gives back
// exactly its key and value; and a query is answered by the answer that names
// its key, whatever comes before it.
#include "../support/FakeConnection.h"
#include "../support/TimingGuard.h"
#include "FuzzInput.h"
#include "core/protocol/Exchange.h"
#include "core/text/Timing.h"

#include <QByteArray>

namespace {

QByteArray without(QByteArray s, const QByteArray& what) { return s.replace(what, ""); }

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    TimingGuard savedTiming;
    timing::answerWaitMs = 0;   // nothing here waits for the device
    timing::commandAttempts = 1;
    const uint8_t mode = in.byte();
    size_t n;
    const uint8_t* p = in.rest(&n);
    const QByteArray text(reinterpret_cast<const char*>(p), int(n));

    if (mode % 3 == 0) {
        // Any text, in pieces of any size.
        Exchange ex;
        ex.pump = nullptr;
        for (int pos = 0, i = 0; pos < text.size(); ++i) {
            const int piece = 1 + uint8_t(text[i % text.size()]) % 97;
            ex.AccumulateResponse(reinterpret_cast<const uint8_t*>(text.constData()) + pos,
                                  int32_t(std::min<int>(piece, int(text.size()) - pos)));
            pos += piece;
            FUZZ_CHECK(ex.Buffer().size() <= Exchange::kMaxPending);
        }
        QByteArray key, value;
        if (SplitAnswer(text, key, value)) {
            FUZZ_CHECK(text.startsWith(key + "="));
            FUZZ_CHECK(text.indexOf(value, int(key.size()) + 1) == key.size() + 1 || value.isEmpty());
        }
        return 0;
    }

    // A well-formed answer from key and value parts of the text.
    // A key as the device's are written: letters, digits, ':', '.', '_'.
    const int cut = text.isEmpty() ? 0 : uint8_t(text[0]) % (int(text.size()) + 1);
    QByteArray key;
    for (const char c : text.left(cut))
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' || c == '.' ||
            c == '_')
            key += c;
    // A value holds no line end, no "->PASS" and no prompt; removing one piece
    // may join two others into one, so until nothing is left to remove.
    QByteArray value = text.mid(cut);
    for (QByteArray before; before != value;) {
        before = value;
        value = without(without(without(without(value, "->PASS"), ":L"), "\n"), "\r");
    }
    if (key.isEmpty()) key = "K";
    const QByteArray answer = key + "=" + value + "\r\n->PASS\r\n:L2 >";
    FUZZ_CHECK(ParseAnswerValue(answer) == value);
    QByteArray k, v;
    FUZZ_CHECK(SplitAnswer(answer, k, v) && k == key && v == value);

    if (mode % 3 == 1) {
        // The query gets that answer, also when the late answer to an earlier
        // query comes first, cut at every piece size the text suggests.
        Exchange ex;
        ex.pump = nullptr;
        FakeConnection ch;
        ex.setChannel(&ch);
        FUZZ_CHECK(ex.Query("EARLIER:KEY.X").outcome == Outcome::NoAnswer);   // the device is slow
        const QByteArray stream = "EARLIER:KEY.X=x\r\n->PASS\r\n:L2 >" + answer;
        const int piece = 1 + cut % 13;
        ch.onSend = [&](const QByteArray&) {
            for (int pos = 0; pos < stream.size(); pos += piece)
                ex.AccumulateResponse(reinterpret_cast<const uint8_t*>(stream.constData()) + pos,
                                      int32_t(std::min<int>(piece, int(stream.size()) - pos)));
        };
        const Exchange::Answer a = ex.Query(key);
        FUZZ_CHECK(a.outcome == Outcome::Accepted || key == "EARLIER:KEY.X");
        if (key != "EARLIER:KEY.X") FUZZ_CHECK(ParseAnswerValue(a.text) == value);
        FUZZ_CHECK(ex.Unanswered() == 0);
    }
    return 0;
}
