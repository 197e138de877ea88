#pragma once
// The language manager: writes the captions of one translation table into the
// main window's controls, answers lookups of texts that are no captions, and
// remembers the chosen language per user.
#include "ui/lang/LangTables.h"
#include "ui/lang/Messages.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QSettings;
class QTranslator;
class QWidget;

class LangMan {
public:
    // Where the chosen language is kept inside the settings store.
    static constexpr const char* kLanguageIdKey = "Kestrum/LanguageId";

    // Builds ControlList by walking the window's children: depth first, each
    // parent before its children, in the order of the children, widgets only,
    // never into a label. The window itself is not in the list. A control
    // deleted later drops out of the list.
    // store: where LanguageId lives; null = the per-user store of the program
    // (organisation "Orvik", application "Brisal", value "Kestrum/LanguageId").
    explicit LangMan(QWidget* window, QSettings* store = nullptr);
    // Where the language is kept (the registry on Windows); the window keeps
    // its list of recent files there too.
    QSettings* store() const { return store_; }
    ~LangMan();
    LangMan(const LangMan&) = delete;
    LangMan& operator=(const LangMan&) = delete;

    // "0" means Hungarian; the code is lower-cased; "hu" and "ro" pick their
    // tables, anything else English. Writes the captions, then calls
    // formatTempLabels.
    void ApplyLanguage(const QByteArray& code);
    // First row of the active table with exactly this key (Windows-1250 text);
    // none without a match or before the first ApplyLanguage.
    std::optional<QByteArray> LookupText(const QByteArray& key) const;
    // LookupText as a widget string; empty if none.
    QString Text(const QByteArray& key) const;
    // One of the program's messages in the language applied last (English
    // before the first ApplyLanguage).
    QString Message(lang::Msg m) const { return lang::message(language_, m); }
    // ApplyLanguage, then store the code unchanged as LanguageId.
    void SelectLanguage(const QByteArray& code);
    // The stored LanguageId; empty if missing or not a string.
    QByteArray StoredLanguage() const;

    const QList<QWidget*>& ControlList() const { return controls_; }
    int RowCount() const { return active_ ? int(active_->size()) : 0; }

    // Set by the window: formats the six temperature value labels from their
    // track bars. Called at the end of every ApplyLanguage.
    std::function<void()> formatTempLabels;
    // Called last in every ApplyLanguage, for texts that are no captions of
    // the tables (the program's own messages shown in controls).
    std::function<void()> languageApplied;
    // Reports a failed write of LanguageId; by default a critical message box.
    std::function<void(const QString&)> showError;

    // Where Qt's own catalogues (qtbase_hu.qm) are looked for, in this order.
    static QStringList QtTranslationDirs();
    // The translator installed for Qt's own dialogs; null for English.
    const QTranslator* qtTranslator() const { return qtTranslator_.get(); }

private:
    void walk(QWidget* parent);
    void installQtTranslator();

    QList<QWidget*> controls_;
    const lang::Table* active_ = nullptr;
    lang::Language language_ = lang::Language::English;
    std::unique_ptr<QSettings> ownStore_;
    QSettings* store_ = nullptr;
    std::unique_ptr<QTranslator> qtTranslator_;
    QObject watch_;   // context of the destroyed() connections; cut them when we go
};
