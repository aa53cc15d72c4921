#include "ui/StandaloneViewModel.h"

#include <QCoreApplication>
#include <QVariantMap>

#include <algorithm>
#include <thread>

#include "core/FileIngest.h"
#include "platform/Paths.h"

namespace lw::ui {

namespace fs = std::filesystem;

StandaloneViewModelBase::StandaloneViewModelBase(Vertical vertical, Product product, ShellEnvironment environment)
    : defaults_(environment.defaults ? environment.defaults : SettingsStore::standard()),
      vertical_(vertical),
      services_(environment.services ? environment.services : &DesktopServices::shared()),
      maxConcurrentTasks_(environment.maxConcurrentTasks),
      updates_(new UpdateChecker(product, defaults_, *services_, std::move(environment.updates), this)) {
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(kSaveDelayMs);
    connect(&saveTimer_, &QTimer::timeout, this, &StandaloneViewModelBase::save);
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &StandaloneViewModelBase::savePending);
    jobs_.setMaxThreadCount(1);
    jobs_.setExpiryTimeout(-1);
}

StandaloneViewModelBase::~StandaloneViewModelBase() {
    // Running items finish; queued jobs do not start. Reports still in flight are dropped with
    // this object's posted events.
    closing_ = true;
    do {
        queueManager_.cancel();
    } while (!jobs_.waitForDone(100));
}

void StandaloneViewModelBase::finishInit(const std::string& passedDefaultNamingPattern) {
    // Only text is a pattern or a folder: a stored number or list would otherwise read as its
    // text form.
    if (auto stored = defaults_->value("namingPattern"); stored && stored->typeId() == QMetaType::QString)
        namingPattern_ = stored->toString();
    else
        namingPattern_ = QString::fromStdString(passedDefaultNamingPattern);

    QString folder;
    if (auto stored = defaults_->value("outputDirectory"); stored && stored->typeId() == QMetaType::QString)
        folder = stored->toString();
    outputDirectory_ = folder.isEmpty() ? BatchConfiguration::defaultConfiguration().outputDirectory
                                        : fs::path(folder.toStdString());

    // Reports arrive on the manager's threads; each is applied on the main thread. The manager
    // only reports while a job of this model runs, and the destructor waits for those.
    queueManager_.addStatusListener([this](const Uuid& jobID, const Uuid& itemID, ProcessingStatus status,
                                           double progress, const std::optional<std::string>& error) {
        QMetaObject::invokeMethod(
            this, [=, this] { applyStatus(jobID, itemID, status, progress, error); }, Qt::QueuedConnection);
    });
    queueManager_.addLogListener([this](const std::string& line) {
        QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(line)] { log(text); },
                                  Qt::QueuedConnection);
    });
    queueManager_.addOutputListener([this](const Uuid&, const Uuid& itemID, const std::vector<fs::path>& urls) {
        QMetaObject::invokeMethod(
            this,
            [this, itemID, urls] {
                itemOutputs_[itemID] = urls;
                emit itemOutputsChanged();
            },
            Qt::QueuedConnection);
    });

    updates_->checkInBackground();
}

// MARK: fields

void StandaloneViewModelBase::setNamingPattern(const QString& pattern) {
    const bool changed = pattern != namingPattern_;
    namingPattern_ = pattern;
    if (changed) emit namingPatternChanged();
    saveSoon();
}

void StandaloneViewModelBase::setOutputDirectory(const fs::path& folder) {
    const bool changed = folder != outputDirectory_;
    outputDirectory_ = folder;
    if (changed) emit outputDirectoryChanged();
    saveSoon();
}

void StandaloneViewModelBase::presetAssigned() {
    emit presetChanged();
    saveSoon();
}

const BatchItem* StandaloneViewModelBase::item(const Uuid& id) const {
    for (const auto& i : queueItems_)
        if (i.id == id) return &i;
    return nullptr;
}

void StandaloneViewModelBase::setSelection(const std::set<Uuid>& ids) {
    if (ids == selection_) return;
    selection_ = ids;
    emit selectionChanged();
}

void StandaloneViewModelBase::setDropTargeted(bool targeted) {
    if (targeted == isDropTargeted_) return;
    isDropTargeted_ = targeted;
    emit isDropTargetedChanged(targeted);
}

void StandaloneViewModelBase::setShowLog(bool show) {
    if (show == showLog_) return;
    showLog_ = show;
    emit showLogChanged(show);
}

