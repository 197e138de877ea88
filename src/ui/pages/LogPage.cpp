#include "ui/pages/LogPage.h"

#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "core/text/Codec.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"

LogPage::LogPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsLog");
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(2);
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    const char* names[3] = {"MemoLog1", "MemoLog2", "MemoLog3"};
    const char* headings[3] = {"lbLogAll", "lbLogModulesA", "lbLogModulesB"};
    for (int i = 0; i < 3; ++i) {
        auto* column = new QVBoxLayout;
        column->setSpacing(0);
        heading_[i] = new ElidedLabel(this);   // cut, not spilling into the next view
        heading_[i]->setObjectName(headings[i]);
        auto* m = new QPlainTextEdit(this);
        m->setObjectName(names[i]);
        m->setReadOnly(true);
        m->setUndoRedoEnabled(false);
        m->setMaximumBlockCount(kMaxLines);
        if (i > 0) {
            m->setFixedWidth(220);
            heading_[i]->setFixedWidth(220);
        }
        column->addWidget(heading_[i]);
        column->addWidget(m, 1);
        row->addLayout(column, i == 0 ? 1 : 0);
        memo_[i] = m;
    }
    // The right views' headings name the module tags they pick out.
    heading_[1]->setFullText(QString::fromLatin1(modulesA().join(", ")));
    heading_[2]->setFullText(QString::fromLatin1(modulesB().join(", ")));
    page->addLayout(row, 1);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(4, 0, 4, 4);
    auto button = [this, buttons](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(name);
        buttons->addWidget(b);
        return b;
    };
    clear_ = button("btLogClear");
    copy_ = button("btLogCopy");
    save_ = button("btLogSave");
    buttons->addStretch(1);
    page->addLayout(buttons);
    connect(clear_, &QPushButton::clicked, this, &LogPage::clear);
    connect(copy_, &QPushButton::clicked, this, &LogPage::copy);
    connect(save_, &QPushButton::clicked, this, &LogPage::saveClicked);
    retranslate();
}

QString LogPage::text(lang::Msg m) const { return message ? message(m) : lang::message(lang::Language::English, m); }

void LogPage::retranslate() {
    heading_[0]->setFullText(text(lang::Msg::LogAllLines));
    clear_->setText(text(lang::Msg::LogClear));
    copy_->setText(text(lang::Msg::LogCopy));
    save_->setText(text(lang::Msg::LogSave));
}

void LogPage::clear() {
    for (QPlainTextEdit* m : memo_) m->clear();
}

void LogPage::copy() {
    QString selected;
    for (QPlainTextEdit* m : memo_)
        if (m->textCursor().hasSelection()) {
            selected = m->textCursor().selectedText().replace(QChar::ParagraphSeparator, QChar('\n'));
            break;
        }
    if (selected.isEmpty()) selected = memo_[0]->toPlainText();
    QGuiApplication::clipboard()->setText(selected.replace(QChar::LineSeparator, QChar('\n')));
}

QString LogPage::SaveName(const QString& chosen) {
    return QFileInfo(chosen).suffix().isEmpty() ? chosen + QStringLiteral(".txt") : chosen;
}

QString LogPage::ProposedName(const QDateTime& when) {
    return QStringLiteral("log-") + when.toString(QStringLiteral("yyyy-MM-dd_HH-mm")) + QStringLiteral(".txt");
}

void LogPage::saveClicked() {
    const QString name = ProposedName(QDateTime::currentDateTime());
    const QString proposed = lastFolder_.isEmpty() ? name : QDir(lastFolder_).filePath(name);
    QString chosen;
    if (askFileName) {
        chosen = askFileName(proposed);
    } else {
        QFileDialog dialog(this, text(lang::Msg::LogSave).remove(QChar(0x2026)));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(QStringLiteral("*.txt"));
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        dialog.selectFile(proposed);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().first();
    }
    if (chosen.isEmpty()) return;
    const QString path = SaveName(chosen);
    if (saveTo(path)) lastFolder_ = QFileInfo(path).absolutePath();
}

bool LogPage::saveTo(const QString& fileName) {
    QSaveFile file(fileName);
    QString text = memo_[0]->toPlainText();
    text.replace(QChar::LineSeparator, QChar('\n'));
    if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit()) return true;
    ShowError(this->text(lang::Msg::LogSaveFailed).arg(QDir::toNativeSeparators(fileName), file.errorString()));
    return false;
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

void LogPage::ShowDropped(int count) { memo_[0]->appendPlainText(text(lang::Msg::LogTextDropped).arg(count)); }

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

#include "moc_LogPage.cpp"   // its own: a program that links one page carries no other
