// Small PE images with a version resource, built byte by byte so that tests
// and fuzz targets can break any length or offset on purpose. Header-only:
// the fuzz targets use it without GoogleTest.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "download/authenticode.h"
#include "download/version_resource.h"

namespace vora::test {

inline void put16(std::string& out, std::size_t at, std::uint16_t v) {
  if (out.size() < at + 2) out.resize(at + 2, '\0');
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>(v >> 8);
}

inline void put32(std::string& out, std::size_t at, std::uint32_t v) {
  put16(out, at, static_cast<std::uint16_t>(v & 0xFFFF));
  put16(out, at + 2, static_cast<std::uint16_t>(v >> 16));
}

inline void pad4(std::string& out) { out.resize((out.size() + 3) & ~std::size_t{3}, '\0'); }

inline std::string utf16z(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) put16(out, out.size(), static_cast<std::uint16_t>(c));
  put16(out, out.size(), 0);
  return out;
}

// One node of a version block: header, key, value, children, each aligned
// to 4 bytes from the node's start; wLength excludes the trailing padding.
inline std::string version_node(const std::u16string& key, std::uint16_t type, const std::string& value,
                                std::uint16_t value_length, const std::vector<std::string>& children = {}) {
  std::string out(6, '\0');
  out += utf16z(key);
  pad4(out);
  out += value;
  for (const std::string& child : children) {
    pad4(out);
    out += child;
  }
  put16(out, 0, static_cast<std::uint16_t>(out.size()));
  put16(out, 2, value_length);
  put16(out, 4, type);
  return out;
}

inline std::string version_string(const std::u16string& key, const std::u16string& text) {
  return version_node(key, 1, utf16z(text), static_cast<std::uint16_t>(text.size() + 1));
}

inline std::string fixed_file_info(const release_version& file, const release_version& product,
                                   std::uint32_t signature = 0xFEEF04BD) {
  std::string out;
  const std::uint32_t words[13] = {signature,
                                   0x00010000,
                                   std::uint32_t{file[0]} << 16 | file[1],
                                   std::uint32_t{file[2]} << 16 | file[3],
                                   std::uint32_t{product[0]} << 16 | product[1],
                                   std::uint32_t{product[2]} << 16 | product[3],
                                   0x3F,
                                   0,
                                   0x40004,
                                   1,
                                   0,
                                   0,
                                   0};
  for (std::uint32_t w : words) put32(out, out.size(), w);
  return out;
}

struct version_fields {
  std::u16string original_filename = u"VoraService.exe";
  release_version file_version{1, 0, 0, 0};
  release_version product_version{1, 0, 0, 0};
  std::uint32_t signature = 0xFEEF04BD;
};

// A VS_VERSIONINFO block like the resource compiler writes.
inline std::string version_block(const version_fields& fields) {
  const std::string strings =
      version_node(u"StringFileInfo", 1, "", 0,
                   {version_node(u"040904b0", 1, "", 0,
                                 {version_string(u"CompanyName", u"Vora"), version_string(u"FileVersion", u"1.0.0"),
                                  version_string(u"OriginalFilename", fields.original_filename),
                                  version_string(u"ProductName", u"Vora Anti-Cheat")})});
  std::string translation;
  put16(translation, 0, 0x0409);
  put16(translation, 2, 1200);
  const std::string vars = version_node(u"VarFileInfo", 1, "", 0, {version_node(u"Translation", 0, translation, 4)});
  return version_node(u"VS_VERSION_INFO", 0,
                      fixed_file_info(fields.file_version, fields.product_version, fields.signature), 52,
                      {strings, vars});
}

struct image_layout {
  std::size_t resources_offset = 0x200;  // file offset of the .rsrc section
  std::size_t block_offset = 0;          // of the version block inside .rsrc
  std::size_t data_entry_offset = 0;     // of the first language's data entry inside .rsrc
};

