#include "download/version_resource.h"

#include <fmt/format.h>

#include <vector>

namespace vora {
namespace {

using bytes = std::span<const std::uint8_t>;

constexpr std::uint16_t rt_version = 16;
constexpr std::uint32_t subdirectory_bit = 0x80000000;
constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;
constexpr std::size_t fixed_file_info_size = 52;
constexpr std::size_t node_header_size = 6;
constexpr std::size_t resource_directory_size = 16;
constexpr std::size_t resource_entry_size = 8;
constexpr std::size_t resource_data_entry_size = 16;
constexpr std::size_t section_header_size = 40;
constexpr std::size_t resource_directory_index = 2;
constexpr std::size_t security_directory_index = 4;

// Whether [offset, offset + length) lies inside a range of size bytes, with
// no arithmetic that could wrap.
bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

bool u16_at(bytes data, std::uint64_t offset, std::uint16_t& out) {
  if (!fits(offset, 2, data.size())) return false;
  out = static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
  return true;
}

bool u32_at(bytes data, std::uint64_t offset, std::uint32_t& out) {
  if (!fits(offset, 4, data.size())) return false;
  out = static_cast<std::uint32_t>(data[offset]) | static_cast<std::uint32_t>(data[offset + 1]) << 8 |
        static_cast<std::uint32_t>(data[offset + 2]) << 16 | static_cast<std::uint32_t>(data[offset + 3]) << 24;
  return true;
}

std::uint64_t align4(std::uint64_t offset) { return (offset + 3) & ~std::uint64_t{3}; }

release_version split(std::uint32_t ms, std::uint32_t ls) {
  return {static_cast<std::uint16_t>(ms >> 16), static_cast<std::uint16_t>(ms & 0xFFFF),
          static_cast<std::uint16_t>(ls >> 16), static_cast<std::uint16_t>(ls & 0xFFFF)};
}

// The parts of a PE image that locate resource data: its sections' raw data,
// minus the certificate table.
class pe_image {
 public:
  explicit pe_image(bytes image) : image_(image) {}

  bool load(std::string& error) {
    std::uint16_t magic = 0;
    std::uint32_t pe_offset = 0, signature = 0;
    if (!u16_at(image_, 0, magic) || magic != 0x5A4D) return fail(error, "no MZ header");
    if (!u32_at(image_, 0x3C, pe_offset) || !u32_at(image_, pe_offset, signature) || signature != 0x00004550)
      return fail(error, "no PE header");
    const std::uint64_t coff = std::uint64_t{pe_offset} + 4;
    std::uint16_t section_count = 0, optional_size = 0;
    if (!u16_at(image_, coff + 2, section_count) || !u16_at(image_, coff + 16, optional_size))
      return fail(error, "PE header past the end of the image");
    const std::uint64_t optional = coff + 20;
    if (!fits(optional, optional_size, image_.size())) return fail(error, "optional header past the end of the image");
    const bytes header = image_.subspan(optional, optional_size);
    std::uint16_t optional_magic = 0;
    if (!u16_at(header, 0, optional_magic)) return fail(error, "no optional header");
    std::uint64_t directories = 0;
    if (optional_magic == 0x10B)
      directories = 96;
    else if (optional_magic == 0x20B)
      directories = 112;
    else
      return fail(error, "neither a PE32 nor a PE32+ image");
    std::uint32_t directory_count = 0;
    if (!u32_at(header, directories - 4, directory_count)) return fail(error, "optional header too short");
    auto directory = [&](std::size_t index, std::uint32_t& address, std::uint32_t& size) {
      address = size = 0;
      if (index >= directory_count) return true;
      return u32_at(header, directories + 8 * index, address) && u32_at(header, directories + 8 * index + 4, size);
    };
    if (!directory(resource_directory_index, resource_rva_, resource_size_) ||
        !directory(security_directory_index, certificates_offset_, certificates_size_))
      return fail(error, "data directories past the optional header");

    const std::uint64_t table = optional + optional_size;
    const std::uint64_t table_size = std::uint64_t{section_count} * section_header_size;
    std::uint32_t headers_size = 0;
    if (!u32_at(header, 60, headers_size) || !fits(table, table_size, headers_size) ||
        !fits(0, headers_size, image_.size()))
      return fail(error, "section table past the headers");
    headers_size_ = headers_size;
    // The headers are hashed by Authenticode; what follows the last section
    // and the certificate table are not, so neither may hold them.
    if ((certificates_size_ != 0u) && certificates_offset_ < table + table_size)
      return fail(error, "headers inside the certificate table");
    for (std::uint16_t i = 0; i < section_count; ++i) {
      const std::uint64_t at = table + std::uint64_t{i} * section_header_size;
      section s;
      u32_at(image_, at + 8, s.virtual_size);
      u32_at(image_, at + 12, s.virtual_address);
      u32_at(image_, at + 16, s.raw_size);
      u32_at(image_, at + 20, s.raw_offset);
      sections_.push_back(s);
    }
    return true;
  }

