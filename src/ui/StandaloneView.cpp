#include "ui/StandaloneView.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/OptionWidgets.h"
#include "ui/Style.h"
#include "ui/WindowSnapshot.h"

namespace lw::ui {

namespace fs = std::filesystem;

namespace {

constexpr int kItemRole = Qt::UserRole + 1;

QPushButton* smallButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    ui::setFont(button, 11);
    return button;
}

QString fileName(const BatchItem& item) {
    return QString::fromStdString(item.originalFileName) + "." + QString::fromStdString(item.fileExtension);
}

bool showsMessage(const BatchItem& item) {
    return item.errorMessage && (item.status == ProcessingStatus::processing || item.status == ProcessingStatus::failed ||
                                 item.status == ProcessingStatus::skipped);
}

// Up to `maxLines` lines of `text` wrapped at `width`, the last one elided.
QStringList wrappedLines(const QString& text, const QFont& font, int width, int maxLines) {
    QStringList lines;
    QTextLayout layout(text, font);
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            lines << QFontMetrics(font).elidedText(text.mid(line.textStart()).simplified(), Qt::ElideRight, width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

// One queue row: the file name (and the error or skip reason under it), a progress bar while
// processing, and the status text.
class QueueRowDelegate : public QStyledItemDelegate {
public:
    QueueRowDelegate(QueueListModel& queue, QListView* view) : QStyledItemDelegate(view), queue_(queue), view_(view) {}

    static constexpr int kPadX = 8, kPadY = 5, kBarWidth = 60, kGap = 8;

    int statusWidth() const {
        const QFontMetrics fm(font(10, Weight::semibold));
        int w = 0;
        for (auto s : allProcessingStatuses()) w = std::max(w, fm.horizontalAdvance(QString::fromStdString(rawValue(s))));
        return w;
    }

    int textWidth(int rowWidth, const BatchItem& item) const {
        int w = rowWidth - 2 * kPadX - statusWidth() - kGap;
        if (item.status == ProcessingStatus::processing) w -= kBarWidth + kGap;
        return std::max(40, w);
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const BatchItem& item = queue_.itemAt(index.row());
        int h = QFontMetrics(font(11, Weight::regular, true)).height() + 2;
        if (showsMessage(item)) {
            const QFont f = font(10);
            const int lines = wrappedLines(QString::fromStdString(*item.errorMessage), f,
                                           textWidth(view_->viewport()->width(), item), 2)
                                  .size();
            h += 2 + lines * QFontMetrics(f).lineSpacing();
        }
        return {view_->viewport()->width(), h + 2 * kPadY};
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem base = option;
        initStyleOption(&base, index);
        base.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &base, p, widget);

        const BatchItem& item = queue_.itemAt(index.row());
        const bool selected = option.state & QStyle::State_Selected;
        const QColor text = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        QColor secondary = text;
        secondary.setAlphaF(0.6);
        const QRect r = option.rect.adjusted(kPadX, kPadY, -kPadX, -kPadY);
        p->save();

        // Status text at the trailing edge, centred vertically.
        const QFont statusFont = font(10, Weight::semibold);
        const QString status = QString::fromStdString(rawValue(item.status));
        QColor statusColor = secondary;
        if (item.status == ProcessingStatus::completed) statusColor = successColor();
        if (item.status == ProcessingStatus::failed) statusColor = failureColor();
        if (selected) statusColor = text;  // coloured text on the selection colour is unreadable
        const int sw = QFontMetrics(statusFont).horizontalAdvance(status);
        p->setFont(statusFont);
        p->setPen(statusColor);
        p->drawText(QRect(r.right() - sw + 1, r.top(), sw, r.height()), Qt::AlignVCenter | Qt::AlignRight | Qt::TextDontClip,
                    status);
        int trailing = r.right() - sw - kGap;

        if (item.status == ProcessingStatus::processing) {
            QStyleOptionProgressBar bar;
            bar.rect = QRect(trailing - kBarWidth + 1, r.center().y() - 3, kBarWidth, 6);
            bar.minimum = 0;
            bar.maximum = 1000;
            bar.progress = static_cast<int>(std::clamp(item.progress, 0.0, 1.0) * 1000);
            bar.textVisible = false;
            bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
            bar.palette = option.palette;
            style->drawControl(QStyle::CE_ProgressBar, &bar, p, widget);
            trailing -= kBarWidth + kGap;
        }

        const int width = trailing - r.left();
        const QFont nameFont = font(11, Weight::regular, true);
        const QFontMetrics nameMetrics(nameFont);
        int contentHeight = nameMetrics.height() + 2;  // room for "_" below the descent
        QStringList message;
        const QFont messageFont = font(10);
        if (showsMessage(item)) {
            message = wrappedLines(QString::fromStdString(*item.errorMessage), messageFont, width, 2);
            contentHeight += 2 + message.size() * QFontMetrics(messageFont).lineSpacing();
        }
        int y = r.top() + (r.height() - contentHeight) / 2;
        p->setFont(nameFont);
        p->setPen(text);
        p->drawText(QRect(r.left(), y, width, nameMetrics.height() + 2), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip,
                    nameMetrics.elidedText(fileName(item), Qt::ElideRight, width));
        y += nameMetrics.height() + 4;
        if (!message.isEmpty()) {
            p->setFont(messageFont);
            p->setPen(item.status == ProcessingStatus::failed && !selected ? failureColor() : secondary);
            const int ls = QFontMetrics(messageFont).lineSpacing();
            for (const QString& line : message) {
                p->drawText(QRect(r.left(), y, width, ls), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip, line);
                y += ls;
            }
        }
        p->restore();
    }

private:
    QueueListModel& queue_;
    QListView* view_;
};

}  // namespace

// MARK: QueueListModel

QueueListModel::QueueListModel(StandaloneViewModelBase& model, QObject* parent) : QAbstractListModel(parent), model_(model) {
    for (const auto& i : model_.queueItems()) ids_.push_back(i.id);
    connect(&model_, &StandaloneViewModelBase::queueItemsChanged, this, &QueueListModel::refresh);
}

void QueueListModel::refresh() {
    std::vector<Uuid> ids;
    for (const auto& i : model_.queueItems()) ids.push_back(i.id);
    if (ids == ids_) {
        // Same rows: their texts changed, and their heights follow whether a message shows.
        emit layoutAboutToBeChanged();
        emit layoutChanged();
        if (!ids_.empty()) emit dataChanged(index(0), index(static_cast<int>(ids_.size()) - 1));
        return;
    }
    beginResetModel();
    ids_ = std::move(ids);
    endResetModel();
}

int QueueListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

const BatchItem& QueueListModel::itemAt(int row) const { return model_.queueItems().at(static_cast<std::size_t>(row)); }

int QueueListModel::rowOf(const Uuid& id) const {
    for (std::size_t i = 0; i < ids_.size(); ++i)
        if (ids_[i] == id) return static_cast<int>(i);
    return -1;
}

QVariant QueueListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const BatchItem& item = itemAt(index.row());
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
        QString text = fileName(item);
        if (role == Qt::AccessibleTextRole) text += " " + QString::fromStdString(rawValue(item.status));
        return text;
    }
    if (role == kItemRole) return index.row();
    return {};
}

