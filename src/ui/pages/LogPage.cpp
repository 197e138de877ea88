#include "ui/pages/LogPage.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "core/text/Codec.h"

LogPage::LogPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsLog");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    const char* names[3] = {"MemoLog1", "MemoLog2", "MemoLog3"};
    for (int i = 0; i < 3; ++i) {
        auto* m = new QPlainTextEdit(this);
        m->setObjectName(names[i]);
        m->setReadOnly(true);
        m->setUndoRedoEnabled(false);
        m->setMaximumBlockCount(kMaxLines);
        if (i > 0) m->setFixedWidth(220);
        row->addWidget(m, i == 0 ? 1 : 0);
        memo_[i] = m;
    }
}

const QList<QByteArray>& LogPage::modulesA() {
    static const QList<QByteArray> a = {"PPP", "ppp", "SIO", "LINK", "SLIC", "Siadata", "DTMF"};
    return a;
}

const QList<QByteArray>& LogPage::modulesB() {
    static const QList<QByteArray> b = {"ATCH", "JST", "DTMFF"};
    return b;
}

QPlainTextEdit* LogPage::memo(int n) const { return n >= 1 && n <= 3 ? memo_[n - 1] : nullptr; }

void LogPage::ReceiveLogText(const QByteArray& text) {
    splitter_.Feed(text, [this](const QByteArray& line) {
        appendLine(memo_[0], line);
        const QByteArray a = ModuleTagCut(line, modulesA());
        if (!a.isNull()) appendLine(memo_[1], a);
        const QByteArray b = ModuleTagCut(line, modulesB());
        if (!b.isNull()) appendLine(memo_[2], b);
    });
}

// One device line is one line of the view. A line feed inside it (the second
// half of a CR LF line end) is kept as a line break within that line, so the
// line limit counts device lines.
void LogPage::appendLine(QPlainTextEdit* view, const QByteArray& line) {
    QString s = text::fromCp1250(line);
    s.replace(QChar('\n'), QChar(QChar::LineSeparator));
    view->appendPlainText(s);
    // The oldest lines go once the view holds too many characters.
    QTextDocument* doc = view->document();
    while (doc->characterCount() > kMaxChars && doc->blockCount() > 1) {
        QTextCursor first(doc->firstBlock());
        first.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        first.removeSelectedText();
    }
}
