#include "ui/OptionWidgets.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/Style.h"

namespace lw::ui {

namespace fs = std::filesystem;

// MARK: OptionNote

OptionNote::OptionNote(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    ui::setFont(this, 10);
    setTextColor(this, secondaryColor(this));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
}

// MARK: ElidedLabel

ElidedLabel::ElidedLabel(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

QString ElidedLabel::displayedText() const {
    return fontMetrics().elidedText(text_, Qt::ElideMiddle, width());
}

void ElidedLabel::setColorProvider(std::function<QColor()> provider) {
    color_ = std::move(provider);
    update();
}

QColor ElidedLabel::currentColor() const { return color_ ? color_() : palette().color(QPalette::WindowText); }

// Two pixels more than the line height: some fixed-width fonts draw "_" below their descent.
QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text_) + 2, fontMetrics().height() + 2};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance("M…M") + 2, fontMetrics().height() + 2};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(currentColor());
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip, displayedText());
}

// MARK: FormSection

FormSection::FormSection(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);
    title_ = new QLabel(title, this);
    ui::setFont(title_, 11, Weight::semibold);
    setTextColor(title_, secondaryColor(this));
    title_->setContentsMargins(6, 0, 0, 0);
    title_->setVisible(!title.isEmpty());
    outer->addWidget(title_);
    box_ = new QFrame(this);
    box_->installEventFilter(this);
    rows_ = new QVBoxLayout(box_);
    rows_->setContentsMargins(0, 2, 0, 2);
    rows_->setSpacing(0);
    outer->addWidget(box_);
}

QString FormSection::title() const { return title_->text(); }

QWidget* FormSection::appendRow(QWidget* row, bool attached) {
    row->setParent(box_);
    row->setProperty("lwAttached", attached);
    rows_->addWidget(row);
    row->installEventFilter(this);  // repaint separators when rows show or hide
    return row;
}

QWidget* FormSection::addRow(QWidget* content) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->addWidget(content);
    content->setProperty("lwRow", QVariant::fromValue(static_cast<QObject*>(row)));
    return appendRow(row, false);
}

QWidget* FormSection::addRow(const QString& label, QWidget* control, bool expand) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(10, 6, 10, 6);
    layout->setSpacing(8);
    auto* caption = new QLabel(label, row);
    caption->setObjectName("rowLabel");
    layout->addWidget(caption);
    if (expand) {
        layout->addWidget(control, 1);
    } else {
        layout->addStretch(1);
        layout->addWidget(control);
    }
    control->setProperty("lwRow", QVariant::fromValue(static_cast<QObject*>(row)));
    return appendRow(row, false);
}

OptionNote* FormSection::addNote(const QString& text) {
    // The note is its own row, so the column's layout wraps it at the row's true width.
    auto* note = new OptionNote(text);
    note->setContentsMargins(10, 0, 10, 6);
    note->setProperty("lwRow", QVariant::fromValue(static_cast<QObject*>(note)));
    appendRow(note, true);
    return note;
}

QCheckBox* FormSection::addToggle(const QString& label, const QString& help) {
    auto* toggle = new QCheckBox;
    toggle->setAccessibleName(label);
    QWidget* row = addRow(label, toggle);
    row->setToolTip(help);
    return toggle;
}

QComboBox* FormSection::addPicker(const QString& label, const QString& help) {
    auto* picker = new QComboBox;
    picker->setAccessibleName(label);
    picker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    QWidget* row = addRow(label, picker);
    row->setToolTip(help);
    return picker;
}

QLineEdit* FormSection::addTextField(const QString& label, const QString& help) {
    auto* field = new QLineEdit;
    field->setAccessibleName(label);
    QWidget* row = addRow(label, field, true);
    row->setToolTip(help);
    return field;
}

QWidget* FormSection::rowOf(QWidget* control) const {
    return qobject_cast<QWidget*>(control->property("lwRow").value<QObject*>());
}