  // The file bytes behind [rva, rva + length): inside exactly one section's
  // raw data, inside the file and clear of the certificate table.
  bool map(std::uint32_t rva, std::uint32_t length, bytes& out, std::string& error) const {
    const section* found = nullptr;
    for (const section& s : sections_) {
      // Bytes past the raw data are the loader's zero fill, not the file's.
      const std::uint64_t backed = s.virtual_size != 0u ? std::min(s.virtual_size, s.raw_size) : s.raw_size;
      if (rva < s.virtual_address || !fits(rva - s.virtual_address, length, backed)) continue;
      if (found) return fail(error, "resource data in overlapping sections");
      found = &s;
    }
    if (!found) return fail(error, fmt::format("resource data at 0x{:X} outside every section's file data", rva));
    const std::uint64_t offset = std::uint64_t{found->raw_offset} + (rva - found->virtual_address);
    if (!fits(found->raw_offset, found->raw_size, image_.size()) || !fits(offset, length, image_.size()))
      return fail(error, "section data past the end of the image");
    // The loader maps the headers, not a section, over those bytes.
    if ((found->raw_size != 0u) && found->raw_offset < headers_size_)
      return fail(error, "section data inside the headers");
    const std::uint64_t cert_end = std::uint64_t{certificates_offset_} + certificates_size_;
    if ((certificates_size_ != 0u) && offset < cert_end && certificates_offset_ < offset + length)
      return fail(error, "resource data inside the certificate table");
    out = image_.subspan(offset, length);
    return true;
  }

  std::uint32_t resource_rva() const { return resource_rva_; }
  std::uint32_t resource_size() const { return resource_size_; }

  static bool fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
  }