// MARK: DropZone

DropZone::DropZone(StandaloneViewModelBase& model, const StandaloneBranding& branding, QWidget* parent)
    : QWidget(parent), model_(model) {
    setAcceptDrops(true);
    content_ = new QVBoxLayout(this);
    content_->setContentsMargins(16, 16, 16, 16);
    content_->setSpacing(6);
    auto* title = new QLabel(branding.dropTitle, this);
    title->setObjectName("dropTitle");
    ui::setFont(title, 14, Weight::semibold);
    title->setAlignment(Qt::AlignCenter);
    auto* hint = new QLabel(branding.dropHint, this);
    hint->setObjectName("dropHint");
    ui::setFont(hint, 11);
    setTextColor(hint, secondaryColor(this));
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    browse_ = smallButton(tr("Browse…"), this);
    content_->addStretch(1);
    content_->addWidget(title);
    content_->addWidget(hint);
    content_->addWidget(browse_, 0, Qt::AlignHCenter);
    content_->addStretch(1);
    connect(browse_, &QPushButton::clicked, this, [this] { model_.browse(window()); });
    connect(&model_, &StandaloneViewModelBase::queueItemsChanged, this, &DropZone::updateHeight);
    connect(&model_, &StandaloneViewModelBase::isDropTargetedChanged, this, qOverload<>(&QWidget::update));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    updateHeight();
}

void DropZone::updateHeight() {
    const int wanted = model_.queueItems().empty() ? 150 : 96;
    // Never shorter than its own texts: a narrow window wraps the hint onto more lines.
    const int content = content_->minimumSize().height();
    setFixedHeight(std::max(wanted, content));
}

QColor DropZone::borderColor() const {
    if (model_.isDropTargeted()) return accentColor(this);
    QColor c = secondaryColor(this);
    c.setAlphaF(c.alphaF() * 0.3);
    return c;
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath shape;
    shape.addRoundedRect(r, 12, 12);
    p.fillPath(shape, palette().color(QPalette::Base));
    QPen pen(borderColor(), 2);
    pen.setDashPattern({3, 3});  // in pen widths: 6 on, 6 off
    p.setPen(pen);
    p.drawPath(shape);
}

