// Pictures of the window: every page in every language, at the design size,
// with the simulated module attached and its configuration read.
//   shots OUTDIR        (runs on any Qt platform; offscreen works)
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/lang/LangMan.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/SettingsPage.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? argv[1] : "shots";
    QDir().mkpath(out);
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    SimModule module;
    SimHidBackend backend(module);
    module.setParam("Slots:Mainlog", "1");
    TFormMain::Options o;
    o.backend = &backend;
    o.full = true;
    o.languageStore = &store;
    TFormMain w(o);
    w.confirmDiscard = [] { return true; };   // no question box
    w.show();
    backend.attach();
    if (!QTest::qWaitFor([&] { return w.findChild<QWidget*>("btnRead")->isEnabled(); }, 5000)) return 1;
    w.findChild<QPushButton*>("btnRead")->click();
    w.pageControl()->setTabVisible(TFormMain::PageLog, true);
    for (const char* lang : {"en", "hu", "ro"}) {
        w.langMan().SelectLanguage(lang);
        for (int i = 0; i < w.pageControl()->count(); ++i) {
            w.pageControl()->setCurrentIndex(i);
            QTest::qWait(300);
            w.grab().save(QString("%1/%2-%3.png").arg(out, lang, w.pageControl()->widget(i)->objectName()));
        }
        // The whole Settings page, beyond what the scroll area shows.
        if (auto* area = w.settingsPage()->findChild<QScrollArea*>())
            area->widget()->grab().save(QString("%1/%2-tsSettings-all.png").arg(out, lang));
    }
    // The volume tool as it starts.
    TFormMain::Options small = o;
    small.full = false;
    TFormMain v(small);
    v.show();
    QTest::qWait(200);
    v.grab().save(out + "/startup.png");
    return 0;
}