void StandaloneViewModelBase::setProcessing(bool processing) {
    if (processing == isProcessing_) return;
    isProcessing_ = processing;
    emit isProcessingChanged(processing);
}

int StandaloneViewModelBase::runnableCount() const {
    return static_cast<int>(std::count_if(queueItems_.begin(), queueItems_.end(), [](const BatchItem& i) {
        return i.status == ProcessingStatus::pending || i.status == ProcessingStatus::failed;
    }));
}

bool StandaloneViewModelBase::hasFinishedItems() const {
    return std::any_of(queueItems_.begin(), queueItems_.end(), [](const BatchItem& i) {
        return i.status == ProcessingStatus::completed || i.status == ProcessingStatus::skipped;
    });
}

// MARK: saving

void StandaloneViewModelBase::saveSoon() { saveTimer_.start(); }

void StandaloneViewModelBase::savePending() {
    if (!saveTimer_.isActive()) return;
    saveTimer_.stop();
    save();
}

void StandaloneViewModelBase::save() {
    QVariantMap settings;
    for (const auto& [key, value] : PresetSettingsCodec::encode(currentPreset()))
        settings.insert(QString::fromStdString(key), QString::fromStdString(value));
    defaults_->setValue("settings", settings);
    defaults_->setValue("namingPattern", namingPattern_);
    defaults_->setValue("outputDirectory", QString::fromStdString(outputDirectory_.string()));
    emit saved();
}

// MARK: queue

void StandaloneViewModelBase::ingest(const std::vector<fs::path>& urls) {
    std::set<fs::path> known;
    for (const auto& i : queueItems_) known.insert(standardized(i.sourceURL));
    bool added = false;
    // The output folder's deliverables are not inputs of the next run.
    const BatchPreset& preset = currentPreset();
    const FileIngest::OutputFolder output{
        outputDirectory_, [&preset](const fs::path& relative) { return preset.isOwnDeliverable(relative); }};
    std::vector<fs::path> namedAsOutputs;
    std::vector<fs::path> written;  // this window's own deliverables are never inputs again
    for (const auto& url : FileIngest::expand(urls, preset.supportedExtensions(), output, &namedAsOutputs)) {
        if (known.count(standardized(url))) continue;
        if (queueManager_.hasWritten(url)) {
            written.push_back(relativeWithin(url, outputDirectory_));
            continue;
        }
        queueItems_.emplace_back(Uuid::random(), url, std::nullopt, ProcessingStatus::pending, 0.0, std::nullopt,
                                 StringMap{});
        added = true;
    }
    if (added) emit queueItemsChanged();
    if (const std::string line = FileIngest::deliverableNamesLine(namedAsOutputs); !line.empty())
        log(QString::fromStdString(line));
    if (const std::string line = FileIngest::leftOutLine(written, "this window has written"); !line.empty())
        log(QString::fromStdString(line));
}

void StandaloneViewModelBase::browse(QWidget* parent) {
    const auto chosen = services_->chooseFilesAndFolders(parent);
    if (!chosen.empty()) ingest(chosen);
}

void StandaloneViewModelBase::chooseOutputDirectory(QWidget* parent) {
    if (auto folder = services_->chooseFolder(parent, outputDirectory_, tr("Use Folder"))) setOutputDirectory(*folder);
}

