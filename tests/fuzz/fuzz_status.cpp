// The status pair parser: any text is taken without harm within its memory
// bound, and the pairs it hands out do not depend on how the text is cut into
// deliveries.
#include "FuzzInput.h"
#include "core/protocol/StatusParser.h"

#include <QByteArray>
#include <QList>
#include <QPair>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int piece = 1 + in.byte() % 31;
    size_t n;
    const uint8_t* p = in.rest(&n);
    const QByteArray text(reinterpret_cast<const char*>(p), int(n));

    QList<QPair<QByteArray, QByteArray>> whole, cut;
    StatusTextParser a, b;
    a.Feed(text, [&](const QByteArray& k, const QByteArray& v) { whole.append({k, v}); });
    for (int pos = 0; pos < text.size(); pos += piece) {
        b.Feed(text.mid(pos, piece), [&](const QByteArray& k, const QByteArray& v) { cut.append({k, v}); });
        FUZZ_CHECK(b.Buffer().size() <= StatusTextParser::kMaxBuffer);
    }
    FUZZ_CHECK(whole == cut);
    FUZZ_CHECK(a.Buffer() == b.Buffer());
    for (const auto& [k, v] : whole) {
        FUZZ_CHECK(!k.contains('=') && !k.contains('}'));
        FUZZ_CHECK(!v.isEmpty() && !v.contains('}'));
    }
    return 0;
}
