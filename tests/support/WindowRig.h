#pragma once
// A main window over a simulated module, with a private language store, for
// the widget tests.
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/widgets/Bindings.h"
#include "ui/window/TFormMain.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

struct WindowRig {
    QTemporaryDir dir;
    QSettings store{dir.filePath("lang.ini"), QSettings::IniFormat};
    SimModule module;
    SimHidBackend backend{module};
    std::unique_ptr<TFormMain> w;
    int discardQuestions = 0;
    bool discardAnswer = true;

    // adjust: changes to the window's options (a site database, say).
    explicit WindowRig(bool full = true, const std::function<void(TFormMain::Options&)>& adjust = {}) {
        backend.setTickIntervalMs(0);   // no live status or log unless a test asks for it
        TFormMain::Options o;
        o.backend = &backend;
        o.full = full;
        o.languageStore = &store;
        if (adjust) adjust(o);
        w = std::make_unique<TFormMain>(o);
        // Unsaved changes are let go without a question box; the count tells.
        w->confirmDiscard = [this] {
            ++discardQuestions;
            return discardAnswer;
        };
        w->show();
    }
    // Plugs the module in and waits for the automatic login to enable Read.
    bool connect() {
        backend.attach();
        return QTest::qWaitFor([&] { return enabled("btnRead"); }, 5000);
    }
    template <class T = QWidget>
    T* c(const char* name) const {
        return w->findChild<T*>(name);
    }
    QPushButton* button(const char* name) const { return c<QPushButton>(name); }
    bool enabled(const char* name) const { return c(name)->isEnabled(); }
    bool checked(const char* name) const { return c<QAbstractButton>(name)->isChecked(); }
    QString text(const char* name) const { return c<QLabel>(name)->text(); }
    QByteArray value(const char* name) const { return GetControlValue(c(name)); }
    void set(const char* name, const QByteArray& v) const { SetControlValue(c(name), v); }
    // Commands the module received that contain the text.
    int count(const QByteArray& what) const {
        int n = 0;
        for (const QByteArray& cmd : module.commands()) n += cmd.contains(what);
        return n;
    }
    QList<QByteArray> logins() const {
        QList<QByteArray> l;
        for (const QByteArray& cmd : module.commands())
            if (cmd.startsWith("set REM:UPW P,")) l << cmd;
        return l;
    }
};
