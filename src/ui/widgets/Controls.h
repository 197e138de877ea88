#pragma once
// The control kinds Qt lacks: a spin edit whose text is carried unclamped,
// a radio group with an item index, and a one-line label that never widens
// its window.
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QStringList>

// A spin box whose edit text can hold any text: values loaded from the device
// or a file are shown and written back as they are, not clamped to the range.
//
// A text put in with setEditText stays exactly as it is (out of range, not a
// number, leading zeros) until the user changes it by typing or stepping:
// QAbstractSpinBox would otherwise put back the text of its previous value
// when the box is hidden or shown, loses the focus or gets Enter. Once the
// user acts, the box behaves as any spin box.
//
// Values are shown and read with ASCII digits whatever the user's locale, as
// the device takes nothing else.
class SpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit SpinEdit(QWidget* parent = nullptr);
    QString editText() const { return lineEdit()->text(); }
    void setEditText(const QString& t);
    QLineEdit* edit() const { return lineEdit(); }
signals:
    void editTextChanged(const QString&);

protected:
    bool event(QEvent* e) override;

private:
    bool held_ = false;   // the text was put in by setEditText and not typed over since
};

// A group of radio buttons with one selected index (-1: none selected).
// itemIndexChanged fires only when the index really changes, whether the user
// clicked or the program set it.
class RadioGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit RadioGroup(QWidget* parent = nullptr);
    void setItems(const QStringList& captions);   // one radio button per caption, stacked
    int count() const;
    int itemIndex() const { return index_; }
    void setItemIndex(int i);   // out of range: nothing selected
    QRadioButton* button(int i) const;
    void setRowSpacing(int px);
signals:
    void itemIndexChanged(int index);

private:
    QButtonGroup group_;
    int index_ = -1;
};

// One line of text that shows what fits and ends in "…" when cut; the whole
// text is also its tooltip. It asks for no width of its own, so a long text
// never widens the window.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void elide();
    QString full_;
};
