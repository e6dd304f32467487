#include "download/version_resource.h"

#include <gtest/gtest.h>

#include "pe_builder.h"

namespace vora {
namespace {

using test::image_layout;
using test::pe_image;
using test::put16;
using test::put32;
using test::version_block;
using test::version_fields;

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::optional<image_version> read(const std::string& image, std::string& error) {
  return read_version_resource(as_bytes(image), error);
}

version_fields release(std::u16string name, release_version product) {
  version_fields fields;
  fields.original_filename = std::move(name);
  fields.file_version = {9, 8, 7, 6};
  fields.product_version = product;
  return fields;
}

TEST(VersionResource, ReadsTheNameAndBothVersions) {
  std::string error;
  const auto found = read(pe_image(version_block(release(u"VoraBroker.exe", {1, 2, 3, 65535}))), error);
  ASSERT_TRUE(found) << error;
  EXPECT_EQ(found->original_filename, u"VoraBroker.exe");
  EXPECT_EQ(found->file_version, (release_version{9, 8, 7, 6}));
  EXPECT_EQ(found->product_version, (release_version{1, 2, 3, 65535}));
}

TEST(VersionResource, ASecondLanguageIsRefused) {
  std::string error;
  EXPECT_FALSE(read(pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})), 2), error));
  EXPECT_EQ(error, "version resource in more than one language");
}

TEST(VersionResource, AMissingSignatureIsRefused) {
  version_fields fields = release(u"VoraService.exe", {1, 0, 0, 0});
  fields.signature = 0;
  std::string error;
  EXPECT_FALSE(read(pe_image(version_block(fields)), error));
  EXPECT_EQ(error, "fixed file info signature 0x00000000");
}

TEST(VersionResource, NoVersionResourceIsRefused) {
  image_layout layout;
  std::string image = pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})), 1, "", false, &layout);
  put32(image, layout.resources_offset + 16, 24);  // the type becomes RT_MANIFEST
  std::string error;
  EXPECT_FALSE(read(image, error));
  EXPECT_EQ(error, "no version resource");
}

TEST(VersionResource, ABlockCutShortIsRefused) {
  const std::string block = version_block(release(u"VoraService.exe", {1, 0, 0, 0}));
  image_layout layout;
  std::string image = pe_image(block, 1, "", false, &layout);
  // The data entry hands out less than the block's own length claims.
  put32(image, layout.resources_offset + layout.data_entry_offset + 4, static_cast<std::uint32_t>(block.size() - 10));
  std::string error;
  EXPECT_FALSE(read(image, error));
  EXPECT_EQ(error, "version block of " + std::to_string(block.size()) + " bytes past its parent");

  // Every shorter prefix of the block on its own fails, none reads past it.
  for (std::size_t size = 0; size < block.size(); ++size)
    EXPECT_FALSE(read_version_block(as_bytes(block).first(size), error)) << size;
}

TEST(VersionResource, AChildLengthPastItsParentIsRefused) {
  std::string block = version_block(release(u"VoraService.exe", {1, 0, 0, 0}));
  const std::string key = test::utf16z(u"OriginalFilename");
  const std::size_t at = block.find(key) - 6;
  put16(block, at, 0xFFF0);
  std::string error;
  EXPECT_FALSE(read(pe_image(block), error));
  EXPECT_EQ(error, "version block of 65520 bytes past its parent");
}

TEST(VersionResource, ResourceDataOutsideEverySectionIsRefused) {
  image_layout layout;
  std::string image = pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})), 1, "", false, &layout);
  put32(image, layout.resources_offset + layout.data_entry_offset, 0x7000);
  std::string error;
  EXPECT_FALSE(read(image, error));
  EXPECT_EQ(error, "resource data at 0x7000 outside every section's file data");
}

// The loader maps the headers over those bytes, so a section claiming them
// describes data the running image never has.
TEST(VersionResource, SectionDataInsideTheHeadersIsRefused) {
  std::string image = pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})));
  put32(image, 0x44 + 20 + 240 + 20, 0x100);  // the section's raw data pointer
  std::string error;
  EXPECT_FALSE(read(image, error));
  EXPECT_EQ(error, "section data inside the headers");
}

TEST(VersionResource, AnImageCutShortAnywhereIsRefused) {
  const std::string image = pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})));
  std::string error;
  for (std::size_t size = 0; size < image.size(); size += 7) EXPECT_FALSE(read(image.substr(0, size), error)) << size;
}

