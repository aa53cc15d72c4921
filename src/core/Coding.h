#pragma once
// Keyed JSON forms of the job records. Keys are the field names; dates are seconds since
// 1 January 2001 (UTC); URLs are URL strings; decoding requires every key.
#include <string>

#include <nlohmann/json.hpp>

#include "core/JobModel.h"

namespace lw {

class DecodingError : public Error {
public:
    enum class Kind { dataCorrupted, keyNotFound, typeMismatch };
    DecodingError(Kind kind, std::string key, const std::string& message)
        : Error(message), kind(kind), key(std::move(key)) {}
    Kind kind;
    std::string key;  // the offending key, empty for dataCorrupted
};

double secondsSinceReferenceDate(Date date);
Date dateFromSecondsSinceReferenceDate(double seconds);

nlohmann::json encode(const BatchConfiguration& configuration);
nlohmann::json encode(const ExecutionReport& report);
// Throw DecodingError naming the missing or mistyped key.
BatchConfiguration decodeBatchConfiguration(const nlohmann::json& json);
ExecutionReport decodeExecutionReport(const nlohmann::json& json);

// Readers for decoders of keyed records; each throws DecodingError.
namespace coding {
const nlohmann::json& require(const nlohmann::json& object, const std::string& key);
std::string string(const nlohmann::json& object, const std::string& key);
bool boolean(const nlohmann::json& object, const std::string& key);
std::int64_t integer(const nlohmann::json& object, const std::string& key);
double number(const nlohmann::json& object, const std::string& key);
Date date(const nlohmann::json& object, const std::string& key);
StringMap stringMap(const nlohmann::json& object, const std::string& key);
std::vector<std::string> stringList(const nlohmann::json& object, const std::string& key);
Uuid uuid(const nlohmann::json& object, const std::string& key);
std::filesystem::path fileURL(const nlohmann::json& object, const std::string& key);
// Parses text as JSON, throwing DecodingError::dataCorrupted.
nlohmann::json parse(const std::string& text);
}  // namespace coding

}  // namespace lw