bool FormSection::eventFilter(QObject* watched, QEvent* event) {
    if (watched == box_ && event->type() == QEvent::Paint) {
        QPainter p(box_);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(box_->rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        p.fillPath(shape, box_->palette().color(QPalette::Base));
        QColor line = box_->palette().color(QPalette::WindowText);
        line.setAlphaF(0.12);
        p.setPen(QPen(line, 1));
        p.drawPath(shape);
        bool first = true;
        for (int i = 0; i < rows_->count(); ++i) {
            QWidget* row = rows_->itemAt(i)->widget();
            if (!row || row->isHidden()) continue;
            if (!first && !row->property("lwAttached").toBool()) {
                const double y = row->geometry().top() + 0.5;
                p.drawLine(QPointF(10, y), QPointF(box_->width() - 10, y));
            }
            first = false;
        }
        return false;
    }
    if (watched != box_ && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) box_->update();
    return QWidget::eventFilter(watched, event);
}

// MARK: OptionForm

OptionForm::OptionForm(QWidget* parent) : QWidget(parent) {
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(16);
}

FormSection* OptionForm::addSection(const QString& title) {
    auto* section = new FormSection(title, this);
    layout_->addWidget(section);
    return section;
}

void OptionForm::addSection(FormSection* section) { layout_->addWidget(section); }
void OptionForm::addWidget(QWidget* widget) { layout_->addWidget(widget); }

// MARK: FilePickerRow

FilePickerRow::FilePickerRow(const QString& label, std::vector<FileType> types,
                             std::function<void(std::optional<fs::path>)> set, DesktopServices& services,
                             QWidget* parent)
    : QWidget(parent), types_(std::move(types)), set_(std::move(set)), services_(services) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    auto* caption = new QLabel(label, this);
    layout->addWidget(caption);
    layout->addStretch(1);

    choose_ = new QPushButton(tr("Choose…"), this);
    ui::setFont(choose_, 11);
    layout->addWidget(choose_);

    name_ = new ElidedLabel(this);
    ui::setFont(name_, 11, Weight::regular, true);
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    name_->setColorProvider([this] {
        std::error_code ec;
        const bool exists = url_ && fs::exists(*url_, ec);
        return exists ? palette().color(QPalette::WindowText) : failureColor();
    });
    layout->addWidget(name_);

    remove_ = new QToolButton(this);
    remove_->setAutoRaise(true);
    remove_->setIcon(symbolIcon("xmark.circle.fill"));
    remove_->setIconSize(QSize(14, 14));
    remove_->setToolTip(tr("Remove"));
    remove_->setAccessibleName(tr("Remove"));
    layout->addWidget(remove_);

    connect(choose_, &QPushButton::clicked, this, &FilePickerRow::choose);
    connect(remove_, &QToolButton::clicked, this, [this] { set_(std::nullopt); });
    setUrl(std::nullopt);
}

void FilePickerRow::setUrl(const std::optional<fs::path>& url) {
    url_ = url;
    choose_->setVisible(!url_);
    name_->setVisible(url_.has_value());
    remove_->setVisible(url_.has_value());
    name_->setText(url_ ? QString::fromStdString(url_->filename().string()) : QString());
    name_->update();
}

void FilePickerRow::choose() {
    auto chosen = services_.chooseFile(window(), types_);
    if (!chosen) return;
    set_(*chosen);
}

// MARK: NamingPatternSection

NamingPatternSection::NamingPatternSection(const QString& tokens, QWidget* parent)
    : FormSection(tr("File Naming"), parent) {
    field_ = addTextField(tr("Pattern"));
    field_->setPlaceholderText(tr("Pattern"));
    ui::setFont(field_, 11, Weight::regular, true);
    note_ = addNote(tr("Available: ") + tokens);
    connect(field_, &QLineEdit::textEdited, this, &NamingPatternSection::patternEdited);
}

void NamingPatternSection::setPattern(const QString& pattern) {
    if (field_->text() != pattern) field_->setText(pattern);
}

}  // namespace lw::ui
