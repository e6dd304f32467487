// authenticode_ranges, authenticode_digest, embedded_signature_bytes and
// read_indirect_data on bytes an attacker chose. The first byte picks the
// form: a whole image, or bytes that the target places after a well-formed
// image's sections and seals with a certificate table. Properties: no read outside the input (the sanitizers);
// accepted ranges lie inside the image in order, leave out exactly the
// checksum, the directory entry and a table that ends the image; the
// checksum and the table's contents never change the digest; an accepted indirect
// data's signed bytes lie inside the input.
#include "download/authenticode.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "pe_builder.h"

namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void check_image(const std::string& image) {
  std::string reason;
  const auto ranges = vora::authenticode_ranges(as_bytes(image), reason);
  if (!ranges) {
    FUZZ_CHECK(!reason.empty());
    return;
  }
  std::size_t end = 0, covered = 0;
  for (const auto& range : *ranges) {
    FUZZ_CHECK(range.offset >= end && range.offset <= image.size() && range.size <= image.size() - range.offset);
    end = range.offset + range.size;
    covered += range.size;
  }
  FUZZ_CHECK((*ranges)[1].offset == (*ranges)[0].size + 4);
  FUZZ_CHECK((*ranges)[2].offset == (*ranges)[1].offset + (*ranges)[1].size + 8);
  FUZZ_CHECK(covered == (*ranges)[2].offset + (*ranges)[2].size - 12);
  FUZZ_CHECK(image.size() - end >= 8);  // the table holds one WIN_CERTIFICATE header at least

  // The checksum and the table's contents may change freely.
  std::string changed = image;
  changed[(*ranges)[0].size] ^= 0x5A;
  changed.back() ^= 0x5A;
  const auto a = vora::authenticode_digest(as_bytes(image), reason);
  const auto b = vora::authenticode_digest(as_bytes(changed), reason);
  FUZZ_CHECK(a && b && *a == *b);

  // The signature handed to the parser lies inside the table, after its header.
  if (const auto signature = vora::embedded_signature_bytes(as_bytes(image), reason)) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(image.data());
    FUZZ_CHECK(signature->data() >= first + end + 8 && !signature->empty() &&
               signature->data() + signature->size() <= first + image.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    check_image(vora::test::with_certificate_table(vora::test::pe_image(vora::test::version_block({})) + input));
  } else {
    check_image(input);
  }
  std::string reason;
  const auto indirect = vora::read_indirect_data(as_bytes(input), reason);
  if (indirect) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(input.data());
    FUZZ_CHECK(indirect->signed_bytes.data() >= begin &&
               indirect->signed_bytes.data() + indirect->signed_bytes.size() <= begin + input.size());
  }
  (void)vora::read_message_digest(as_bytes(input));
  return 0;
}