namespace {
bool hasLocalFiles(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return false;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) return true;
    return false;
}
}  // namespace

void DropZone::dragEnterEvent(QDragEnterEvent* event) {
    if (!hasLocalFiles(event->mimeData())) return;
    event->acceptProposedAction();
    model_.setDropTargeted(true);
}

void DropZone::dragMoveEvent(QDragMoveEvent* event) {
    if (hasLocalFiles(event->mimeData())) event->acceptProposedAction();
}

void DropZone::dragLeaveEvent(QDragLeaveEvent*) { model_.setDropTargeted(false); }

void DropZone::dropEvent(QDropEvent* event) {
    model_.setDropTargeted(false);
    // One ingest per file, each on a later turn of the event loop.
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        const fs::path path = url.toLocalFile().toStdString();
        QMetaObject::invokeMethod(&model_, [model = &model_, path] { model->ingest({path}); }, Qt::QueuedConnection);
    }
    event->acceptProposedAction();
}

// MARK: StandaloneView

StandaloneView::StandaloneView(StandaloneViewModelBase& model, StandaloneBranding branding, OptionsFactory options,
                               QWidget* parent)
    : QWidget(parent), model_(model), branding_(std::move(branding)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(buildWorkspace(), 1);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    QPalette dp = divider->palette();
    QColor line = dp.color(QPalette::WindowText);
    line.setAlphaF(0.2);
    dp.setColor(QPalette::WindowText, line);
    divider->setPalette(dp);
    row->addWidget(divider);
    row->addWidget(buildOptionColumn(options));
    setMinimumSize(860, 600);
    refreshQueueHeader();
}

QWidget* StandaloneView::buildWorkspace() {
    auto* workspace = new QWidget(this);
    workspace->setMinimumWidth(460);
    auto* column = new QVBoxLayout(workspace);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    column->addWidget(buildHeader());
    dropZone_ = new DropZone(model_, branding_, workspace);
    column->addWidget(dropZone_);
    column->addWidget(buildQueueSection(), 1);

    logPane_ = new QPlainTextEdit(workspace);
    logPane_->setReadOnly(true);
    logPane_->setMaximumBlockCount(StandaloneViewModelBase::kMaxLogLines);
    logPane_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logPane_->setFixedHeight(120);
    logPane_->setFont(ui::font(10, Weight::regular, true));
    logPane_->setFrameShape(QFrame::NoFrame);
    logPane_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logPane_->document()->setDocumentMargin(8);
    logPane_->setStyleSheet("QPlainTextEdit { background: palette(base); border-radius: 8px; }");
    logPane_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    for (const QString& line : model_.logLines()) logPane_->appendPlainText(line);
    logPane_->setVisible(model_.showLog());
    column->addWidget(logPane_);
    connect(&model_, &StandaloneViewModelBase::logLineAppended, logPane_, [this](const QString& line) {
        logPane_->appendPlainText(line);
        logPane_->verticalScrollBar()->setValue(logPane_->verticalScrollBar()->maximum());
    });
    connect(&model_, &StandaloneViewModelBase::showLogChanged, logPane_, &QWidget::setVisible);

    column->addWidget(buildOutputRow());
    return workspace;
}

QWidget* StandaloneView::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(header);
    icon->setObjectName("headerIcon");
    const int side = ui::font(24).pixelSize() + 4;
    icon->setPixmap(symbolIcon(branding_.icon, accentColor(this)).pixmap(side, side));
    row->addWidget(icon);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = new QLabel(branding_.title, header);
    title->setObjectName("title");
    ui::setFont(title, 16, Weight::bold);
    auto* subtitle = new QLabel(branding_.subtitle, header);
    subtitle->setObjectName("subtitle");
    ui::setFont(subtitle, 11);
    setTextColor(subtitle, secondaryColor(this));
    texts->addWidget(title);
    texts->addWidget(subtitle);
    row->addLayout(texts);
    row->addStretch(1);
    logToggle_ = new QToolButton(header);
    logToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    logToggle_->setIcon(symbolIcon("terminal"));
    ui::setFont(logToggle_, 11);
    const auto label = [this] { logToggle_->setText(model_.showLog() ? tr("Hide Log") : tr("Show Log")); };
    label();
    connect(logToggle_, &QToolButton::clicked, this, [this] { model_.setShowLog(!model_.showLog()); });
    connect(&model_, &StandaloneViewModelBase::showLogChanged, logToggle_, label);
    row->addWidget(logToggle_);
    return header;
}

