// batch-bench VERTICAL [key=value ...] [--pattern P] [--jobs N] [--plan] --out DIR [--] INPUT...
//
// Runs one job of a vertical's preset through the batch queue without a window: folders are
// expanded to the preset's files, the pairs are applied with the strict settings reader, every
// log line is printed as it comes, each finished item's deliverables follow it in the order written,
//   output: <path>
// and a last line reports the counts:
//   report: processed=N succeeded=N failed=N skipped=N seconds=S
// With --plan nothing is run or written: the output planner projects the job (files that would
// be replaced included) and prints, per item in order, its projected names and its warnings:
//   PLAN <name relative to DIR>
//   WARN <item file name>: <warning>
//   report: planned=<PLAN lines> warnings=<WARN lines> collisions=true|false
// Exit status: 0 when no item failed (always for --plan), 1 when some did, 2 for bad arguments
// or settings (an input that does not exist is a bad argument). After "--" every argument is an
// input. --help prints the options and every vertical's settings keys and exits 0.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "core/BatchQueueManager.h"
#include "core/FileIngest.h"
#include "core/JobModel.h"
#include "presets/OutputPlanner.h"
#include "presets/PresetSettingsCodec.h"
#include "presets/Vertical.h"

namespace fs = std::filesystem;
using namespace lw;

namespace {

// The bench's own words for the verticals; any other word goes through the registry's names.
const std::vector<std::pair<std::string, Vertical>>& verticals() {
    static const std::vector<std::pair<std::string, Vertical>> table{
        {"photo", Vertical::gablewise},
        {"texture", Vertical::mapforge},
        {"podcast", Vertical::castloom},
    };
    return table;
}

std::optional<Vertical> verticalFor(const std::string& word) {
    for (const auto& [name, vertical] : verticals())
        if (word == name) return vertical;
    return verticalNamed(word);
}

const char* const kUsage =
    "usage: batch-bench VERTICAL [key=value ...] [--pattern P] [--jobs N] [--plan] --out DIR [--] INPUT...\n";

std::string verticalNames() {
    std::string names;
    for (const auto& v : verticals()) names += (names.empty() ? "" : " | ") + v.first;
    return names;
}

int usage(const std::string& problem) {
    if (!problem.empty()) std::cerr << "batch-bench: " << problem << "\n";
    std::cerr << kUsage << "  VERTICAL: " << verticalNames() << "\n";
    return 2;
}

// The usage with every option and each vertical's settings keys, from the settings' own help texts.
int help() {
    std::string text = std::string(kUsage) + "  VERTICAL: " + verticalNames() +
                       "\n"
                       "  --pattern P  naming pattern (empty: the preset's default)\n"
                       "  --jobs N     items processed at once, 1 to 4096 (default: one per processor)\n"
                       "  --plan       print the names the job would write and its warnings; write nothing\n"
                       "  --out DIR    output folder\n"
                       "  --           every argument after it is an INPUT\n";
    for (const auto& [name, vertical] : verticals()) {
        text += "\n" + name + " settings (key=value):\n";
        for (const auto& [key, description] : PresetSettingsCodec::options(vertical)) {
            std::string padded = "  " + key;
            padded.resize(std::max<std::size_t>(padded.size() + 2, 20), ' ');
            text += padded + description + "\n";
        }
    }
    return bench::printHelp(text);
}

// "key=value" with a key of letters and digits, starting with a letter.
bool isPair(const std::string& arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    if (!std::isalpha(static_cast<unsigned char>(arg[0]))) return false;
    for (std::size_t i = 0; i < eq; ++i)
        if (!std::isalnum(static_cast<unsigned char>(arg[i]))) return false;
    return true;
}

int printPlan(const BatchPreset& preset, const std::vector<BatchItem>& items, const BatchConfiguration& configuration) {
    const auto reports = OutputPlanner::plan(preset, items, configuration, true);
    std::size_t planned = 0, warnings = 0;
    for (const auto& report : reports) {
        for (const auto& name : report.projectedFileNames) std::printf("PLAN %s\n", name.c_str());
        for (const auto& warning : report.warnings)
            std::printf("WARN %s: %s\n", report.sourceURL.filename().c_str(), warning.c_str());
        planned += report.projectedFileNames.size();
        warnings += report.warnings.size();
    }
    std::printf("report: planned=%zu warnings=%zu collisions=%s\n", planned, warnings,
                OutputPlanner::hasCollisions(reports) ? "true" : "false");
    std::fflush(stdout);
    return 0;
}

// A whole number of digits only (no sign, spaces or suffix) from 1 to 4096.
std::optional<int> jobCount(const std::string& text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 4096) return std::nullopt;
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage("");
    if (bench::isHelp(args[0])) return help();
    const std::string verticalName = args[0];
    const std::optional<Vertical> vertical = verticalFor(verticalName);
    if (!vertical) return usage("unknown vertical '" + verticalName + "'");

