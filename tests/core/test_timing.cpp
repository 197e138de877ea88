// The timing values as tests change them: a guard puts every one back, at the
// end of its scope or when asked.
#include "core/text/Timing.h"
#include "support/TimingGuard.h"

#include <QTest>

class TestTiming : public QObject {
    Q_OBJECT
private slots:
    void guardPutsEveryValueBack() {
        const timing::Values before = timing::save();
        // The first, one in the middle and the last of the list, and two more after an early restore.
        const int lockTries = timing::exchangeLockTries, note = timing::transferNoteMs, pumps = timing::modemClosePumps,
                  answer = timing::answerWaitMs, dial = timing::modemDialLineMs;
        {
            TimingGuard saved;
            timing::exchangeLockTries = lockTries + 1;
            timing::transferNoteMs = note + 1;
            timing::modemClosePumps = pumps + 1;
            QVERIFY(timing::save() != before);
            saved.restore();
            QVERIFY(timing::save() == before);
            QCOMPARE(timing::exchangeLockTries, lockTries);
            QCOMPARE(timing::transferNoteMs, note);
            QCOMPARE(timing::modemClosePumps, pumps);

            timing::answerWaitMs = answer / 10;
            timing::modemDialLineMs = dial / 10;
        }
        QVERIFY(timing::save() == before);
        QCOMPARE(timing::answerWaitMs, answer);
        QCOMPARE(timing::modemDialLineMs, dial);
    }

    void guardsNest() {
        const int before = timing::answerWaitMs;
        {
            TimingGuard outer;
            timing::answerWaitMs = before + 1;
            {
                TimingGuard inner;
                timing::answerWaitMs = before + 2;
            }
            QCOMPARE(timing::answerWaitMs, before + 1);
        }
        QCOMPARE(timing::answerWaitMs, before);
    }
};

QTEST_GUILESS_MAIN(TestTiming)
#include "test_timing.moc"
