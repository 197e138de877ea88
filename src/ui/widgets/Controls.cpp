#include "ui/widgets/Controls.h"

#include <algorithm>

#include <QKeyEvent>
#include <QLocale>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

// The events on which QAbstractSpinBox rewrites the edit text from its value
// though the user changed nothing.
bool rewritesText(const QEvent* e) {
    switch (e->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::FocusOut:   // also when the window is deactivated
            return true;
        case QEvent::KeyPress: {
            const int key = static_cast<const QKeyEvent*>(e)->key();
            return key == Qt::Key_Return || key == Qt::Key_Enter;
        }
        default:
            return false;
    }
}

}   // namespace

SpinEdit::SpinEdit(QWidget* parent) : QSpinBox(parent) {
    setLocale(QLocale::c());
    // The spin box sets its own text (on a step, say) with the line edit's
    // signals blocked, so a textChanged that gets here comes from setEditText
    // or from the user typing. A stepped text is its value's text, which the
    // spin box would put back anyway, so it needs no release of its own.
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { held_ = false; });
    connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::editTextChanged);
}

void SpinEdit::setEditText(const QString& t) {
    lineEdit()->setText(t);
    held_ = true;
}

bool SpinEdit::event(QEvent* e) {
    if (!held_ || !rewritesText(e)) return QSpinBox::event(e);
    QLineEdit* le = lineEdit();
    const QString text = le->text();
    const int cursor = le->cursorPosition();
    const QSignalBlocker block(le);   // the text does not change, so nothing may be told
    const bool done = QSpinBox::event(e);
    if (le->text() != text) {
        le->setText(text);
        le->setCursorPosition(cursor);
    }
    return done;
}

RadioGroup::RadioGroup(QWidget* parent) : QGroupBox(parent) {
    group_.setExclusive(true);
    connect(&group_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked && id != index_) {
            index_ = id;
            emit itemIndexChanged(index_);
        }
    });
}

void RadioGroup::setItems(const QStringList& captions) {
    auto* lay = qobject_cast<QVBoxLayout*>(layout());
    if (!lay) {
        lay = new QVBoxLayout(this);
        lay->setContentsMargins(2, 2, 2, 2);
    }
    for (int i = 0; i < captions.size(); ++i) {
        auto* b = new QRadioButton(captions[i], this);
        group_.addButton(b, i);
        lay->addWidget(b);
    }
}

int RadioGroup::count() const { return int(group_.buttons().size()); }

QRadioButton* RadioGroup::button(int i) const { return qobject_cast<QRadioButton*>(group_.button(i)); }

void RadioGroup::setRowSpacing(int px) {
    if (layout()) layout()->setSpacing(px);
}

void RadioGroup::setItemIndex(int i) {
    if (i < 0 || i >= count()) i = -1;
    if (i == index_) return;
    if (i < 0) {
        group_.setExclusive(false);
        if (auto* b = group_.button(index_)) b->setChecked(false);
        group_.setExclusive(true);
        index_ = -1;
        emit itemIndexChanged(-1);
        return;
    }
    group_.button(i)->setChecked(true);   // idToggled updates index_ and emits
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == full_) return;
    full_ = text;
    setToolTip(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }
QSize ElidedLabel::sizeHint() const { return {0, QLabel::sizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* e) {
    QLabel::resizeEvent(e);
    elide();
}

void ElidedLabel::changeEvent(QEvent* e) {
    QLabel::changeEvent(e);
    if (e->type() == QEvent::FontChange) elide();
}

void ElidedLabel::elide() {
    const int room = contentsRect().width() - 2 * margin() - 2 * std::max(indent(), 0);
    setText(fontMetrics().elidedText(full_, Qt::ElideRight, std::max(room, 0)));
}
