#pragma once
// An uncompressed TIFF writer that carries an EXIF block without rewriting the file afterwards.
// The block (as `encodeExifBlock` makes it: "Exif\0\0" and a little-endian TIFF structure) is
// written first, as it is, so the offsets inside it stay valid; a new first directory then holds
// the block's own first-directory tags and the image's, and the pixels follow, computed by
// libvips' workers and written once.
#include <cstdint>
#include <filesystem>
#include <vector>

#include <vips/vips8>

namespace lw {

// Writes `pixels` (8-bit, 16-bit or float samples; 1 to 4 bands, the 2nd and 4th being alpha)
// to `file`, which it creates or truncates. Returns false, writing nothing, when the image would
// not fit a classic TIFF (4 GB); throws std::system_error when the file cannot be written and
// vips::VError when the pixels cannot be computed.
bool writeTiffWithExif(const vips::VImage& pixels, const std::filesystem::path& file,
                       const std::vector<std::uint8_t>& exifBlock);

}  // namespace lw