TEST(VersionResource, BytesAfterTheLastSectionAreNeverRead) {
  const std::string block = version_block(release(u"VoraSetup.exe", {2, 0, 0, 0}));
  std::string error;
  const auto plain = read(pe_image(block), error);
  ASSERT_TRUE(plain) << error;
  // A certificate table, and the same bytes grown past any length: what is
  // read stays the same.
  const std::string table(4096, '\xEE');
  for (const std::string& trailing : {table, table + table + "extra"}) {
    const auto signed_image = read(pe_image(block, 1, trailing, true), error);
    ASSERT_TRUE(signed_image) << error;
    EXPECT_EQ(signed_image->original_filename, plain->original_filename);
    EXPECT_EQ(signed_image->product_version, plain->product_version);
  }
}

TEST(VersionResource, ResourceDataInsideTheCertificateTableIsRefused) {
  image_layout layout;
  std::string image = pe_image(version_block(release(u"VoraService.exe", {1, 0, 0, 0})), 1, "", false, &layout);
  // A security directory that claims the resource section's bytes.
  put32(image, 0x44 + 20 + 112 + 8 * 4, static_cast<std::uint32_t>(layout.resources_offset));
  put32(image, 0x44 + 20 + 112 + 8 * 4 + 4, 0x100);
  std::string error;
  EXPECT_FALSE(read(image, error));
  EXPECT_EQ(error, "resource data inside the certificate table");
}

TEST(VersionResource, TwoOriginalFilenamesAreRefused) {
  const std::string second = test::version_string(u"OriginalFilename", u"VoraBroker.exe");
  std::string block = test::version_node(
      u"VS_VERSION_INFO", 0, test::fixed_file_info({1, 0, 0, 0}, {1, 0, 0, 0}), 52,
      {test::version_node(
          u"StringFileInfo", 1, "", 0,
          {test::version_node(u"040904b0", 1, "", 0, {test::version_string(u"OriginalFilename", u"VoraService.exe")}),
           test::version_node(u"040704b0", 1, "", 0, {second})})});
  std::string error;
  EXPECT_FALSE(read(pe_image(block), error));
  EXPECT_EQ(error, "more than one OriginalFilename");
}

TEST(VersionResource, NotAnImageIsRefused) {
  std::string error;
  EXPECT_FALSE(read("MZ service", error));
  EXPECT_EQ(error, "no PE header");
  EXPECT_FALSE(read("", error));
  EXPECT_EQ(error, "no MZ header");
}

TEST(ReleaseVersion, ComparesPartByPart) {
  EXPECT_LT(compare_versions({1, 0, 0, 9}, {1, 0, 1, 0}), 0);
  EXPECT_GT(compare_versions({2, 0, 0, 0}, {1, 65535, 65535, 65535}), 0);
  EXPECT_EQ(compare_versions({1, 2, 3, 4}, {1, 2, 3, 4}), 0);
  EXPECT_LT(compare_versions({0, 9, 0, 0}, {1, 0, 0, 0}), 0);
}

TEST(ReleaseVersion, TextRoundTripsAndRefusesAnythingElse) {
  EXPECT_EQ(version_text({1, 0, 65535, 7}), "1.0.65535.7");
  EXPECT_EQ(parse_version_text("1.0.65535.7"), (release_version{1, 0, 65535, 7}));
  for (const char* bad :
       {"", "1.0.0", "1.0.0.0.0", "1.0.0.65536", "1..0.0", "1.0.0.x", "-1.0.0.0", "1.0.0.0 ", "000001.0.0.0"})
    EXPECT_FALSE(parse_version_text(bad)) << bad;
}

TEST(ReleaseVersion, FileNamesCompareIgnoringAsciiCaseOnly) {
  EXPECT_TRUE(same_file_name(u"VORASERVICE.exe", L"VoraService.exe"));
  EXPECT_FALSE(same_file_name(u"VoraService.exe ", L"VoraService.exe"));
  EXPECT_FALSE(same_file_name(u"VoraBroker.exe", L"VoraService.exe"));
  EXPECT_FALSE(same_file_name(u"VoraServ\u0130ce.exe", L"VoraServIce.exe"));
  EXPECT_EQ(text_for_log(u"a\nb\xD800"), "a\\x0Ab\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vora
