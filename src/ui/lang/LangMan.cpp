#include "ui/lang/LangMan.h"

#include "core/text/Codec.h"
#include "ui/lang/QtRomanian.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSettings>
#include <QTabWidget>
#include <QTranslator>
#include <QWidget>
#include <algorithm>

namespace {

// The tab widget whose page this control is, or null.
QTabWidget* owningTabWidget(QWidget* control) {
    for (QObject* p = control->parent(); p; p = p->parent()) {
        if (auto* tabs = qobject_cast<QTabWidget*>(p)) return tabs->indexOf(control) >= 0 ? tabs : nullptr;
    }
    return nullptr;
}

// Lines of a multi-line text: broken at CR, LF or CR LF; a final line break
// does not start another (empty) line.
QStringList splitLines(const QString& text) {
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineBreak);
    if (lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// Replaces the items in place so that the selected index only moves (and the
// change notification only fires) when the selected item no longer exists.
void replaceItems(QComboBox* box, const QStringList& lines) {
    const int selected = box->currentIndex();
    const int common = std::min(box->count(), int(lines.size()));
    for (int i = 0; i < common; ++i) box->setItemText(i, lines[i]);
    while (box->count() > lines.size()) box->removeItem(box->count() - 1);
    for (int i = box->count(); i < lines.size(); ++i) box->addItem(lines[i]);
    box->setCurrentIndex(selected);
}

// Writes a caption by the exact kind of the control; a subclass (a radio
// group is a group box underneath) is left alone, as are all other kinds.
void setCaption(QWidget* control, const QString& text) {
    if (QTabWidget* tabs = owningTabWidget(control)) {
        tabs->setTabText(tabs->indexOf(control), text);
        return;
    }
    const QByteArray kind = control->metaObject()->className();
    if (kind == "QGroupBox") {
        static_cast<QGroupBox*>(control)->setTitle(text);
    } else if (kind == "QLabel") {
        static_cast<QLabel*>(control)->setText(text);
    } else if (kind == "QPushButton" || kind == "QCheckBox" || kind == "QRadioButton") {
        static_cast<QAbstractButton*>(control)->setText(text);
    } else if (kind == "QComboBox") {
        replaceItems(static_cast<QComboBox*>(control), splitLines(text));
    }
}

}   // namespace

LangMan::LangMan(QWidget* window, QSettings* store) : store_(store) {
    if (!store_) {
        ownStore_ = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvik"),
                                                QStringLiteral("Brisal"));
        store_ = ownStore_.get();
    }
    showError = [window](const QString& message) {
        QMessageBox::critical(window, QCoreApplication::applicationName(), message);
    };
    walk(window);
}

LangMan::~LangMan() {
    if (qtTranslator_) QCoreApplication::removeTranslator(qtTranslator_.get());
}

QStringList LangMan::QtTranslationDirs() {
    // Shipped beside the program (Windows), else Qt's own (Debian's qt6-translations-l10n).
    return {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

void LangMan::installQtTranslator() {
    if (qtTranslator_) {
        QCoreApplication::removeTranslator(qtTranslator_.get());
        qtTranslator_.reset();
    }
    if (language_ == lang::Language::English) return;
    const QString name =
        language_ == lang::Language::Hungarian ? QStringLiteral("qtbase_hu") : QStringLiteral("qtbase_ro");
    auto translator = std::make_unique<QTranslator>();
    bool loaded = false;
    for (const QString& dir : QtTranslationDirs())
        if (!dir.isEmpty() && translator->load(name, dir)) {
            loaded = true;
            break;
        }
    if (loaded)
        qtTranslator_ = std::move(translator);
    else if (language_ == lang::Language::Romanian)
        qtTranslator_ = std::make_unique<QtRomanian>();   // no Romanian catalogue of Qt's here
    if (qtTranslator_) QCoreApplication::installTranslator(qtTranslator_.get());
}

void LangMan::walk(QWidget* parent) {
    for (QObject* child : parent->children()) {
        if (!child->isWidgetType()) continue;
        auto* control = static_cast<QWidget*>(child);
        controls_.append(control);
        QObject::connect(control, &QObject::destroyed, &watch_, [this, control] { controls_.removeOne(control); });
        if (!qobject_cast<QLabel*>(control)) walk(control);
    }
}

void LangMan::ApplyLanguage(const QByteArray& code) {
    const QByteArray lowered = (code == "0" ? QByteArray("hu") : code).toLower();
    if (lowered == "hu")
        language_ = lang::Language::Hungarian;
    else if (lowered == "ro")
        language_ = lang::Language::Romanian;
    else
        language_ = lang::Language::English;
    active_ = &lang::table(language_);
    installQtTranslator();   // Qt's own dialogs: buttons, file and print dialogs

    // A copy: a caption change must not disturb the walk over the list.
    const QList<QWidget*> controls = controls_;
    for (QWidget* control : controls) {
        const QString name = control->objectName();
        if (name.isEmpty()) continue;
        if (const auto caption = LookupText(text::toCp1250(name))) setCaption(control, text::fromCp1250(*caption));
    }
    // The table's "0 °C" / "40 °C" must not stand in for the current thresholds.
    if (formatTempLabels) formatTempLabels();
    if (languageApplied) languageApplied();
}

std::optional<QByteArray> LangMan::LookupText(const QByteArray& key) const {
    if (!active_) return std::nullopt;
    for (const lang::Row& row : *active_) {
        if (row.key == key) return row.text;
    }
    return std::nullopt;
}

QString LangMan::Text(const QByteArray& key) const {
    const auto found = LookupText(key);
    return found ? text::fromCp1250(*found) : QString();
}

void LangMan::SelectLanguage(const QByteArray& code) {
    ApplyLanguage(code);
    bool written = store_->isWritable();
    if (written) {
        store_->setValue(QLatin1String(kLanguageIdKey), text::fromCp1250(code));
        store_->sync();
        written = store_->status() == QSettings::NoError;
    }
    if (!written && showError)
        showError(QStringLiteral("Failed to set data for '%1'").arg(QStringLiteral("LanguageId")));
}

QByteArray LangMan::StoredLanguage() const {
    const QVariant value = store_->value(QLatin1String(kLanguageIdKey));
    if (value.typeId() != QMetaType::QString) return {};
    return text::toCp1250(value.toString());
}
