// The release manifest's signature: ECDSA P-256 over SHA-256 of the DSSE
// pre-authentication encoding, by one of the manifest keys compiled in,
// checked with the platform's own CNG. It is independent of the code-signing
// certificate: neither alone can install anything.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "build_config.h"
#include "download/release_manifest.h"

namespace vora {

// keyid: lower-case hex SHA-256 of its DER SubjectPublicKeyInfo; point: X
// then Y, big-endian.
using manifest_key = build::manifest_public_key;

// r then s, 32 bytes each, from a DER ECDSA-Sig-Value as OpenSSL writes it;
// nothing for any other encoding.
std::optional<std::array<std::uint8_t, 64>> ecdsa_signature_to_raw(std::span<const std::uint8_t> der);

// True when a signature of the envelope verifies with the key of its keyid
// among keys; false with the reason otherwise.
bool verify_manifest_signature(const dsse_envelope& envelope, std::span<const manifest_key> keys, std::string& reason);

}  // namespace vora
