// The version resource of a downloaded image, read from the bytes that were
// verified. The image comes from the network: every length and offset is
// checked against the image and its sections before it is followed, and
// nothing outside the sections' raw data (the certificate table, bytes after
// the last section: what the Authenticode hash does not cover) is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vora {

// Four 16-bit parts, most significant first: VS_FIXEDFILEINFO's MS and LS
// words split.
using release_version = std::array<std::uint16_t, 4>;

struct image_version {
  std::u16string original_filename;  // StringFileInfo's OriginalFilename, without its terminator
  release_version file_version{};
  release_version product_version{};
};

// The one version resource of a PE image (one RT_VERSION entry with one name
// and one language), its fixed file info (signature 0xFEEF04BD) and the one
// OriginalFilename string of its string tables. Nothing on failure, with
// error saying why.
std::optional<image_version> read_version_resource(std::span<const std::uint8_t> image, std::string& error);

// The same for a VS_VERSIONINFO block on its own, as the resource's data
// entry hands it out.
std::optional<image_version> read_version_block(std::span<const std::uint8_t> block, std::string& error);

// Negative, zero or positive as a is lower than, equal to or higher than b.
int compare_versions(const release_version& a, const release_version& b);

// "1.2.3.4".
std::string version_text(const release_version& version);

// Reads the text form back: exactly four decimal parts of at most 65535.
std::optional<release_version> parse_version_text(const std::string& text);

// UTF-8 of an untrusted UTF-16 text for a log line: unpaired surrogates
// become U+FFFD, control characters \xNN.
std::string text_for_log(const std::u16string& text);

// Whole-string equality of a resource text and an ASCII file name, ASCII
// letter case ignored (program file names are ASCII; any other character
// must match exactly).
bool same_file_name(const std::u16string& text, const std::wstring& name);

}  // namespace vora
