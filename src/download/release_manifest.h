// The release manifest, VoraRelease.json: a DSSE envelope (the signing
// envelope of in-toto and Sigstore) whose payload names the release, when it
// was issued, when it expires, and each program file's path under the
// storage URL, size and SHA-256. These readers see the bytes before any
// signature is checked, so they accept only the exact shapes written by the
// publishing script and say why anything else is refused.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/version_resource.h"

namespace vora {

inline constexpr const char* manifest_file_name = "VoraRelease.json";
inline constexpr const char* manifest_payload_type = "application/vnd.vora.release+json";
inline constexpr std::size_t max_manifest_size = std::size_t{64} * 1024;

struct dsse_signature {
  std::string keyid;              // as written: hex SHA-256 of the signer's SubjectPublicKeyInfo
  std::vector<std::uint8_t> sig;  // DER ECDSA-Sig-Value
};

struct dsse_envelope {
  std::string payload_type;
  std::string payload;  // the decoded payload bytes
  std::vector<dsse_signature> signatures;
};

struct manifest_file {
  std::string path;  // relative to the storage URL
  std::uint64_t size = 0;
  std::array<std::uint8_t, 32> sha256{};
};

struct release_manifest {
  release_version release{};
  std::int64_t issued = 0;  // seconds since 1970-01-01T00:00:00Z
  std::int64_t expires = 0;
  std::map<std::string, manifest_file> files;  // by program file name
};

// False with the reason when text is not such an envelope.
bool read_envelope(std::string_view text, dsse_envelope& out, std::string& reason);

// What the signature covers: "DSSEv1" SP len(type) SP type SP len(payload)
// SP payload, lengths in ASCII decimal.
std::string pre_authentication_encoding(std::string_view type, std::string_view payload);

// False with the reason when the payload is not a release of exactly the
// given program files, each with a safe path and a size within max_size.
bool read_release_payload(std::string_view payload, const std::vector<std::string>& names, std::uint64_t max_size,
                          release_manifest& out, std::string& reason);

// "2026-12-09T22:00:00Z" as seconds since 1970; nothing for any other form
// or a year before 1970.
std::optional<std::int64_t> parse_utc_time(std::string_view text);

// Letters, digits, '.', '_', '-' and '/' only, at most 200 characters, no
// leading '/', no empty, "." or ".." segment.
bool is_safe_manifest_path(std::string_view path);

// Standard base64 with padding; nothing for anything else.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

}  // namespace vora
