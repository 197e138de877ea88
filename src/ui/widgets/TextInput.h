#pragma once
// Edits whose text goes to the module take only what can be sent there: the
// characters of its code page, no control characters and no '#"' (which would
// end or split a command line).
#include <QString>
#include <QValidator>

class QLineEdit;

// Empty when the text can be sent to the module as a key or value; otherwise
// what stands in the way, for a message ("a line break", "the character 日").
QString ModuleTextProblem(const QString& text);

// The validator of such an edit. A typing limit (0: none) stops typing and
// pastes at that many characters, as a maximum length would, while a longer
// text set by the program (read from the module or a file) is kept whole. A
// text the program sets is never refused: Write checks what it sends.
class ModuleTextValidator : public QValidator {
public:
    explicit ModuleTextValidator(QLineEdit* edit, int typingLimit = 0);
    State validate(QString& input, int& pos) const override;

private:
    QLineEdit* edit_;
    int limit_;
    QString current_;
};

// Puts a ModuleTextValidator on the edit.
void AcceptModuleTextOnly(QLineEdit* edit, int typingLimit = 0);
