#include "platform/LibraryLog.h"

namespace lw {

LibraryLogSink::LibraryLogSink(std::function<void(const std::string& line)> write) : write_(std::move(write)) {}

void LibraryLogSink::write(const std::string& line) {
    if (!write_) return;
    const int count = lines_.fetch_add(1, std::memory_order_relaxed);
    if (count > kMaxLines) return;
    try {
        write_(count < kMaxLines ? line : "further messages left out");
    } catch (...) {
    }
}

void writeLines(LibraryLogSink& sink, const std::string& prefix, const std::string& message) {
    for (std::size_t begin = 0; begin < message.size();) {
        std::size_t end = message.find('\n', begin);
        if (end == std::string::npos) end = message.size();
        std::string line = message.substr(begin, end - begin);
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty()) sink.write(prefix + line);
        begin = end + 1;
    }
}

}  // namespace lw
