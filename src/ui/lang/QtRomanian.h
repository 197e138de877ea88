#pragma once
// Romanian for the texts of Qt's own dialogs that the program shows (the
// message boxes' buttons, the file dialog), for systems that ship no Romanian
// catalogue of Qt's: a translator that answers from a small table.
#include <QTranslator>

class QtRomanian : public QTranslator {
public:
    using QTranslator::QTranslator;
    QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }
};
