// read_version_resource and read_version_block on bytes an attacker chose.
// The first byte picks the form: a whole image, or a version block that the
// target wraps into an image of its own. Properties: no read outside the
// input (the sanitizers), bytes after the last section never change the
// answer, the block reads alike on its own and inside an image (with or
// without a certificate table behind it), and an accepted release round-trips
// through its text form.
#include "download/version_resource.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "pe_builder.h"

namespace {

using vora::image_version;

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool same(const std::optional<image_version>& a, const std::optional<image_version>& b) {
  if (!a || !b) return !a && !b;
  return a->original_filename == b->original_filename && a->file_version == b->file_version &&
         a->product_version == b->product_version;
}

void check_accepted(const image_version& found) {
  FUZZ_CHECK(found.original_filename.find(u'\0') == std::u16string::npos);
  const auto back = vora::parse_version_text(vora::version_text(found.product_version));
  FUZZ_CHECK(back && vora::compare_versions(*back, found.product_version) == 0);
  FUZZ_CHECK(vora::compare_versions(found.file_version, found.product_version) ==
             -vora::compare_versions(found.product_version, found.file_version));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string error;
  if (data[0] & 1) {
    const auto alone = vora::read_version_block(as_bytes(rest), error);
    const auto wrapped = vora::read_version_resource(as_bytes(vora::test::pe_image(rest)), error);
    const auto signed_image =
        vora::read_version_resource(as_bytes(vora::test::pe_image(rest, 1, std::string(64, '\xAA'), true)), error);
    FUZZ_CHECK(same(alone, wrapped));
    FUZZ_CHECK(same(alone, signed_image));
    if (alone) check_accepted(*alone);
    return 0;
  }
  const auto found = vora::read_version_resource(as_bytes(rest), error);
  FUZZ_CHECK(found || !error.empty());
  if (!found) return 0;
  check_accepted(*found);
  const auto grown = vora::read_version_resource(as_bytes(rest + std::string(512, '\x5A')), error);
  FUZZ_CHECK(same(found, grown));
  return 0;
}
