#include "ui/widgets/Controls.h"

#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

namespace {

// A shown, active window with a spin edit (range 9000-28000, value 12200) and a
// line edit that has the focus.
struct Window {
    QWidget widget;
    SpinEdit* spin = new SpinEdit(&widget);
    QLineEdit* other = new QLineEdit(&widget);

    Window() {
        auto* lay = new QVBoxLayout(&widget);
        lay->addWidget(spin);
        lay->addWidget(other);
        spin->setRange(9000, 28000);
        spin->setSingleStep(100);
        spin->setValue(12200);
        widget.show();
        activate();
        other->setFocus();
    }
    void activate() { QApplication::setActiveWindow(&widget); }
};

}   // namespace

class TestSpinEdit : public QObject {
    Q_OBJECT

private slots:
    void loadedTextIsKept_data();
    void loadedTextIsKept();
    void userChangesGiveSpinBoxBehaviour();
    void asciiDigitsUnderAnyLocale();
};

void TestSpinEdit::loadedTextIsKept_data() {
    QTest::addColumn<QString>("loaded");
    QTest::newRow("below the range") << "8000";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("leading zero") << "09100";
}

void TestSpinEdit::loadedTextIsKept() {
    QFETCH(QString, loaded);
    Window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.widget));
    QSignalSpy changed(w.spin, &SpinEdit::editTextChanged);

    w.spin->setEditText(loaded);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), loaded);
    // Loads the text afresh before each case, as a new answer from the device.
    auto reload = [&] {
        w.spin->setEditText(QString());
        w.spin->setEditText(loaded);
        changed.clear();
    };

    // The page holding the box is hidden and shown again.
    reload();
    w.widget.hide();
    QCOMPARE(w.spin->editText(), loaded);
    w.widget.show();
    w.activate();
    QCOMPARE(w.spin->editText(), loaded);
    QCOMPARE(changed.count(), 0);

    // The box gets the keyboard focus and loses it.
    reload();
    w.spin->setFocus();
    QVERIFY(w.spin->hasFocus());
    w.other->setFocus();
    QVERIFY(w.other->hasFocus());
    QCOMPARE(w.spin->editText(), loaded);
    QCOMPARE(changed.count(), 0);

    // Enter in the box changes nothing either.
    reload();
    w.spin->setFocus();
    QTest::keyClick(w.spin, Qt::Key_Enter);
    QCOMPARE(w.spin->editText(), loaded);
    QCOMPARE(changed.count(), 0);
}

void TestSpinEdit::userChangesGiveSpinBoxBehaviour() {
    Window w;
    QVERIFY(QTest::qWaitForWindowExposed(&w.widget));
    auto follows = [&w] { return w.spin->editText() == QString::number(w.spin->value()); };

    // Stepping from a loaded text starts from the value, and the text then
    // follows the value.
    w.spin->setEditText("8000");
    w.spin->stepBy(1);
    QVERIFY(follows());
    w.spin->setFocus();
    QTest::keyClick(w.spin, Qt::Key_Up);
    QCOMPARE(w.spin->value(), 12300);
    QVERIFY(follows());

    // Typed text: a valid value is taken; a text out of the range that the
    // user leaves behind goes back to the value, as in any spin box.
    w.spin->setEditText("abc");
    w.spin->edit()->selectAll();
    QTest::keyClicks(w.spin, "15000");
    QCOMPARE(w.spin->value(), 15000);
    w.spin->edit()->selectAll();
    QTest::keyClicks(w.spin, "500");
    QCOMPARE(w.spin->editText(), QString("500"));
    w.other->setFocus();
    QVERIFY(w.other->hasFocus());
    QCOMPARE(w.spin->editText(), QString("15000"));
    w.widget.hide();
    w.widget.show();
    QCOMPARE(w.spin->editText(), QString("15000"));
}

void TestSpinEdit::asciiDigitsUnderAnyLocale() {
    struct RestoreLocale {
        QLocale old;
        ~RestoreLocale() { QLocale::setDefault(old); }
    } restore{QLocale()};
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));

    SpinEdit spin;
    spin.setRange(9000, 28000);
    spin.setValue(12200);
    QCOMPARE(spin.editText(), QString("12200"));
    spin.setEditText("13000");
    QCOMPARE(spin.value(), 13000);
}

QTEST_MAIN(TestSpinEdit)
#include "test_spinedit.moc"