void StandaloneViewModelBase::start() {
    if (isProcessing_) return;
    std::set<Uuid> ids;
    for (const auto& i : queueItems_)
        if (i.status == ProcessingStatus::pending || i.status == ProcessingStatus::failed) ids.insert(i.id);
    if (ids.empty()) return;

    std::vector<BatchItem> items;
    for (auto& i : queueItems_) {
        if (!ids.count(i.id)) continue;
        i.status = ProcessingStatus::pending;
        i.progress = 0;
        i.errorMessage.reset();
        items.push_back(i);
    }
    emit queueItemsChanged();
    setProcessing(true);

    const BatchPreset& preset = currentPreset();
    const std::string pattern =
        namingPattern_.isEmpty() ? preset.defaultNamingPattern() : namingPattern_.toStdString();
    const int concurrency = maxConcurrentTasks_ > 0 ? maxConcurrentTasks_
                                                    : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    BatchConfiguration configuration(outputDirectory_, true, pattern, false, concurrency, false, true, {});
    ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), std::move(items), configuration);
    // An item is numbered once in this window, by its source: a retried, resumed or re-added item
    // keeps its number (and so its own file names); a new source takes the next one.
    for (const auto& i : job.items) {
        const auto [number, isNew] = itemNumbers_.try_emplace(standardized(i.sourceURL), highestNumber_ + 1);
        if (isNew) ++highestNumber_;
        job.itemNumbers[i.id] = number->second;
    }
    job.numberedTotal = highestNumber_;
    for (const auto& i : job.items) itemJob_[i.id] = job.id;
    currentJob_ = job.id;
    std::shared_ptr<const BatchPreset> snapshot = presetSnapshot();

    jobs_.start([this, job = std::move(job), snapshot]() mutable {
        if (closing_) return;
        const ExecutionReport report = queueManager_.submitAndStart(std::move(job), snapshot);
        QMetaObject::invokeMethod(
            this,
            [this, report] {
                setProcessing(false);
                log(QString::asprintf("Done in %.1fs: %ld finished, %ld failed, %ld skipped.",
                                      report.durationSeconds, static_cast<long>(report.successCount),
                                      static_cast<long>(report.failureCount), static_cast<long>(report.skippedCount)));
                emit jobFinished();
            },
            Qt::QueuedConnection);
    });
}

void StandaloneViewModelBase::cancel() {
    // By the job's id: a job whose thread has not handed it to the queue yet is cancelled too.
    if (isProcessing_ && currentJob_) queueManager_.cancel(*currentJob_);
    else queueManager_.cancel();
    setProcessing(false);
}

void StandaloneViewModelBase::applyStatus(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status,
                                          double progress, const std::optional<std::string>& error) {
    // A report from an earlier job about an item that a newer job has taken over is stale.
    if (auto it = itemJob_.find(itemID); it != itemJob_.end() && it->second != jobID) return;
    auto it = std::find_if(queueItems_.begin(), queueItems_.end(), [&](const BatchItem& i) { return i.id == itemID; });
    if (it == queueItems_.end()) return;
    it->status = status;
    it->progress = progress;
    it->errorMessage = error;
    emit queueItemsChanged();
    updateProgress();
}

void StandaloneViewModelBase::updateProgress() {
    double sum = 0;
    int count = 0;
    for (const auto& i : queueItems_) {
        if (i.status == ProcessingStatus::pending && i.progress <= 0) continue;
        sum += isTerminal(i.status) ? 1.0 : i.progress;
        ++count;
    }
    const double progress = count == 0 ? 0.0 : sum / count;
    if (progress == overallProgress_) return;
    overallProgress_ = progress;
    emit overallProgressChanged(progress);
}

void StandaloneViewModelBase::revealOutput() {
    std::error_code ec;
    fs::create_directories(outputDirectory_, ec);
    services_->reveal({outputDirectory_});
}

void StandaloneViewModelBase::reveal(const BatchItem& item) {
    std::vector<fs::path> existing;
    if (auto it = itemOutputs_.find(item.id); it != itemOutputs_.end()) {
        std::error_code ec;
        for (const auto& url : it->second)
            if (fs::exists(url, ec)) existing.push_back(url);
    }
    if (existing.empty()) existing.push_back(item.sourceURL);
    services_->reveal(existing);
}

void StandaloneViewModelBase::remove(const std::set<Uuid>& ids) {
    if (isProcessing_) return;
    const auto before = queueItems_.size();
    std::erase_if(queueItems_, [&](const BatchItem& i) { return ids.count(i.id) > 0; });
    if (queueItems_.size() != before) emit queueItemsChanged();
    std::set<Uuid> kept;
    std::set_difference(selection_.begin(), selection_.end(), ids.begin(), ids.end(), std::inserter(kept, kept.end()));
    setSelection(kept);
}

void StandaloneViewModelBase::clearFinished() {
    const auto before = queueItems_.size();
    std::erase_if(queueItems_, [](const BatchItem& i) {
        return i.status == ProcessingStatus::completed || i.status == ProcessingStatus::skipped;
    });
    if (queueItems_.size() != before) emit queueItemsChanged();
}

void StandaloneViewModelBase::log(const QString& line) {
    logLines_.append(line);
    if (logLines_.size() > kMaxLogLines) logLines_.erase(logLines_.begin(), logLines_.end() - kMaxLogLines);
    emit logLineAppended(line);
}

}  // namespace lw::ui
