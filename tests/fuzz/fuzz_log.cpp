// The log line splitter and the module tag cut: any text is taken without
// harm within the memory bound; without zero bytes (which end a delivery) the
// lines do not depend on how the text is cut into deliveries.
#include "FuzzInput.h"
#include "core/protocol/StatusParser.h"

#include <QByteArray>
#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int piece = 1 + in.byte() % 31;
    size_t n;
    const uint8_t* p = in.rest(&n);
    const QByteArray text(reinterpret_cast<const char*>(p), int(n));

    QList<QByteArray> whole, cut;
    LogLineSplitter a, b;
    a.Feed(text, [&](const QByteArray& line) { whole << line; });
    for (int pos = 0; pos < text.size(); pos += piece) {
        b.Feed(text.mid(pos, piece), [&](const QByteArray& line) { cut << line; });
        FUZZ_CHECK(b.Buffer().size() <= LogLineSplitter::kMaxBuffer);
    }
    if (!text.contains('\0')) {
        FUZZ_CHECK(whole == cut);
        FUZZ_CHECK(whole.size() == text.count('\r'));
    }
    static const QList<QByteArray> modules = {"PPP", "LINK", "DTMF", "DTMFF", "ATCH"};
    for (const QByteArray& line : whole) {
        FUZZ_CHECK(!line.contains('\r'));
        const QByteArray tagged = ModuleTagCut(line, modules);
        if (!tagged.isNull()) FUZZ_CHECK(tagged.startsWith('<') && line.endsWith(tagged));
    }
    return 0;
}
