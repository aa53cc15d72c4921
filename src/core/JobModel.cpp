#include "core/JobModel.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include <fmt/format.h>

namespace lw {

namespace {

std::string lowerAscii(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int activeProcessorCount() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

// The user's download folder as the XDG user-dirs file names it, else ~/Downloads.
std::optional<std::filesystem::path> downloadsDirectory() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return std::nullopt;
    std::filesystem::path homeDir(home);
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = std::filesystem::path(xdg) / "user-dirs.dirs";
    else
        config = homeDir / ".config" / "user-dirs.dirs";
    std::ifstream in(config);
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DOWNLOAD_DIR=";
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = homeDir.string() + value.substr(5);
        if (!value.empty() && value.front() == '/') return std::filesystem::path(value);
    }
    return homeDir / "Downloads";
}

}  // namespace

// MARK: ProcessingStatus

std::string rawValue(ProcessingStatus status) {
    switch (status) {
        case ProcessingStatus::pending: return "Pending";
        case ProcessingStatus::processing: return "Processing";
        case ProcessingStatus::completed: return "Completed";
        case ProcessingStatus::failed: return "Failed";
        case ProcessingStatus::skipped: return "Skipped";
        case ProcessingStatus::cancelled: return "Cancelled";
    }
    return "Pending";
}

std::string displayName(ProcessingStatus status) { return rawValue(status); }

std::optional<ProcessingStatus> processingStatusFromRawValue(const std::string& raw) {
    for (auto status : allProcessingStatuses())
        if (rawValue(status) == raw) return status;
    return std::nullopt;
}

const std::vector<ProcessingStatus>& allProcessingStatuses() {
    static const std::vector<ProcessingStatus> all{ProcessingStatus::pending,   ProcessingStatus::processing,
                                                   ProcessingStatus::completed, ProcessingStatus::failed,
                                                   ProcessingStatus::skipped,   ProcessingStatus::cancelled};
    return all;
}

bool isTerminal(ProcessingStatus status) {
    return status == ProcessingStatus::completed || status == ProcessingStatus::failed ||
           status == ProcessingStatus::skipped || status == ProcessingStatus::cancelled;
}

// MARK: BatchItem

BatchItem::BatchItem(Uuid id, std::filesystem::path sourceURL, std::optional<std::filesystem::path> destinationURL,
                     ProcessingStatus status, double progress, std::optional<std::string> errorMessage,
                     StringMap metadata)
    : id(id),
      sourceURL(std::move(sourceURL)),
      destinationURL(std::move(destinationURL)),
      status(status),
      progress(progress),
      errorMessage(std::move(errorMessage)),
      metadata(std::move(metadata)),
      queuedAt(std::chrono::system_clock::now()) {
    std::filesystem::path name = this->sourceURL.filename();
    if (name.empty() || name == "." || name == "..") name = this->sourceURL.parent_path().filename();
    originalFileName = name.stem().string();
    std::string ext = name.extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    fileExtension = lowerAscii(ext);

    std::error_code ec;
    auto size = std::filesystem::file_size(this->sourceURL, ec);
    fileSize = ec ? 0 : static_cast<std::int64_t>(size);
}

std::string BatchItem::formattedFileSize() const {
    // Decimal units; KB without decimals, MB with one, GB and above with two, trailing zeros dropped.
    if (fileSize == 0) return "Zero KB";
    const bool negative = fileSize < 0;
    const double magnitude = std::fabs(static_cast<double>(fileSize));
    const std::string sign = negative ? "-" : "";
    if (magnitude < 1000) {
        auto n = static_cast<long long>(magnitude);
        return fmt::format("{}{} {}", sign, n, n == 1 ? "byte" : "bytes");
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    double value = magnitude / 1000.0;
    std::size_t unit = 0;
    for (;;) {
        const double scale = std::pow(10.0, decimals[unit]);
        double rounded = std::round(value * scale) / scale;
        if (rounded >= 1000.0 && unit + 1 < std::size(units)) {
            value /= 1000.0;
            ++unit;
            continue;
        }
        std::string text = fmt::format("{:.{}f}", rounded, decimals[unit]);
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0') text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
        return sign + text + " " + units[unit];
    }
}

// MARK: BatchConfiguration

BatchConfiguration::BatchConfiguration(std::filesystem::path outputDirectory, bool createSubfolders,
                                       std::string namingPattern, bool overwriteExisting, int maxConcurrentTasks,
                                       bool deleteSourceAfterSuccess, bool notifyOnCompletion,
                                       StringMap customSettings)
    : outputDirectory(std::move(outputDirectory)),
      createSubfolders(createSubfolders),
      namingPattern(std::move(namingPattern)),
      overwriteExisting(overwriteExisting),
      maxConcurrentTasks(clampConcurrency(maxConcurrentTasks)),
      deleteSourceAfterSuccess(deleteSourceAfterSuccess),
      notifyOnCompletion(notifyOnCompletion),
      customSettings(std::move(customSettings)) {}

int BatchConfiguration::clampConcurrency(int requested) {
    const int n = activeProcessorCount();
    return std::max(1, std::min(requested, 2 * n));
}

BatchConfiguration BatchConfiguration::defaultConfiguration() {
    std::filesystem::path base;
    if (auto downloads = downloadsDirectory()) {
        base = *downloads;
    } else {
        std::error_code ec;
        base = std::filesystem::temp_directory_path(ec);
        if (ec) base = "/tmp";
    }
    return BatchConfiguration(base / "BatchOutput", true, "{name}_{index:02}", false, activeProcessorCount(), false,
                              true, {});
}

// MARK: ProcessingJob

ProcessingJob::ProcessingJob(Uuid id, std::string presetID, std::string presetName, std::vector<BatchItem> items,
                             BatchConfiguration configuration)
    : id(id),
      presetID(std::move(presetID)),
      presetName(std::move(presetName)),
      items(std::move(items)),
      configuration(std::move(configuration)),
      startedAt(std::chrono::system_clock::now()) {}

std::size_t ProcessingJob::completedItemsCount() const {
    return static_cast<std::size_t>(std::count_if(items.begin(), items.end(), [](const BatchItem& item) {
        return item.status == ProcessingStatus::completed;
    }));
}

std::size_t ProcessingJob::failedItemsCount() const {
    return static_cast<std::size_t>(std::count_if(
        items.begin(), items.end(), [](const BatchItem& item) { return item.status == ProcessingStatus::failed; }));
}

double ProcessingJob::overallProgress() const {
    if (items.empty()) return 0;
    double sum = 0;
    for (const auto& item : items) sum += item.progress;
    return sum / static_cast<double>(items.size());
}

// MARK: ExecutionReport

double ExecutionReport::throughputMegabytesPerSec() const {
    if (durationSeconds > 0) return static_cast<double>(bytesProcessed) / 1048576.0 / durationSeconds;
    return 0;
}

// MARK: BatchPreset

bool BatchPreset::canProcess(const BatchItem& item) const {
    return supportedExtensions().count(lowerAscii(item.fileExtension)) > 0;
}

bool BatchPreset::isOwnDeliverable(const std::filesystem::path&) const { return false; }

}  // namespace lw
