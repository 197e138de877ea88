#include "ui/widgets/TextInput.h"

#include "core/text/Codec.h"

#include <QLineEdit>

#include <algorithm>

namespace {

// Characters below the space, and DEL: the module takes none of them.
bool isControl(QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; }

// How many things in the text stand in the way of sending it.
int problems(const QString& t) {
    int n = int(t.count(QStringLiteral("#\"")));
    for (const QChar c : t) n += isControl(c);
    for (QString rest = t; !rest.isEmpty();) {
        const int bad = text::firstUnencodable(rest);
        if (bad < 0) break;
        ++n;
        rest = rest.mid(bad + 1);
    }
    return n;
}

}   // namespace

QString ModuleTextProblem(const QString& t) {
    for (const QChar c : t) {
        if (c == '\n' || c == '\r') return QStringLiteral("a line break");
        if (isControl(c)) return QStringLiteral("the control character 0x%1").arg(int(c.unicode()), 2, 16, QChar('0'));
    }
    if (t.contains(QStringLiteral("#\""))) return QStringLiteral("#\"");
    const int bad = text::firstUnencodable(t);
    if (bad >= 0) {
        // A character outside the basic plane travels as two halves: show it whole.
        const int n = bad + 1 < t.size() && t[bad].isHighSurrogate() ? 2 : 1;
        return QStringLiteral("the character %1").arg(t.mid(bad, n));
    }
    return {};
}

ModuleTextValidator::ModuleTextValidator(QLineEdit* edit, int typingLimit)
    : QValidator(edit), edit_(edit), limit_(typingLimit), current_(edit->text()) {
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& t) { current_ = t; });
}

QValidator::State ModuleTextValidator::validate(QString& input, int& pos) const {
    // A text the program sets arrives with an empty undo history: take it whole.
    if (!edit_->isUndoAvailable()) return Acceptable;
    // The user's change may keep what was loaded, but adds nothing unsendable.
    if (problems(input) > problems(current_)) return Invalid;
    if (limit_ <= 0) return Acceptable;
    const int limit = std::max(limit_, int(current_.size()));
    if (input.size() <= limit) return Acceptable;
    // Typed or pasted text beyond the limit: keep what fits of the inserted
    // part (which ends at the cursor), as a length limit would.
    const int excess = int(input.size()) - limit;
    const int inserted = int(input.size() - current_.size());
    if (inserted <= 0 || excess > inserted || pos < excess) return Invalid;
    input.remove(pos - excess, excess);
    pos -= excess;
    return input.size() > current_.size() ? Acceptable : Invalid;
}

void AcceptModuleTextOnly(QLineEdit* edit, int typingLimit) {
    edit->setValidator(new ModuleTextValidator(edit, typingLimit));
}
