#pragma once
// The Log page: the device's own log, every line in full on the left, and on the
// right two narrow views that pick out the lines of particular device modules,
// cut at the module tag.
#include <QByteArray>
#include <QList>
#include <QWidget>

#include <functional>

#include "ui/lang/Messages.h"

#include "core/protocol/StatusParser.h"

class ElidedLabel;
class QDateTime;
class QPlainTextEdit;
class QPushButton;

class LogPage : public QWidget {
    Q_OBJECT
public:
    explicit LogPage(QWidget* parent = nullptr);

    // Module names shown in MemoLog2 and MemoLog3, tried in this order.
    static const QList<QByteArray>& modulesA();
    static const QList<QByteArray>& modulesB();

    // Each view keeps only this many of the most recent lines, and only as many
    // of them as fit in kMaxChars characters (a few very long lines must not
    // hold hundreds of megabytes).
    static constexpr int kMaxLines = 10000;
    static constexpr int kMaxChars = 2 * 1024 * 1024;

    // One piece of received log text, on the UI thread.
    void ReceiveLogText(const QByteArray& text);
    // Says in the left view that this many pieces of text never arrived
    // (the window was too long busy to take them).
    void ShowDropped(int count);

    QPlainTextEdit* memo(int n) const;   // 1, 2 or 3
    const LogLineSplitter& splitter() const { return splitter_; }

    // The page's own words (headings, buttons), in the window's language.
    std::function<QString(lang::Msg)> message;
    void retranslate();
    // Clear empties the three views; Copy puts the selection of the view that
    // has one (else the whole left view) on the clipboard; Save writes the
    // left view to a UTF-8 text file, false (and the reason shown) on failure.
    void clear();
    void copy();
    bool saveTo(const QString& fileName);
    // Save's file name: the chosen one, with ".txt" added when it has no suffix.
    static QString SaveName(const QString& chosen);
    // The name Save proposes, with the date and time: "log-2026-12-08_14-02.txt".
    static QString ProposedName(const QDateTime& when);
    // Asks for Save's file name, proposing one (a path); empty: cancelled.
    // Null: the file dialog. Tests answer here instead.
    std::function<QString(const QString& proposed)> askFileName;

private:
    void saveClicked();
    void appendLine(QPlainTextEdit* view, const QByteArray& line);
    QString text(lang::Msg m) const;

    QPlainTextEdit* memo_[3] = {};
    ElidedLabel* heading_[3] = {};
    QPushButton *clear_ = nullptr, *copy_ = nullptr, *save_ = nullptr;
    LogLineSplitter splitter_;
    QString lastFolder_;   // where the log was last saved
};