 private:
  struct section {
    std::uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_offset = 0;
  };
  bytes image_;
  std::vector<section> sections_;
  std::uint32_t resource_rva_ = 0, resource_size_ = 0;
  std::uint32_t certificates_offset_ = 0, certificates_size_ = 0;  // a file offset, unlike the others
  std::uint32_t headers_size_ = 0;                                 // SizeOfHeaders
};

struct resource_entry {
  std::uint32_t name = 0;
  std::uint32_t target = 0;
};

// The entries of the resource directory at offset; those with the name id
// when only_id is set, otherwise all.
bool directory_entries(bytes tree, std::uint32_t offset, std::optional<std::uint16_t> only_id,
                       std::vector<resource_entry>& out, std::string& error) {
  std::uint16_t named = 0, ids = 0;
  if (!u16_at(tree, std::uint64_t{offset} + 12, named) || !u16_at(tree, std::uint64_t{offset} + 14, ids))
    return pe_image::fail(error, "resource directory past the end of the resources");
  const std::uint64_t first = std::uint64_t{offset} + resource_directory_size;
  const std::uint64_t count = std::uint64_t{named} + ids;
  if (!fits(first, count * resource_entry_size, tree.size()))
    return pe_image::fail(error, "resource directory entries past the end of the resources");
  for (std::uint64_t i = 0; i < count; ++i) {
    resource_entry entry;
    u32_at(tree, first + i * resource_entry_size, entry.name);
    u32_at(tree, first + i * resource_entry_size + 4, entry.target);
    if (only_id && entry.name != *only_id) continue;
    out.push_back(entry);
  }
  return true;
}

// One node of a version block (VS_VERSIONINFO, StringFileInfo, a string
// table, a String, ...): its key, value and where its children lie.
struct node {
  std::uint64_t start = 0, end = 0;
  std::u16string key;
  std::uint16_t type = 0;
  std::uint64_t value = 0, value_size = 0;  // bytes
  std::uint64_t children = 0;
};

bool read_node(bytes block, std::uint64_t start, std::uint64_t limit, node& out, std::string& error) {
  std::uint16_t length = 0, value_length = 0, type = 0;
  if (!fits(start, node_header_size, limit) || !u16_at(block, start, length) ||
      !u16_at(block, start + 2, value_length) || !u16_at(block, start + 4, type))
    return pe_image::fail(error, "version block header past its parent");
  if (length < node_header_size || !fits(start, length, limit))
    return pe_image::fail(error, fmt::format("version block of {} bytes past its parent", length));
  out.start = start;
  out.end = start + length;
  out.type = type;
  out.key.clear();
  std::uint64_t at = start + node_header_size;
  for (;;) {
    std::uint16_t unit = 0;
    if (!fits(at, 2, out.end) || !u16_at(block, at, unit)) return pe_image::fail(error, "version key past its block");
    at += 2;
    if (unit == 0) break;
    out.key.push_back(static_cast<char16_t>(unit));
  }
  // Offsets are aligned from the start of the whole block, as the loader
  // hands it out 4-byte aligned.
  out.value = align4(at);
  out.value_size = std::uint64_t{value_length} * (type == 1 ? 2 : 1);
  if (!fits(out.value, out.value_size, out.end) && out.value_size != 0)
    return pe_image::fail(error, "version value past its block");
  out.children = align4(out.value + out.value_size);
  return true;
}

// Calls visit for each child of parent, in order; false when one is broken
// or visit says so.
template <typename Visit>
bool each_child(bytes block, const node& parent, std::string& error, Visit visit) {
  for (std::uint64_t at = parent.children; at < parent.end;) {
    node child;
    if (!read_node(block, at, parent.end, child, error) || !visit(child)) return false;
    at = align4(child.end);
  }
  return true;
}

}  // namespace

std::optional<image_version> read_version_block(bytes block, std::string& error) {
  error.clear();
  node root;
  if (!read_node(block, 0, block.size(), root, error)) return std::nullopt;
  if (root.key != u"VS_VERSION_INFO") {
    error = "version block is not VS_VERSION_INFO";
    return std::nullopt;
  }
  std::uint32_t signature = 0, file_ms = 0, file_ls = 0, product_ms = 0, product_ls = 0;
  if (root.value_size != fixed_file_info_size || !u32_at(block, root.value, signature) ||
      !u32_at(block, root.value + 8, file_ms) || !u32_at(block, root.value + 12, file_ls) ||
      !u32_at(block, root.value + 16, product_ms) || !u32_at(block, root.value + 20, product_ls)) {
    error = fmt::format("fixed file info of {} bytes", root.value_size);
    return std::nullopt;
  }
  if (signature != fixed_file_info_signature) {
    error = fmt::format("fixed file info signature 0x{:08X}", signature);
    return std::nullopt;
  }

  image_version found;
  found.file_version = split(file_ms, file_ls);
  found.product_version = split(product_ms, product_ls);
  int names = 0;
  const bool walked = each_child(block, root, error, [&](const node& info) {
    if (info.key != u"StringFileInfo") return true;
    return each_child(block, info, error, [&](const node& table) {
      return each_child(block, table, error, [&](const node& text) {
        if (text.key != u"OriginalFilename") return true;
        if (++names > 1) return pe_image::fail(error, "more than one OriginalFilename");
        found.original_filename.clear();
        for (std::uint64_t at = text.value; at + 2 <= text.value + text.value_size; at += 2) {
          std::uint16_t unit = 0;
          u16_at(block, at, unit);
          if (unit == 0) break;
          found.original_filename.push_back(static_cast<char16_t>(unit));
        }
        return true;
      });
    });
  });
  if (!walked) return std::nullopt;
  if (names == 0) {
    error = "no OriginalFilename";
    return std::nullopt;
  }
  return found;
}