    StringMap pairs;
    std::optional<std::string> pattern;
    std::optional<int> jobs;
    std::optional<fs::path> out;
    std::vector<fs::path> inputs;
    bool planOnly = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            inputs.insert(inputs.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        const auto value = [&](const char* option) -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            (void)option;
            return args[++i];
        };
        if (bench::isHelp(a)) return help();
        if (a == "--pattern") {
            pattern = value("--pattern");
            if (!pattern) return usage("--pattern needs a value");
        } else if (a == "--jobs") {
            const auto v = value("--jobs");
            if (!v) return usage("--jobs needs a value");
            jobs = jobCount(*v);
            if (!jobs) return usage("--jobs needs a whole number from 1 to 4096, not '" + *v + "'");
        } else if (a == "--plan") {
            planOnly = true;
        } else if (a == "--out") {
            const auto v = value("--out");
            if (!v) return usage("--out needs a folder");
            out = fs::path(*v);
        } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
            return usage("unknown option " + a);
        } else if (isPair(a)) {
            const auto eq = a.find('=');
            // A setting given twice is ambiguous: refuse it rather than keep one silently.
            if (!pairs.emplace(a.substr(0, eq), a.substr(eq + 1)).second)
                return usage("setting '" + a.substr(0, eq) + "' is given more than once");
        } else {
            inputs.emplace_back(a);
        }
    }
    if (!out) return usage("--out DIR is required");
    if (inputs.empty()) return usage("no INPUT given");

    std::shared_ptr<const BatchPreset> preset;
    try {
        preset = PresetSettingsCodec::makePreset(*vertical, pairs, true);
    } catch (const Error& e) {
        std::cerr << e.what() << "\n";
        return 2;
    }

    for (const auto& input : inputs) {
        std::error_code ec;
        if (!fs::exists(input, ec)) return usage("no such file or folder: " + input.string());
    }
    // Folders are walked as the window does: the output folder's deliverables are no inputs.
    const FileIngest::OutputFolder output{
        *out, [&preset](const fs::path& relative) { return preset->isOwnDeliverable(relative); }};
    std::vector<fs::path> leftOut;
    const std::vector<fs::path> files = FileIngest::expand(inputs, preset->supportedExtensions(), output, &leftOut);
    if (const std::string line = FileIngest::deliverableNamesLine(leftOut); !line.empty()) std::printf("%s\n", line.c_str());

    std::vector<BatchItem> items;
    items.reserve(files.size());
    for (const auto& file : files)
        items.emplace_back(Uuid::random(), file, std::nullopt, ProcessingStatus::pending, 0.0, std::nullopt,
                           StringMap{});
    const int concurrency = jobs ? *jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // An empty pattern is the preset's own, as in the window.
    const std::string namingPattern = pattern && !pattern->empty() ? *pattern : preset->defaultNamingPattern();
    BatchConfiguration configuration(*out, true, namingPattern, false, concurrency, false, false, {});
    if (planOnly) return printPlan(*preset, items, configuration);

    ProcessingJob job(Uuid::random(), preset->id(), preset->displayName(), std::move(items), configuration);

    BatchQueueManager manager;
    manager.addLogListener([](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    manager.addOutputListener([](const Uuid&, const Uuid&, const std::vector<fs::path>& files) {
        for (const auto& file : files) std::printf("output: %s\n", file.c_str());
        std::fflush(stdout);
    });
    const ExecutionReport report = manager.submitAndStart(std::move(job), preset);
    std::printf("report: processed=%d succeeded=%d failed=%d skipped=%d seconds=%.2f\n", report.totalProcessed,
                report.successCount, report.failureCount, report.skippedCount, report.durationSeconds);
    std::fflush(stdout);
    return report.failureCount > 0 ? 1 : 0;
}
