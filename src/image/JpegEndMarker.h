#pragma once
// JPEG files that end without their two-byte end-of-image marker but hold all their pixel data.
#include <filesystem>
#include <optional>

#include <vips/vips8>

namespace lw {

// The pixels of a JPEG file whose last two bytes are not the end-of-image marker, decoded into
// memory (on the calling thread, metadata kept) from its bytes with the marker put back. All the
// pixel data is there when those bytes decode without a single warning; a JPEG whose data is
// cut short still ends a scan early and gets nothing. Nothing, too, for a file that is not a
// JPEG or that ends with the marker: the caller decodes it as usual.
std::optional<vips::VImage> decodedWithEndMarker(const std::filesystem::path& file);

}  // namespace lw
