#pragma once
// The main window's content, the same for every vertical: on the left the workspace (header,
// drop zone, queue, optional log, output folder), on the right the option column (340 wide,
// scrolling) with the vertical's option panel followed by the "File Naming" section.
//
// Hosting a vertical: pass its branding texts and a function that builds its option panel,
// for example
//   StandaloneView view(model, branding, [&model] { return new GablewiseOptions(model); });
// The panel is created once, placed at the top of the column, and owned by the view.
#include <QAbstractListModel>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

#include "ui/StandaloneViewModel.h"

class QLabel;
class QListView;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace lw::ui {

class ElidedLabel;
class NamingPatternSection;

// The texts that brand the shell for one vertical.
struct StandaloneBranding {
    QString title;      // window title, tray title and status line, "Open " item
    QString subtitle;   // one line under the title
    QString icon;       // symbol name of the header and the tray
    QString dropTitle;  // drop zone headline
    QString dropHint;   // explanation under it
    QString runLabel;   // the run command in the window, the Batch menu and the tray
    QString itemNoun;   // singular noun counting queue items
    QString tokens;     // naming tokens listed under the pattern field
};

using OptionsFactory = std::function<QWidget*()>;

// The queue as a list model: one row per item, in queue order. Roles: Qt::DisplayRole the
// file name ("IMG_0001.jpg", extension lower-cased), ItemRole the item's index in the queue.
class QueueListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit QueueListModel(StandaloneViewModelBase& model, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    const BatchItem& itemAt(int row) const;
    int rowOf(const Uuid& id) const;

private:
    void refresh();
    StandaloneViewModelBase& model_;
    std::vector<Uuid> ids_;
};

// The drop zone: a rounded panel with a dashed border (accent while files hover over it).
class DropZone : public QWidget {
    Q_OBJECT
public:
    DropZone(StandaloneViewModelBase& model, const StandaloneBranding& branding, QWidget* parent = nullptr);
    QPushButton* browseButton() const { return browse_; }
    QColor borderColor() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void updateHeight();
    StandaloneViewModelBase& model_;
    QPushButton* browse_;
    QVBoxLayout* content_;
};

class StandaloneView : public QWidget {
    Q_OBJECT
public:
    StandaloneView(StandaloneViewModelBase& model, StandaloneBranding branding, OptionsFactory options,
                   QWidget* parent = nullptr);

    const StandaloneBranding& branding() const { return branding_; }

    // The parts, for the scenes and for tests.
    DropZone* dropZone() const { return dropZone_; }
    QListView* queueList() const { return queueList_; }
    QueueListModel* queueModel() const { return queueModel_; }
    QLabel* emptyOverlay() const { return emptyOverlay_; }
    QLabel* countLabel() const { return count_; }
    QPushButton* runButton() const { return run_; }
    QPushButton* clearFinishedButton() const { return clearFinished_; }
    QPushButton* cancelButton() const { return cancel_; }
    QProgressBar* progressBar() const { return progress_; }
    QToolButton* logToggle() const { return logToggle_; }
    QPlainTextEdit* logPane() const { return logPane_; }
    ElidedLabel* outputPathLabel() const { return outputPath_; }
    QScrollArea* optionColumn() const { return optionColumn_; }
    NamingPatternSection* namingSection() const { return naming_; }
    QWidget* optionsPanel() const { return panel_; }

    // The items "Remove from Queue" on this row removes: the whole selection when the row is
    // in it, else the row alone.
    std::set<Uuid> removalFor(const Uuid& rowID) const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildWorkspace();
    QWidget* buildHeader();
    QWidget* buildQueueSection();
    QWidget* buildOutputRow();
    QWidget* buildOptionColumn(const OptionsFactory& options);
    void showContextMenu(const QPoint& at);
    void syncSelectionToView();
    void refreshQueueHeader();

    StandaloneViewModelBase& model_;
    StandaloneBranding branding_;
    DropZone* dropZone_ = nullptr;
    QListView* queueList_ = nullptr;
    QueueListModel* queueModel_ = nullptr;
    QLabel* emptyOverlay_ = nullptr;
    QLabel* count_ = nullptr;
    QWidget* idleControls_ = nullptr;
    QWidget* busyControls_ = nullptr;
    QPushButton* run_ = nullptr;
    QPushButton* clearFinished_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QToolButton* logToggle_ = nullptr;
    QPlainTextEdit* logPane_ = nullptr;
    ElidedLabel* outputPath_ = nullptr;
    QScrollArea* optionColumn_ = nullptr;
    NamingPatternSection* naming_ = nullptr;
    QWidget* panel_ = nullptr;
    bool appeared_ = false;
    bool syncingSelection_ = false;
};

}  // namespace lw::ui
