#include "core/Coding.h"

#include <cmath>
#include <limits>

#include "platform/Url.h"

namespace lw {

namespace {
constexpr double kReferenceDateUnixSeconds = 978307200.0;  // 2001-01-01T00:00:00Z

[[noreturn]] void mismatch(const std::string& key, const char* expected) {
    throw DecodingError(DecodingError::Kind::typeMismatch, key,
                        "The value for \"" + key + "\" is not " + expected + ".");
}
}  // namespace

double secondsSinceReferenceDate(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count() - kReferenceDateUnixSeconds;
}

Date dateFromSecondsSinceReferenceDate(double seconds) {
    const double unix = seconds + kReferenceDateUnixSeconds;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(unix)));
}

namespace coding {

const nlohmann::json& require(const nlohmann::json& object, const std::string& key) {
    if (!object.is_object())
        throw DecodingError(DecodingError::Kind::typeMismatch, "", "Expected a JSON object.");
    auto it = object.find(key);
    if (it == object.end())
        throw DecodingError(DecodingError::Kind::keyNotFound, key, "The key \"" + key + "\" is missing.");
    return *it;
}

std::string string(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (!v.is_string()) mismatch(key, "a string");
    return v.get<std::string>();
}

bool boolean(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (!v.is_boolean()) mismatch(key, "a Boolean");
    return v.get<bool>();
}

std::int64_t integer(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
            mismatch(key, "a whole number in range");
        return v.get<std::int64_t>();
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
    }
    mismatch(key, "a whole number");
}

double number(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (!v.is_number()) mismatch(key, "a number");
    return v.get<double>();
}

Date date(const nlohmann::json& object, const std::string& key) {
    double seconds = number(object, key);
    // Beyond about ±290 years of nanoseconds the clock cannot hold the date.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 9.0e9) mismatch(key, "a date");
    return dateFromSecondsSinceReferenceDate(seconds);
}

StringMap stringMap(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (!v.is_object()) mismatch(key, "a dictionary of strings");
    StringMap out;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!it.value().is_string()) mismatch(key + "." + it.key(), "a string");
        out[it.key()] = it.value().get<std::string>();
    }
    return out;
}

std::vector<std::string> stringList(const nlohmann::json& object, const std::string& key) {
    const auto& v = require(object, key);
    if (!v.is_array()) mismatch(key, "a list of strings");
    std::vector<std::string> out;
    for (const auto& e : v) {
        if (!e.is_string()) mismatch(key, "a list of strings");
        out.push_back(e.get<std::string>());
    }
    return out;
}

Uuid uuid(const nlohmann::json& object, const std::string& key) {
    auto text = string(object, key);
    auto id = Uuid::fromString(text);
    if (!id) mismatch(key, "a UUID");
    return *id;
}

std::filesystem::path fileURL(const nlohmann::json& object, const std::string& key) {
    auto text = string(object, key);
    if (auto path = pathFromFileURL(text)) return *path;
    if (!text.empty() && text.front() == '/') return std::filesystem::path(text);
    mismatch(key, "a file URL");
}

nlohmann::json parse(const std::string& text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "", std::string("The data is not valid JSON: ") + e.what());
    }
}

}  // namespace coding

nlohmann::json encode(const BatchConfiguration& c) {
    return nlohmann::json{{"outputDirectory", fileURLString(c.outputDirectory, true)},
                          {"createSubfolders", c.createSubfolders},
                          {"namingPattern", c.namingPattern},
                          {"overwriteExisting", c.overwriteExisting},
                          {"maxConcurrentTasks", c.maxConcurrentTasks},
                          {"deleteSourceAfterSuccess", c.deleteSourceAfterSuccess},
                          {"notifyOnCompletion", c.notifyOnCompletion},
                          {"customSettings", c.customSettings}};
}

BatchConfiguration decodeBatchConfiguration(const nlohmann::json& json) {
    auto concurrency = coding::integer(json, "maxConcurrentTasks");
    if (concurrency < std::numeric_limits<int>::min() || concurrency > std::numeric_limits<int>::max())
        mismatch("maxConcurrentTasks", "a whole number in range");
    BatchConfiguration c(coding::fileURL(json, "outputDirectory"), coding::boolean(json, "createSubfolders"),
                         coding::string(json, "namingPattern"), coding::boolean(json, "overwriteExisting"), 1,
                         coding::boolean(json, "deleteSourceAfterSuccess"), coding::boolean(json, "notifyOnCompletion"),
                         coding::stringMap(json, "customSettings"));
    c.maxConcurrentTasks = static_cast<int>(concurrency);  // stored as decoded, without the clamp
    return c;
}

nlohmann::json encode(const ExecutionReport& r) {
    return nlohmann::json{{"id", r.id.toString()},
                          {"presetID", r.presetID},
                          {"presetName", r.presetName},
                          {"totalProcessed", r.totalProcessed},
                          {"successCount", r.successCount},
                          {"failureCount", r.failureCount},
                          {"skippedCount", r.skippedCount},
                          {"bytesProcessed", r.bytesProcessed},
                          {"durationSeconds", r.durationSeconds},
                          {"timestamp", secondsSinceReferenceDate(r.timestamp)},
                          {"outputFiles", r.outputFiles},
                          {"errors", r.errors}};
}

ExecutionReport decodeExecutionReport(const nlohmann::json& json) {
    auto count = [&](const char* key) {
        auto v = coding::integer(json, key);
        if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
            mismatch(key, "a whole number in range");
        return static_cast<int>(v);
    };
    ExecutionReport r;
    r.id = coding::uuid(json, "id");
    r.presetID = coding::string(json, "presetID");
    r.presetName = coding::string(json, "presetName");
    r.totalProcessed = count("totalProcessed");
    r.successCount = count("successCount");
    r.failureCount = count("failureCount");
    r.skippedCount = count("skippedCount");
    r.bytesProcessed = coding::integer(json, "bytesProcessed");
    r.durationSeconds = coding::number(json, "durationSeconds");
    r.timestamp = coding::date(json, "timestamp");
    r.outputFiles = coding::stringList(json, "outputFiles");
    r.errors = coding::stringList(json, "errors");
    return r;
}

}  // namespace lw
