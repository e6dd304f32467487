#include "download/authenticode.h"

#include <fmt/format.h>

namespace vora {
namespace {

std::uint32_t read16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8;
}

std::uint32_t read32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return read16(bytes, at) | read16(bytes, at + 2) << 16;
}

constexpr std::uint32_t certificate_directory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr std::size_t win_certificate_header = 8;

// One DER element: tag, the contents and what follows it. Only the forms DER
// allows: one-byte tags, definite lengths in the fewest bytes.
struct der_element {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> contents;
  std::span<const std::uint8_t> rest;
};

std::optional<der_element> read_der(std::span<const std::uint8_t> in) {
  if (in.size() < 2 || (in[0] & 0x1F) == 0x1F) return std::nullopt;
  der_element out;
  out.tag = in[0];
  std::size_t length = in[1];
  std::size_t header = 2;
  if ((length & 0x80) != 0u) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || in.size() < 2 + count || in[2] == 0) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | in[2 + i];
    if (length < 0x80) return std::nullopt;
    header += count;
  }
  if (length > in.size() - header) return std::nullopt;
  out.contents = in.subspan(header, length);
  out.rest = in.subspan(header + length);
  return out;
}

std::optional<der_element> read_der(std::span<const std::uint8_t> in, std::uint8_t tag) {
  auto element = read_der(in);
  if (!element || element->tag != tag) return std::nullopt;
  return element;
}

// Dotted text of an OBJECT IDENTIFIER's contents; empty when malformed.
std::string oid_text(std::span<const std::uint8_t> contents) {
  std::string text;
  std::uint64_t value = 0;
  bool first = true;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (value == 0 && contents[i] == 0x80) return {};  // not the fewest bytes
    if (value > (UINT64_MAX >> 8)) return {};
    value = value << 7 | (contents[i] & 0x7F);
    if ((contents[i] & 0x80) != 0) {
      if (i + 1 == contents.size()) return {};
      continue;
    }
    if (first) {
      const std::uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
      text = fmt::format("{}.{}", top, value - top * 40);
      first = false;
    } else {
      text += fmt::format(".{}", value);
    }
    value = 0;
  }
  return text;
}

constexpr std::uint8_t der_sequence = 0x30;
constexpr std::uint8_t der_oid = 0x06;
constexpr std::uint8_t der_octet_string = 0x04;
constexpr const char* pe_image_data_oid = "1.3.6.1.4.1.311.2.1.15";  // SPC_PE_IMAGE_DATAOBJ

}  // namespace

std::optional<std::array<byte_range, 3>> authenticode_ranges(std::span<const std::uint8_t> image, std::string& reason) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    reason = "no DOS header";
    return std::nullopt;
  }
  const std::size_t pe = read32(image, 0x3C);
  if (pe > image.size() || image.size() - pe < 24 || read32(image, pe) != 0x00004550) {
    reason = "no PE header";
    return std::nullopt;
  }
  const std::size_t optional_header = pe + 24;
  const std::size_t optional_size = read16(image, pe + 20);
  if (image.size() - optional_header < 2) {
    reason = "no optional header";
    return std::nullopt;
  }
  const std::uint32_t magic = read16(image, optional_header);
  if (magic != 0x10B && magic != 0x20B) {
    reason = fmt::format("optional header magic 0x{:X}", magic);
    return std::nullopt;
  }
  const std::size_t count_at = optional_header + (magic == 0x20B ? 108 : 92);
  const std::size_t entry = count_at + 4 + std::size_t{certificate_directory} * 8;
  if (entry + 8 > optional_header + optional_size || entry + 8 > image.size()) {
    reason = "the optional header holds no certificate-table entry";
    return std::nullopt;
  }
  if (read32(image, count_at) <= certificate_directory) {
    reason = "the optional header names no certificate table";
    return std::nullopt;
  }
  const std::size_t table = read32(image, entry);
  const std::size_t table_size = read32(image, entry + 4);
  // The table must end the image: bytes after it would be covered by
  // neither the digest nor the signature.
  if (table_size < win_certificate_header || table < entry + 8 || table > image.size() ||
      image.size() - table != table_size) {
    reason =
        fmt::format("certificate table at {} of {} bytes in an image of {} bytes", table, table_size, image.size());
    return std::nullopt;
  }
  const std::size_t checksum = optional_header + 64;
  return std::array<byte_range, 3>{byte_range{0, checksum}, byte_range{checksum + 4, entry - (checksum + 4)},
                                   byte_range{entry + 8, table - (entry + 8)}};
}

std::optional<std::span<const std::uint8_t>> embedded_signature_bytes(std::span<const std::uint8_t> image,
                                                                      std::string& reason) {
  const auto ranges = authenticode_ranges(image, reason);
  if (!ranges) return std::nullopt;
  const std::size_t table = (*ranges)[2].offset + (*ranges)[2].size;
  const std::size_t length = read32(image, table);
  if (length <= win_certificate_header || length > image.size() - table) {
    reason = fmt::format("a certificate of {} bytes in a table of {}", length, image.size() - table);
    return std::nullopt;
  }
  if (read16(image, table + 4) != 0x0200 || read16(image, table + 6) != 0x0002) {
    reason =
        fmt::format("a certificate of revision 0x{:X}, type {}", read16(image, table + 4), read16(image, table + 6));
    return std::nullopt;
  }
  return image.subspan(table + win_certificate_header, length - win_certificate_header);
}

std::optional<sha256::digest> authenticode_digest(std::span<const std::uint8_t> image, std::string& reason) {
  const auto ranges = authenticode_ranges(image, reason);
  if (!ranges) return std::nullopt;
  sha256 hasher;
  for (const byte_range& range : *ranges) hasher.update(image.data() + range.offset, range.size);
  return hasher.finish();
}

std::optional<indirect_data> read_indirect_data(std::span<const std::uint8_t> content, std::string& reason) {
  // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
  const auto outer = read_der(content, der_sequence);
  if (!outer || !outer->rest.empty()) {
    reason = "not one DER SEQUENCE";
    return std::nullopt;
  }
  const auto data = read_der(outer->contents, der_sequence);
  const auto type = data ? read_der(data->contents, der_oid) : std::nullopt;
  if (!type || oid_text(type->contents) != pe_image_data_oid) {
    reason = "its data is not a PE image's";
    return std::nullopt;
  }
  // DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
  const auto digest_info = read_der(data->rest, der_sequence);
  const auto algorithm = digest_info ? read_der(digest_info->contents, der_sequence) : std::nullopt;
  const auto algorithm_oid = algorithm ? read_der(algorithm->contents, der_oid) : std::nullopt;
  const auto digest = algorithm_oid ? read_der(algorithm->rest, der_octet_string) : std::nullopt;
  if (!digest || !digest->rest.empty() || !digest_info->rest.empty()) {
    reason = "no image digest";
    return std::nullopt;
  }
  indirect_data out;
  out.signed_bytes = outer->contents;
  out.digest_algorithm = oid_text(algorithm_oid->contents);
  out.image_digest.assign(digest->contents.begin(), digest->contents.end());
  return out;
}

std::optional<std::vector<std::uint8_t>> read_message_digest(std::span<const std::uint8_t> value) {
  const auto digest = read_der(value, der_octet_string);
  if (!digest || !digest->rest.empty()) return std::nullopt;
  return std::vector<std::uint8_t>(digest->contents.begin(), digest->contents.end());
}

}  // namespace vora
