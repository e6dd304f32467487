// What an Authenticode signature signs, checked by the program itself. A
// platform verifier may check the signature over the signed attributes and
// stop there (Wine's does): then genuine attributes copied onto another
// image's content pass. So the chain is closed here: the messageDigest
// attribute must be the digest of the signed content, and the image digest
// that content names must be the digest of the image itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "download/sha256.h"

namespace vora {

struct byte_range {
  std::size_t offset = 0;
  std::size_t size = 0;
};

// The parts of a PE image the Authenticode digest covers: all of it but the
// checksum field, the certificate-table directory entry and the certificate
// table, which must end the image. The image comes from the network: only
// the headers that locate these are read, each checked against the image.
// Nothing on failure, with reason saying why.
std::optional<std::array<byte_range, 3>> authenticode_ranges(std::span<const std::uint8_t> image, std::string& reason);

// The PKCS #7 SignedData of the first WIN_CERTIFICATE in the certificate
// table (revision 2.0, type PKCS_SIGNED_DATA), as the platform's own
// signature reader would hand it out: what the signature parser is given,
// never the whole image. Nothing on failure, with reason saying why.
std::optional<std::span<const std::uint8_t>> embedded_signature_bytes(std::span<const std::uint8_t> image,
                                                                      std::string& reason);

// SHA-256 over those ranges, in one pass.
std::optional<sha256::digest> authenticode_digest(std::span<const std::uint8_t> image, std::string& reason);

// The image digest an SpcIndirectDataContent names (DER, as the signed
// message hands out its content), with the bytes the messageDigest attribute
// covers: the SEQUENCE's contents, without its tag and length.
struct indirect_data {
  std::span<const std::uint8_t> signed_bytes;
  std::string digest_algorithm;  // dotted OID
  std::vector<std::uint8_t> image_digest;
};
std::optional<indirect_data> read_indirect_data(std::span<const std::uint8_t> content, std::string& reason);

// The value of a messageDigest attribute (a DER OCTET STRING).
std::optional<std::vector<std::uint8_t>> read_message_digest(std::span<const std::uint8_t> value);

constexpr const char* sha256_oid = "2.16.840.1.101.3.4.2.1";
constexpr const char* message_digest_oid = "1.2.840.113549.1.9.4";

}  // namespace vora