std::optional<image_version> read_version_resource(bytes image, std::string& error) {
  error.clear();
  pe_image pe(image);
  if (!pe.load(error)) return std::nullopt;
  if (pe.resource_rva() == 0 || pe.resource_size() == 0) {
    error = "no resources";
    return std::nullopt;
  }
  bytes tree;
  if (!pe.map(pe.resource_rva(), pe.resource_size(), tree, error)) return std::nullopt;

  // Type, name and language: the only version resource must have one of each.
  std::vector<resource_entry> types, names, languages;
  if (!directory_entries(tree, 0, rt_version, types, error)) return std::nullopt;
  if (types.size() != 1) {
    error = types.empty() ? "no version resource" : "more than one version resource";
    return std::nullopt;
  }
  if ((types[0].target & subdirectory_bit) == 0u) {
    error = "version resource without names";
    return std::nullopt;
  }
  if (!directory_entries(tree, types[0].target & ~subdirectory_bit, std::nullopt, names, error)) return std::nullopt;
  if (names.size() != 1) {
    error = names.empty() ? "no version resource" : "more than one version resource";
    return std::nullopt;
  }
  if ((names[0].target & subdirectory_bit) == 0u) {
    error = "version resource without languages";
    return std::nullopt;
  }
  if (!directory_entries(tree, names[0].target & ~subdirectory_bit, std::nullopt, languages, error))
    return std::nullopt;
  if (languages.size() != 1) {
    error = languages.empty() ? "no version resource" : "version resource in more than one language";
    return std::nullopt;
  }
  std::uint32_t data_rva = 0, data_size = 0;
  if (((languages[0].target & subdirectory_bit) != 0u) ||
      !fits(languages[0].target, resource_data_entry_size, tree.size())) {
    error = "version resource data entry past the end of the resources";
    return std::nullopt;
  }
  u32_at(tree, languages[0].target, data_rva);
  u32_at(tree, std::uint64_t{languages[0].target} + 4, data_size);
  bytes block;
  if (!pe.map(data_rva, data_size, block, error)) return std::nullopt;
  return read_version_block(block, error);
}

int compare_versions(const release_version& a, const release_version& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

std::string version_text(const release_version& version) {
  return fmt::format("{}.{}.{}.{}", version[0], version[1], version[2], version[3]);
}

std::optional<release_version> parse_version_text(const std::string& text) {
  release_version out{};
  std::size_t part = 0, digits = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part == out.size()) return std::nullopt;
      out[part++] = static_cast<std::uint16_t>(value);
      value = 0;
      digits = 0;
      continue;
    }
    if (text[i] < '0' || text[i] > '9' || ++digits > 5) return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  if (part != out.size()) return std::nullopt;
  return out;
}

std::string text_for_log(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x20 || code == 0x7F || code == '\\') {
      out += code == '\\' ? std::string("\\\\") : fmt::format("\\x{:02X}", code);
    } else if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

bool same_file_name(const std::u16string& text, const std::wstring& name) {
  if (text.size() != name.size()) return false;
  auto lower = [](std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto a = static_cast<std::uint32_t>(text[i]);
    // A wchar_t is a code unit, never negative: no sign to extend.
    const auto b = static_cast<std::uint32_t>(name[i]);  // NOLINT(bugprone-signed-char-misuse)
    if (a < 0x80 && b < 0x80 ? lower(a) != lower(b) : a != b) return false;
  }
  return true;
}

}  // namespace vora
