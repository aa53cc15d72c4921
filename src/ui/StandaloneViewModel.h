#pragma once
// The one model behind the window, its menus and the tray menu: the preset being edited, the
// naming pattern, the output folder, the queue with its statuses, the log and each item's
// outputs. It owns the application's BatchQueueManager; jobs run on a worker thread and every
// status, log and output report is applied on the main thread. The preset, the naming pattern
// and the output folder are kept in the settings store ("settings", "namingPattern",
// "outputDirectory"), written 0.4 s after the last change, or at once when the application
// quits or the window closes with a save still waiting.
//
// StandaloneViewModelBase holds everything that does not depend on the preset type; views that
// serve every vertical take it. StandaloneViewModel<P> adds the typed preset that the vertical's
// option panel edits with preset() and updatePreset().
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/BatchQueueManager.h"
#include "core/JobModel.h"
#include "core/Product.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"
#include "ui/DesktopServices.h"
#include "ui/SettingsStore.h"
#include "ui/UpdateChecker.h"

namespace lw::ui {

// What the model needs from its surroundings; tests pass an in-memory store and stand-in panels.
struct ShellEnvironment {
    std::shared_ptr<SettingsStore> defaults;  // none: SettingsStore::standard()
    DesktopServices* services = nullptr;      // none: DesktopServices::shared()
    UpdateChecker::Options updates;
    // Worker threads of a job; 0: the machine's processors.
    int maxConcurrentTasks = 0;
};

class StandaloneViewModelBase : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxLogLines = 500;
    static constexpr int kSaveDelayMs = 400;

    ~StandaloneViewModelBase() override;

    // The preset as the protocol sees it.
    virtual const BatchPreset& currentPreset() const = 0;

    const QString& namingPattern() const { return namingPattern_; }
    void setNamingPattern(const QString& pattern);
    const std::filesystem::path& outputDirectory() const { return outputDirectory_; }
    void setOutputDirectory(const std::filesystem::path& folder);

    const std::vector<BatchItem>& queueItems() const { return queueItems_; }
    const BatchItem* item(const Uuid& id) const;
    const std::set<Uuid>& selection() const { return selection_; }
    void setSelection(const std::set<Uuid>& ids);
    bool isProcessing() const { return isProcessing_; }
    double overallProgress() const { return overallProgress_; }
    bool isDropTargeted() const { return isDropTargeted_; }
    void setDropTargeted(bool targeted);
    const QStringList& logLines() const { return logLines_; }
    bool showLog() const { return showLog_; }
    void setShowLog(bool show);
    const std::map<Uuid, std::vector<std::filesystem::path>>& itemOutputs() const { return itemOutputs_; }
    Vertical vertical() const { return vertical_; }
    UpdateChecker& updates() { return *updates_; }
    DesktopServices& services() { return *services_; }

    // Items that are pending or failed.
    int runnableCount() const;
    // Some item is completed or skipped.
    bool hasFinishedItems() const;

    // Appends the eligible files among these files and folders that are not queued yet. Files
    // this window's jobs wrote are never taken again, and a walk of the output folder leaves out
    // the files named as the preset's outputs; each kind left out is told in one log line.
    void ingest(const std::vector<std::filesystem::path>& urls);
    // Open panel for files and folders; the choice is ingested.
    void browse(QWidget* parent = nullptr);
    // Folder panel ("Use Folder") for the output folder.
    void chooseOutputDirectory(QWidget* parent = nullptr);
    // Runs every pending or failed item as one job on a worker thread. Items are numbered for
    // their names once per window: the first job 1, 2, ... in queue order; an item keeps the number
    // its source was given by an earlier job, and a new source takes the next after the highest
    // given. {total} is that highest number.
    void start();
    // Stops the running job from starting more items and returns to idle at once.
    void cancel();
    // Creates the output folder when missing and shows it in the file manager.
    void revealOutput();
    // Shows the item's existing outputs, else its source file.
    void reveal(const BatchItem& item);
    // Removes these items unless a job is running.
    void remove(const std::set<Uuid>& ids);
    // Removes the completed and skipped items.
    void clearFinished();
    // Appends one line (at most 500 are kept, oldest dropped).
    void log(const QString& line);
    // Writes the settings now when a save is waiting, else does nothing. Runs when the
    // application quits; the window calls it when it closes.
    void savePending();

signals:
    void presetChanged();
    void namingPatternChanged();
    void outputDirectoryChanged();
    void queueItemsChanged();
    void selectionChanged();
    void isProcessingChanged(bool processing);
    void overallProgressChanged(double progress);
    void isDropTargetedChanged(bool targeted);
    void logLineAppended(const QString& line);
    void showLogChanged(bool show);
    void itemOutputsChanged();
    // A job handed to the queue has returned (after its summary line).
    void jobFinished();
    // The debounced save has written the settings.
    void saved();

protected:
    StandaloneViewModelBase(Vertical vertical, Product product, ShellEnvironment environment);
    // The second half of initialisation, once the subclass has restored its preset.
    void finishInit(const std::string& passedDefaultNamingPattern);
    // Every assignment of the preset (in place or whole) comes here after the value is stored.
    void presetAssigned();
    // A copy of the preset for a job; later edits do not reach it.
    virtual std::shared_ptr<const BatchPreset> presetSnapshot() const = 0;

