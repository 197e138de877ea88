#include "app/ui/Controls.h"

#include <QRadioButton>
#include <QVBoxLayout>

SpinEdit::SpinEdit(QWidget* parent) : QSpinBox(parent) {
    connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::editTextChanged);
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
