#pragma once
// The pieces every option panel and the window's option column are built from.
//
// A panel is a QWidget holding FormSections in a vertical layout (use OptionForm). It holds no
// state of its own: it reads the model's preset, writes one field per control change through
// StandaloneViewModel<P>::updatePreset(), and on the model's presetChanged() signal puts the
// values back into its controls (under QSignalBlocker) and shows or hides its conditional rows.
// Hidden rows keep their fields. The window appends NamingPatternSection after the panel.
//
//   auto* form = new OptionForm(parent);
//   auto* section = form->addSection(tr("Listing"));
//   QLineEdit* address = section->addTextField(tr("Property Address"));
//   section->addNote(tr("Used for the {address} part of file names."));
//   QCheckBox* merge = section->addToggle(tr("Merge Exposure Brackets"), tr("Blends ..."));
//   section->rowOf(merge)->setVisible(...);
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "ui/DesktopServices.h"

class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace lw::ui {

// Small explanatory text under a control: 10 points, dimmed, wrapped over as many lines as it
// needs (never cut), as wide as its container.
class OptionNote : public QLabel {
    Q_OBJECT
public:
    explicit OptionNote(const QString& text, QWidget* parent = nullptr);
};

// One line of text shortened in the middle when too narrow; the whole text is its tooltip
// when asked. The colour may be computed at each repaint.
class ElidedLabel : public QWidget {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return text_; }
    // The text as drawn at the current width.
    QString displayedText() const;
    // Called at every paint; the palette's text colour when unset.
    void setColorProvider(std::function<QColor()> provider);
    QColor currentColor() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString text_;
    std::function<QColor()> color_;
};

// A titled group of rows on a rounded panel, the grouped-form section. Rows are separated by
// hairlines, except notes, which sit under the row above them.
class FormSection : public QWidget {
    Q_OBJECT
public:
    explicit FormSection(const QString& title, QWidget* parent = nullptr);

    // A full-width row.
    QWidget* addRow(QWidget* content);
    // `label` at the leading edge, `control` at the trailing edge (stretched when `expand`).
    QWidget* addRow(const QString& label, QWidget* control, bool expand = false);
    // A note under the previous row.
    OptionNote* addNote(const QString& text);

    // Conveniences returning the control; `help` becomes the row's tooltip.
    QCheckBox* addToggle(const QString& label, const QString& help = {});
    QComboBox* addPicker(const QString& label, const QString& help = {});
    QLineEdit* addTextField(const QString& label, const QString& help = {});

    // The row that holds a control added above (to show or hide it).
    QWidget* rowOf(QWidget* control) const;
    QString title() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* appendRow(QWidget* row, bool attached);
    QLabel* title_;
    QFrame* box_;
    QVBoxLayout* rows_;
};

// The grouped form: a column of sections.
class OptionForm : public QWidget {
    Q_OBJECT
public:
    explicit OptionForm(QWidget* parent = nullptr);
    FormSection* addSection(const QString& title);
    void addSection(FormSection* section);
    void addWidget(QWidget* widget);  // a whole panel of sections, for example

private:
    QVBoxLayout* layout_;
};

// One optional file: the label, then "Choose…" when none is set, or the file's name (red when
// the file is gone, checked at every repaint) and a "Remove" button. The row never changes its
// file itself: it calls `set` (chosen file, or none on "Remove") and the host calls setUrl().
class FilePickerRow : public QWidget {
    Q_OBJECT
public:
    FilePickerRow(const QString& label, std::vector<FileType> types,
                  std::function<void(std::optional<std::filesystem::path>)> set,
                  DesktopServices& services = DesktopServices::shared(), QWidget* parent = nullptr);

    void setUrl(const std::optional<std::filesystem::path>& url);
    const std::optional<std::filesystem::path>& url() const { return url_; }

    QPushButton* chooseButton() const { return choose_; }
    QToolButton* removeButton() const { return remove_; }
    ElidedLabel* fileNameLabel() const { return name_; }

    // The "Choose…" steps: runs the open panel and calls `set` unless it was cancelled.
    void choose();

private:
    std::vector<FileType> types_;
    std::function<void(std::optional<std::filesystem::path>)> set_;
    DesktopServices& services_;
    std::optional<std::filesystem::path> url_;
    QPushButton* choose_;
    ElidedLabel* name_;
    QToolButton* remove_;
};

// The "File Naming" section: the pattern field (11-point fixed-width) and the note
// "Available: " + tokens. Every edit is sent at once by patternEdited(); the host calls
// setPattern() when the model's pattern changes.
class NamingPatternSection : public FormSection {
    Q_OBJECT
public:
    explicit NamingPatternSection(const QString& tokens, QWidget* parent = nullptr);
    void setPattern(const QString& pattern);
    QLineEdit* field() const { return field_; }
    OptionNote* note() const { return note_; }

signals:
    void patternEdited(const QString& pattern);

private:
    QLineEdit* field_;
    OptionNote* note_;
};

}  // namespace lw::ui