    std::shared_ptr<SettingsStore> defaults_;

private:
    void saveSoon();
    void save();
    void updateProgress();
    void applyStatus(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status, double progress,
                     const std::optional<std::string>& error);
    void setProcessing(bool processing);

    Vertical vertical_;
    DesktopServices* services_;
    int maxConcurrentTasks_;
    QString namingPattern_;
    std::filesystem::path outputDirectory_;
    std::vector<BatchItem> queueItems_;
    std::set<Uuid> selection_;
    bool isProcessing_ = false;
    double overallProgress_ = 0;
    bool isDropTargeted_ = false;
    QStringList logLines_;
    bool showLog_ = false;
    std::map<Uuid, std::vector<std::filesystem::path>> itemOutputs_;
    std::map<Uuid, Uuid> itemJob_;  // the job each item was last handed to
    std::optional<Uuid> currentJob_;  // the job of the last Process All
    // The number each source was named by in this window's jobs, and the highest given.
    std::map<std::filesystem::path, int> itemNumbers_;
    int highestNumber_ = 0;
    UpdateChecker* updates_;
    BatchQueueManager queueManager_;
    QTimer saveTimer_;
    // Jobs run here one after another, so a job started after a cancel waits for the
    // cancelled one's running items.
    QThreadPool jobs_;
    std::atomic<bool> closing_{false};
};

template <class P>
class StandaloneViewModel : public StandaloneViewModelBase {
public:
    // The preset is rebuilt from the stored "settings" (leniently) when they hold a preset of
    // this type; otherwise `preset` is used.
    StandaloneViewModel(P preset, Vertical vertical, Product product, ShellEnvironment environment = {})
        : StandaloneViewModelBase(vertical, product, std::move(environment)), preset_(std::move(preset)) {
        const std::string passedPattern = preset_.defaultNamingPattern();
        if (auto restored = restoredPreset()) preset_ = std::move(*restored);
        finishInit(passedPattern);
    }

    const P& preset() const { return preset_; }
    void setPreset(P preset) {
        preset_ = std::move(preset);
        presetAssigned();
    }
    // Edits the preset in place (one control, one field) and schedules the save.
    template <class Edit>
    void updatePreset(Edit&& edit) {
        edit(preset_);
        presetAssigned();
    }
    // Restores this preset and its default naming pattern; the output folder stays.
    void resetSettings(const P& preset) {
        setPreset(preset);
        setNamingPattern(QString::fromStdString(preset.defaultNamingPattern()));
    }

    const BatchPreset& currentPreset() const override { return preset_; }

protected:
    std::shared_ptr<const BatchPreset> presetSnapshot() const override { return std::make_shared<const P>(preset_); }

private:
    std::optional<P> restoredPreset() const {
        const auto stored = defaults_->value("settings");
        if (!stored || !stored->canConvert<QVariantMap>()) return std::nullopt;
        if (stored->typeId() != QMetaType::QVariantMap && stored->typeId() != QMetaType::QVariantHash)
            return std::nullopt;
        StringMap values;
        const QVariantMap map = stored->toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            if (it.value().typeId() != QMetaType::QString) return std::nullopt;
            values[it.key().toStdString()] = it.value().toString().toStdString();
        }
        try {
            std::unique_ptr<BatchPreset> rebuilt = PresetSettingsCodec::makePreset(vertical(), values, false);
            if (auto* typed = dynamic_cast<P*>(rebuilt.get())) return *typed;
        } catch (...) {
        }
        return std::nullopt;
    }

    P preset_;
};

}  // namespace lw::ui
