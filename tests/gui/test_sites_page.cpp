// The site database in the window: what Read and Write record, the Sites
// page's history and snapshots, the bottom bar's site, and a database that
// cannot be used.
#include "core/text/Timing.h"
#include "sites/Recorder.h"
#include "support/TimingGuard.h"
#include "support/WindowRig.h"
#include "ui/dialogs/PwdForm.h"
#include "ui/pages/EditTracker.h"
#include "ui/pages/SitesPage.h"
#include "ui/widgets/TrendPlot.h"
#include "ui/window/TransferButtons.h"

#include <QApplication>
#include <QFile>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

class SitesPageTest : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;

    static QString lbResult(const WindowRig& r) { return r.c<QLabel>("lbResult")->text(); }
    static QByteArray valueOf(const sites::Values& values, const QByteArray& key) {
        for (const auto& [k, v] : values)
            if (k == key) return v;
        return "<none>";
    }

private slots:
    void initTestCase() {
        timing::answerWaitMs = 200;
        timing::loginPollMs = 10;
    }

    void readAndWriteRecordedShownAndLoaded() {
        QTemporaryDir dir;
        WindowRig r(true, [&](TFormMain::Options& o) {
            o.database = dir.filePath("sites.sqlite");
            o.operatorName = "Ann";
        });
        r.module.setParam("CALL:REMNR1.PN", "+36111");
        QVERIFY(r.connect());
        // A module at no site: the bar offers to add it to one.
        QVERIFY(QTest::qWaitFor([&] { return r.button("btAddToSite")->isVisible(); }, 5000));
        QVERIFY(!r.c("lbSite")->isVisible());
        QStringList offered;
        r.w->chooseSite = [&](const QStringList& names) {
            offered = names;
            return QStringLiteral("Bakery");
        };
        r.button("btAddToSite")->click();
        QCOMPARE(offered, QStringList());
        QVERIFY(r.c("lbSite")->isVisible());
        QCOMPARE(r.w->siteText(), QString("Site: Bakery"));
        QVERIFY(!r.button("btAddToSite")->isVisible());
        r.w->SpeedButtonROClick();
        QCOMPARE(r.w->siteText(), QString("Locatie: Bakery"));
        QCOMPARE(r.w->pageControl()->tabText(TFormMain::PageSites), QString("Locatii"));
        r.w->SpeedButtonENClick();

        r.button("btnRead")->click();
        QCOMPARE(r.value("edTCentrPhone1"), QByteArray("+36111"));
        r.set("edTCentrPhone1", "+36222");
        r.button("btnWrite")->click();
        r.button("btnVerify")->click();
        QCOMPARE(r.module.param("CALL:REMNR1.PN"), QByteArray("+36222"));
        r.w->recorder()->flush();
        QCOMPARE(r.w->recorder()->failureText(), QString());

        r.w->pageControl()->setCurrentIndex(TFormMain::PageSites);
        SitesPage* page = r.w->sitesPage();
        QVERIFY(r.w->pageControl()->isTabVisible(TFormMain::PageSites));
        QCOMPARE(r.w->pageControl()->tabText(TFormMain::PageSites), QString("Sites"));
        QCOMPARE(page->selectedSite(), QString("Bakery"));
        const QList<sites::HistoryRow> history = page->history();
        QCOMPARE(history.size(), 3);
        QCOMPARE(history[0].action, QString("verify"));
        QCOMPARE(history[1].action, QString("write"));
        QCOMPARE(history[2].action, QString("read"));
        QCOMPARE(history[0].snapshotId, history[1].snapshotId);   // the same values, stored once
        for (const sites::HistoryRow& row : history) {
            QVERIFY(row.done);
            QCOMPARE(row.settings, 205);
            QCOMPARE(row.operatorName, QString("Ann"));
            QCOMPARE(row.link, QString("usb"));
            QVERIFY(!row.serial.isEmpty());
            QVERIFY(row.snapshotId > 0);
        }
        auto* tree = r.c<QTreeWidget>("tvSiteHistory");
        QCOMPARE(tree->topLevelItem(1)->text(1), QString("Write"));
        QCOMPARE(tree->topLevelItem(2)->text(2), QString("done"));
        QCOMPARE(tree->topLevelItem(2)->text(3), QString("Ann"));

        // The Write's snapshot: what was sent, one value differing from the Read's.
        page->selectEvent(1);
        QVERIFY(page->selectedSnapshot());
        QCOMPARE(page->selectedSnapshot()->values.size(), 205);
        QCOMPARE(valueOf(page->selectedSnapshot()->values, "CALL:REMNR1.PN"), QByteArray("+36222"));
        const QStringList lines = page->differencesText().split('\n');
        QCOMPARE(lines.value(0), QString("Against the previous snapshot:"));
        QVERIFY2(lines.value(1).startsWith("  CALL:REMNR1.PN") && lines.value(1).endsWith("+36111 -> +36222"),
                 qPrintable(lines.value(1)));
        QCOMPARE(lines.value(2), QString("Against the Settings page:"));
        QCOMPARE(lines.value(3), QString("  no difference"));

        // Export writes the Read's values to a file; the page keeps its own.
        r.w->buttons().SaveFile(dir.filePath("page.ini"));
        page->selectEvent(2);
        QCOMPARE(valueOf(page->selectedSnapshot()->values, "CALL:REMNR1.PN"), QByteArray("+36111"));
        const QString fileBefore = r.w->fileText();
        r.w->buttons().chooseSaveName = [&](const QString&) { return dir.filePath("exported"); };
        r.button("btSnapshotExport")->click();
        QFile exported(dir.filePath("exported.ini"));
        QVERIFY(exported.open(QIODevice::ReadOnly));
        QVERIFY(exported.readAll().contains("edTCentrPhone1=+36111"));
        QCOMPARE(r.value("edTCentrPhone1"), QByteArray("+36222"));
        QCOMPARE(r.w->fileText(), fileBefore);
        QCOMPARE(fileBefore, QString("page.ini"));

        // Loaded into the Settings page: changed, neither saved nor written.
        r.button("btSnapshotLoad")->click();
        QCOMPARE(r.w->pageControl()->currentIndex(), int(TFormMain::PageSettings));
        QCOMPARE(r.value("edTCentrPhone1"), QByteArray("+36111"));
        QCOMPARE(r.w->fileText(), QString("*"));
        QCOMPARE(r.w->moduleText(), QString("not written to the module"));
        QCOMPARE(r.w->edits().changedKeys(), QList<QByteArray>{"CALL:REMNR1.PN"});

        // The next connection records its status at the site: the plots show the visit.
        // (The first connection's status is at the site when it came after Add to a site.)
        const int before = r.c<TrendPlot>("plSiteSupply")->sampleCount();
        r.module.setStatus("VSU", "12980");
        r.backend.detach();
        QVERIFY(QTest::qWaitFor([&] { return !r.enabled("btnRead"); }, 5000));
        QVERIFY(r.connect());
        QVERIFY(QTest::qWaitFor([&] { return r.text("lbSupplyVoltageValue").startsWith("12980"); }, 5000));
        r.w->recorder()->flush();
        r.w->pageControl()->setCurrentIndex(TFormMain::PageSites);
        QCOMPARE(r.c<TrendPlot>("plSiteSupply")->sampleCount(), before + 1);
        QCOMPARE(r.c<TrendPlot>("plSiteSupply")->highest(), 12980.0);
        QCOMPARE(r.c<TrendPlot>("plSiteSignal")->highest(), 21.0);
    }

    void recordingLeavesThePageAsItIs() {
        // A hidden code the module has empty: the snapshot holds what a Write
        // would send, the page what was read, with nothing marked as changed.
        QTemporaryDir dir;
        WindowRig r(true, [&](TFormMain::Options& o) { o.database = dir.filePath("sites.sqlite"); });
        r.module.setParam("DIN:Z1.POL", "");
        QVERIFY(r.connect());
        r.button("btnRead")->click();
        r.w->recorder()->flush();
        QCOMPARE(r.value("_edIN1"), QByteArray());
        r.w->edits().recheck();
        QCOMPARE(r.w->fileText(), QString());
        QVERIFY2(r.w->moduleText().startsWith("read "), qPrintable(r.w->moduleText()));
        sites::SiteDatabase db({dir.filePath("sites.sqlite"), {}});
        QVERIFY(db.open());
        // Set on the Volumes page is recorded too, without a snapshot.
        r.button("btSetVols")->click();
        QVERIFY(r.count("VCALL:GMIC.VOL0") > 0);
        r.w->recorder()->flush();
        const QList<sites::HistoryRow> history = db.history({}, {}, 0);
        QCOMPARE(history.size(), 2);
        QCOMPARE(history[0].action, QString("volumes"));
        QVERIFY(history[0].done);
        QCOMPARE(history[0].snapshotId, 0);
        QCOMPARE(history[1].action, QString("read"));
        QCOMPARE(valueOf(db.snapshot(history[1].snapshotId)->values, "DIN:Z1.POL"), QByteArray("NO"));
    }

    // A password changed through the dialog is recorded as done; the
    // password itself is nowhere in the database.
    void passwordChangeRecordedWithoutThePassword() {
        QTemporaryDir dir;
        const QString path = dir.filePath("sites.sqlite");
        WindowRig r(false, [&](TFormMain::Options& o) { o.database = path; });
        r.module.setPassword("1111");
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* f = qobject_cast<TPwdForm*>(QApplication::activeModalWidget());
            if (!f || !f->isVisible() || f->property("answered").toBool()) return;
            f->setProperty("answered", true);
            f->rbcpw->click();
            f->cpasswordo->setText("1111");
            f->cpasswordn->setText("2468");
            f->cpasswordnp->setText("2468");
            f->btPasswAction->click();
        });
        answer.start(10);
        r.backend.attach();
        QTRY_COMPARE_WITH_TIMEOUT(r.module.password(), QByteArray("2468"), 10000);
        r.w->recorder()->flush();
        sites::SiteDatabase db({path, {}});
        QVERIFY(db.open());
        const QList<sites::HistoryRow> h = db.history({}, {}, 10);
        QVERIFY(!h.isEmpty());
        QCOMPARE(h[0].action, QString("password"));
        QVERIFY(h[0].done);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("2468"));
    }

    void unusableDatabaseToldOnceAndReadWorks() {
        WindowRig r(true, [&](TFormMain::Options& o) { o.database = "/proc/kestrum-no-such/sites.sqlite"; });
        QVERIFY(r.connect());
        // The status heard at the connection is the first record: it cannot be made.
        QVERIFY(QTest::qWaitFor([&] { return lbResult(r).startsWith("Not recorded in the site database: "); }, 5000));
        QVERIFY(!r.w->recorder()->failureText().isEmpty());
        QVERIFY(r.c<QLabel>("lbResult")->toolTip().endsWith(r.w->recorder()->failureText()));
        QVERIFY(!r.button("btAddToSite")->isVisible());
        // Told once: Read works and says only what it did.
        r.module.setParam("CALL:REMNR1.PN", "+36111");
        r.button("btnRead")->click();
        QCOMPARE(r.value("edTCentrPhone1"), QByteArray("+36111"));
        r.w->recorder()->flush();
        QCoreApplication::processEvents();
        QCOMPARE(lbResult(r), QString("205 settings read"));
    }
};

QTEST_MAIN(SitesPageTest)
#include "test_sites_page.moc"