QWidget* StandaloneView::buildQueueSection() {
    auto* section = new QWidget(this);
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);

    auto* header = new QHBoxLayout;
    auto* title = new QLabel(tr("Queue"), section);
    ui::setFont(title, 12, Weight::bold);
    header->addWidget(title);
    count_ = new QLabel(section);
    ui::setFont(count_, 11);
    setTextColor(count_, secondaryColor(this));
    header->addWidget(count_);
    header->addStretch(1);

    busyControls_ = new QWidget(section);
    auto* busy = new QHBoxLayout(busyControls_);
    busy->setContentsMargins(0, 0, 0, 0);
    progress_ = new QProgressBar(busyControls_);
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(120);
    progress_->setMaximumHeight(8);
    cancel_ = smallButton(tr("Cancel"), busyControls_);
    busy->addWidget(progress_);
    busy->addWidget(cancel_);
    header->addWidget(busyControls_);

    idleControls_ = new QWidget(section);
    auto* idle = new QHBoxLayout(idleControls_);
    idle->setContentsMargins(0, 0, 0, 0);
    clearFinished_ = smallButton(tr("Clear Finished"), idleControls_);
    run_ = smallButton(branding_.runLabel, idleControls_);
    run_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    run_->setDefault(true);
    run_->setStyleSheet(
        "QPushButton { background: palette(highlight); color: palette(highlighted-text); border: none;"
        " border-radius: 5px; padding: 3px 12px; }"
        "QPushButton:disabled { background: palette(midlight); color: palette(mid); }");
    idle->addWidget(clearFinished_);
    idle->addWidget(run_);
    header->addWidget(idleControls_);
    column->addLayout(header);

    queueList_ = new QListView(section);
    queueModel_ = new QueueListModel(model_, queueList_);
    queueList_->setModel(queueModel_);
    queueList_->setItemDelegate(new QueueRowDelegate(*queueModel_, queueList_));
    queueList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    queueList_->setUniformItemSizes(false);
    queueList_->setContextMenuPolicy(Qt::CustomContextMenu);
    queueList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    queueList_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    queueList_->setMinimumHeight(80);
    column->addWidget(queueList_, 1);

    emptyOverlay_ = new QLabel(tr("Nothing queued yet"), queueList_->viewport());
    ui::setFont(emptyOverlay_, 11);
    setTextColor(emptyOverlay_, secondaryColor(this));
    emptyOverlay_->setAlignment(Qt::AlignCenter);
    emptyOverlay_->setAttribute(Qt::WA_TransparentForMouseEvents);
    queueList_->viewport()->installEventFilter(this);

    auto* remove = new QAction(tr("Delete"), queueList_);
    remove->setShortcuts({QKeySequence::Delete, QKeySequence(Qt::Key_Backspace)});
    remove->setShortcutContext(Qt::WidgetShortcut);
    queueList_->addAction(remove);
    connect(remove, &QAction::triggered, this, [this] { model_.remove(model_.selection()); });

    connect(cancel_, &QPushButton::clicked, &model_, &StandaloneViewModelBase::cancel);
    connect(clearFinished_, &QPushButton::clicked, &model_, &StandaloneViewModelBase::clearFinished);
    connect(run_, &QPushButton::clicked, &model_, &StandaloneViewModelBase::start);
    connect(queueList_, &QListView::customContextMenuRequested, this, &StandaloneView::showContextMenu);
    connect(queueList_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (syncingSelection_) return;
        std::set<Uuid> ids;
        for (const QModelIndex& index : queueList_->selectionModel()->selectedRows())
            ids.insert(queueModel_->itemAt(index.row()).id);
        model_.setSelection(ids);
    });
    connect(queueModel_, &QAbstractItemModel::modelReset, this, &StandaloneView::syncSelectionToView);
    connect(&model_, &StandaloneViewModelBase::selectionChanged, this, &StandaloneView::syncSelectionToView);
    connect(&model_, &StandaloneViewModelBase::queueItemsChanged, this, &StandaloneView::refreshQueueHeader);
    connect(&model_, &StandaloneViewModelBase::isProcessingChanged, this, &StandaloneView::refreshQueueHeader);
    connect(&model_, &StandaloneViewModelBase::overallProgressChanged, this, &StandaloneView::refreshQueueHeader);
    return section;
}

