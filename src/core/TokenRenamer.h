#pragma once
// Expands a naming pattern ("{name}_{index:02}") for one item and makes the result safe as a
// file name. Stateless: calls may run concurrently.
//
// Tokens, expanded in this order (case-sensitive; anything unmatched stays as written):
//   {name} {ext}          caller variable of that name, else the item's base name / extension
//   {total}               the run's item count
//   {index} {index:N}     the item's index, zero-padded to width N
//   {date} {date:F}       now, as the ICU (UTS #35) pattern F (default yyyyMMdd), user locale/zone
//   {key}                 item metadata, caller variables laid over it
//   {key:N}               an integer variable zero-padded to width N
// then each of : / \ ? % * | " < > # becomes "_".
//
// Widths above kMaxWidth (the longest file name a Linux file system takes) are left as written.
#include <cstdint>
#include <string>

#include "core/JobModel.h"

namespace lw {

class TokenRenamer {
public:
    static constexpr std::int64_t kMaxWidth = 255;
    // Expanded text of one step is capped; variable values that would grow the name past it
    // stay unexpanded (values may reference other variables).
    static constexpr std::size_t kMaxExpandedLength = 64 * 1024;

    TokenRenamer() = default;

    static std::string resolve(const std::string& pattern, const BatchItem& item, std::int64_t index,
                               std::int64_t total, const StringMap& contextVariables);

    // `resolve` for the stem of a file name (the caller adds the extension). A result that is
    // empty or only dots would give no name or a hidden file: the item's name stands in for it
    // (the caller's "name" variable, else the source's base name, sanitised alike), and "_" when
    // that is empty or only dots as well.
    static std::string resolveStem(const std::string& pattern, const BatchItem& item, std::int64_t index,
                                   std::int64_t total, const StringMap& contextVariables);
};

}  // namespace lw
