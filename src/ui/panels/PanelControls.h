#pragma once
// Controls the texture and podcast panels share: a stepper (caption with the value, then "−"
// and "+" buttons that stop at the range's ends) and a check of whether a control is shown.
#include <QLabel>
#include <QToolButton>
#include <QWidget>

#include <functional>

class QComboBox;

namespace lw::ui {

class FormSection;

class Stepper : public QWidget {
    Q_OBJECT
public:
    // `caption` turns the value into the text shown at the leading edge.
    Stepper(std::function<QString(int)> caption, int minimum, int maximum, QWidget* parent = nullptr);

    int value() const { return value_; }
    // Shows `value` (a stored value outside the range as it is) without emitting valueChanged.
    void setValue(int value);
    // A press of "−" (-1) or "+" (+1); does nothing at the range's end.
    void step(int by);

    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    QLabel* label() const { return label_; }
    QToolButton* downButton() const { return down_; }
    QToolButton* upButton() const { return up_; }

signals:
    void valueChanged(int value);

private:
    void show(int value);
    std::function<QString(int)> caption_;
    int minimum_;
    int maximum_;
    int value_;
    QLabel* label_;
    QToolButton* down_;
    QToolButton* up_;
};

// True when neither `control` nor any of its parents up to `panel` is hidden.
bool isShownIn(const QWidget* panel, const QWidget* control);

}  // namespace lw::ui




namespace lw::ui {

// A picker for long choices: its label above it, the picker as wide as the row, so long
// choices neither widen the option column nor get cut.
QComboBox* addWidePicker(FormSection* section, const QString& label, const QString& help = {});

// A block of small text in its own row: 10 points, dimmed, wrapped, optionally fixed-width;
// `first` when it opens its section (padded above like a control row).
QLabel* addTextBlock(FormSection* section, const QString& text, bool monospaced, bool first = false);

}  // namespace lw::ui