// A PE32+ image with one .rsrc section holding RT_VERSION / 1 / one entry per
// language, each pointing at block; with trailing bytes after the section
// and, when certificate_size is set, a security directory naming them.
inline std::string pe_image(const std::string& block, int languages = 1, const std::string& trailing = "",
                            bool name_trailing_as_certificates = false, image_layout* layout = nullptr) {
  constexpr std::uint32_t rsrc_rva = 0x1000;
  std::string rsrc;
  auto directory = [&](std::size_t at, std::uint16_t ids) {
    put16(rsrc, at + 12, 0);
    put16(rsrc, at + 14, ids);
  };
  directory(0, 1);
  put32(rsrc, 16, 16);  // RT_VERSION
  put32(rsrc, 20, 0x80000000 | 24);
  directory(24, 1);
  put32(rsrc, 40, 1);
  put32(rsrc, 44, 0x80000000 | 48);
  directory(48, static_cast<std::uint16_t>(languages));
  const std::size_t entries = 64 + 8 * static_cast<std::size_t>(languages);
  const std::size_t block_at = (entries + 16 * static_cast<std::size_t>(languages) + 3) & ~std::size_t{3};
  for (int i = 0; i < languages; ++i) {
    put32(rsrc, 64 + 8 * i, 0x409 + i);
    put32(rsrc, 68 + 8 * i, static_cast<std::uint32_t>(entries + 16 * i));
    put32(rsrc, entries + 16 * i, static_cast<std::uint32_t>(rsrc_rva + block_at));
    put32(rsrc, entries + 16 * i + 4, static_cast<std::uint32_t>(block.size()));
    put32(rsrc, entries + 16 * i + 8, 1200);
  }
  rsrc.resize(block_at, '\0');
  rsrc += block;
  const std::uint32_t rsrc_size = static_cast<std::uint32_t>(rsrc.size());
  rsrc.resize((rsrc.size() + 0x1FF) & ~std::size_t{0x1FF}, '\0');

  std::string image(0x200, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, 0x40);
  put32(image, 0x40, 0x00004550);
  const std::size_t coff = 0x44;
  put16(image, coff, 0x8664);
  put16(image, coff + 2, 1);
  put16(image, coff + 16, 240);
  const std::size_t optional = coff + 20;
  put16(image, optional, 0x20B);
  put32(image, optional + 32, 0x1000);  // section alignment
  put32(image, optional + 36, 0x200);   // file alignment
  put32(image, optional + 56, 0x2000 + static_cast<std::uint32_t>(rsrc.size()));
  put32(image, optional + 60, 0x200);  // size of headers
  put32(image, optional + 108, 16);
  put32(image, optional + 112 + 8 * 2, rsrc_rva);
  put32(image, optional + 112 + 8 * 2 + 4, rsrc_size);
  const std::size_t section = optional + 240;
  image.replace(section, 5, ".rsrc");
  put32(image, section + 8, rsrc_size);
  put32(image, section + 12, rsrc_rva);
  put32(image, section + 16, static_cast<std::uint32_t>(rsrc.size()));
  put32(image, section + 20, 0x200);
  image.resize(0x200, '\0');
  image += rsrc;
  if (name_trailing_as_certificates) {
    put32(image, optional + 112 + 8 * 4, static_cast<std::uint32_t>(image.size()));
    put32(image, optional + 112 + 8 * 4 + 4, static_cast<std::uint32_t>(trailing.size()));
  }
  image += trailing;
  if (layout) {
    layout->resources_offset = 0x200;
    layout->block_offset = block_at;
    layout->data_entry_offset = entries;
  }
  return image;
}

// An image of pe_image's layout as a signer leaves it: padded to 8 bytes and
// ended by a certificate table (one WIN_CERTIFICATE, PKCS #7 type) that the
// security directory names. The stand-in for the signature is the image's
// own Authenticode digest, which the fake crypt32 reports as signed: bytes
// changed after this call no longer match it, as with a real signature.
inline std::string with_certificate_table(std::string image) {
  image.resize((image.size() + 7) & ~std::size_t{7}, '\0');
  const std::size_t table = image.size();
  constexpr std::size_t certificate = 8 + 32;
  put32(image, table, certificate);  // dwLength
  put16(image, table + 4, 0x0200);   // WIN_CERT_REVISION_2_0
  put16(image, table + 6, 0x0002);   // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  image.resize(table + certificate, '\0');
  constexpr std::size_t security_directory = 0x58 + 112 + 8 * 4;
  put32(image, security_directory, static_cast<std::uint32_t>(table));
  put32(image, security_directory + 4, certificate);
  std::string reason;
  const auto digest =
      authenticode_digest(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()), reason);
  if (digest) image.replace(table + 8, 32, reinterpret_cast<const char*>(digest->data()), 32);
  return image;
}

inline std::string version_image(const std::u16string& name, const release_version& product) {
  version_fields fields;
  fields.original_filename = name;
  fields.file_version = product;
  fields.product_version = product;
  return with_certificate_table(pe_image(version_block(fields)));
}

// A signed-looking image that carries payload after its sections, so that
// tests can tell images apart by their bytes.
inline std::string signed_image(const std::string& payload) {
  return with_certificate_table(pe_image(version_block({})) + payload);
}

}  // namespace vora::test