QWidget* StandaloneView::buildOutputRow() {
    auto* rowWidget = new QWidget(this);
    auto* row = new QHBoxLayout(rowWidget);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* icon = new QLabel(rowWidget);
    icon->setPixmap(symbolIcon("folder", secondaryColor(this)).pixmap(16, 16));
    row->addWidget(icon);
    outputPath_ = new ElidedLabel(rowWidget);
    outputPath_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    ui::setFont(outputPath_, 11, Weight::regular, true);
    row->addWidget(outputPath_, 0);
    auto* change = smallButton(tr("Change…"), rowWidget);
    auto* show = smallButton(tr("Show"), rowWidget);
    row->addWidget(change);
    row->addWidget(show);
    row->addStretch(1);
    const auto path = [this] {
        const QString text = QString::fromStdString(model_.outputDirectory().string());
        outputPath_->setText(text);
        outputPath_->setToolTip(text);
    };
    path();
    connect(&model_, &StandaloneViewModelBase::outputDirectoryChanged, outputPath_, path);
    connect(change, &QPushButton::clicked, this, [this] { model_.chooseOutputDirectory(window()); });
    connect(show, &QPushButton::clicked, &model_, &StandaloneViewModelBase::revealOutput);
    return rowWidget;
}

QWidget* StandaloneView::buildOptionColumn(const OptionsFactory& options) {
    optionColumn_ = new QScrollArea(this);
    optionColumn_->setFixedWidth(340);
    optionColumn_->setWidgetResizable(true);
    optionColumn_->setFrameShape(QFrame::NoFrame);
    optionColumn_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    optionColumn_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget;
    content->setObjectName("optionColumnContent");
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(14, 16, 14, 16);
    column->setSpacing(16);
    if (options) {
        panel_ = options();
        if (panel_) column->addWidget(panel_);
    }
    naming_ = new NamingPatternSection(branding_.tokens, content);
    naming_->setPattern(model_.namingPattern());
    column->addWidget(naming_);
    column->addStretch(1);
    connect(naming_, &NamingPatternSection::patternEdited, &model_, &StandaloneViewModelBase::setNamingPattern);
    connect(&model_, &StandaloneViewModelBase::namingPatternChanged, naming_,
            [this] { naming_->setPattern(model_.namingPattern()); });
    optionColumn_->setWidget(content);
    return optionColumn_;
}

void StandaloneView::refreshQueueHeader() {
    const int n = static_cast<int>(model_.queueItems().size());
    count_->setText(tr("%1 %2%3").arg(n).arg(branding_.itemNoun, n == 1 ? QString() : QStringLiteral("s")));
    const bool busy = model_.isProcessing();
    busyControls_->setVisible(busy);
    idleControls_->setVisible(!busy);
    progress_->setValue(static_cast<int>(model_.overallProgress() * 1000));
    clearFinished_->setEnabled(model_.hasFinishedItems());
    run_->setEnabled(model_.runnableCount() > 0);
    emptyOverlay_->setVisible(n == 0);
    emptyOverlay_->setGeometry(queueList_->viewport()->rect());
}

void StandaloneView::syncSelectionToView() {
    syncingSelection_ = true;
    QItemSelection wanted;
    for (const Uuid& id : model_.selection()) {
        const int row = queueModel_->rowOf(id);
        if (row >= 0) wanted.select(queueModel_->index(row), queueModel_->index(row));
    }
    queueList_->selectionModel()->select(wanted, QItemSelectionModel::ClearAndSelect);
    syncingSelection_ = false;
}

std::set<Uuid> StandaloneView::removalFor(const Uuid& rowID) const {
    if (model_.selection().count(rowID)) return model_.selection();
    return {rowID};
}

void StandaloneView::showContextMenu(const QPoint& at) {
    const QModelIndex index = queueList_->indexAt(at);
    if (!index.isValid()) return;
    const BatchItem item = queueModel_->itemAt(index.row());
    QMenu menu(this);
    QAction* show = menu.addAction(tr("Show in File Manager"));
    QAction* remove = menu.addAction(tr("Remove from Queue"));
    remove->setEnabled(!model_.isProcessing());
    QAction* chosen = menu.exec(queueList_->viewport()->mapToGlobal(at));
    if (chosen == show) model_.reveal(item);
    if (chosen == remove) model_.remove(removalFor(item.id));
}

void StandaloneView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    emptyOverlay_->setGeometry(queueList_->viewport()->rect());
    if (!appeared_) {
        appeared_ = true;
        WindowSnapshot::captureIfRequested();
    }
}

bool StandaloneView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == queueList_->viewport() && event->type() == QEvent::Resize)
        emptyOverlay_->setGeometry(queueList_->viewport()->rect());
    return QWidget::eventFilter(watched, event);
}

}  // namespace lw::ui
