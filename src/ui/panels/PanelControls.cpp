#include "ui/panels/PanelControls.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/OptionWidgets.h"
#include "ui/Style.h"

#include <algorithm>

namespace lw::ui {

Stepper::Stepper(std::function<QString(int)> caption, int minimum, int maximum, QWidget* parent)
    : QWidget(parent), caption_(std::move(caption)), minimum_(minimum), maximum_(maximum), value_(minimum) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    label_ = new QLabel(this);
    layout->addWidget(label_);
    layout->addStretch(1);
    down_ = new QToolButton(this);
    down_->setText(QStringLiteral("−"));
    down_->setAccessibleName(tr("Decrement"));
    down_->setAutoRepeat(true);
    up_ = new QToolButton(this);
    up_->setText(QStringLiteral("+"));
    up_->setAccessibleName(tr("Increment"));
    up_->setAutoRepeat(true);
    for (QToolButton* button : {down_, up_}) {
        button->setFixedSize(22, 20);
        layout->addWidget(button);
    }
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
    connect(up_, &QToolButton::clicked, this, [this] { step(+1); });
    show(value_);
}

void Stepper::setValue(int value) { show(value); }

void Stepper::step(int by) {
    const int next = std::clamp(value_ + by, minimum_, maximum_);
    if (next == value_) return;
    show(next);
    emit valueChanged(next);
}

void Stepper::show(int value) {
    value_ = value;
    label_->setText(caption_(value));
    down_->setEnabled(value > minimum_);
    up_->setEnabled(value < maximum_);
}

bool isShownIn(const QWidget* panel, const QWidget* control) {
    for (const QWidget* w = control; w && w != panel; w = w->parentWidget())
        if (w->isHidden()) return false;
    return true;
}

}  // namespace lw::ui

namespace lw::ui {

QComboBox* addWidePicker(FormSection* section, const QString& label, const QString& help) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* caption = new QLabel(label, box);
    caption->setObjectName("rowLabel");
    layout->addWidget(caption);
    auto* picker = new QComboBox(box);
    picker->setAccessibleName(label);
    picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker->setMinimumContentsLength(6);
    picker->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    layout->addWidget(picker);
    QWidget* row = section->addRow(box);
    picker->setProperty("lwRow", QVariant::fromValue(static_cast<QObject*>(row)));
    row->setToolTip(help);
    return picker;
}

QLabel* addTextBlock(FormSection* section, const QString& text, bool monospaced, bool first) {
    // A note is its own row, so the column's layout wraps it at the row's true width.
    OptionNote* block = section->addNote(text);
    if (monospaced) ui::setFont(block, 10, Weight::regular, true);
    if (first) block->setContentsMargins(10, 8, 10, 8);
    return block;
}

}  // namespace lw::ui
