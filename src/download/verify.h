// Deciding whether a downloaded image may be installed: held open against
// change, Authenticode-signed by the pinned signer, optionally of a known
// SHA-256.
#pragma once

#include <optional>
#include <string>

#include "build_config.h"
#include "download/held_image.h"
#include "download/version_resource.h"
#include "platform/win32_types.h"

namespace vora {

using build::pinned_signer_thumbprint;

// What a program file must say of itself: the name it was fetched as, and,
// once verified, the version resource that named it.
struct image_identity {
  std::wstring fetched_as;
  image_version found;
};

// Whether verify_image checks the Authenticode signature and its signer:
// always for a program file; skipped only where a pinned hash is the check.
enum class signature_check { required, skipped };

// Opens path into held (read sharing only) and runs the requested checks on
// the open file. With the signature check and an identity, the signed bytes
// must also carry one version resource whose OriginalFilename is
// identity.fetched_as (letter case ignored); it is handed back in
// identity.found. On false the reason is logged and any opened handle stays
// in held for the caller to close.
bool verify_image(const std::wstring& path, held_image& held, const std::optional<std::string>& expected_sha256,
                  signature_check signature, image_identity* identity = nullptr);

// The signer check: the whole thumbprint text equals one of the pinned ones
// (separated by ';', so a renewed certificate can be pinned beside the old
// one), letter case ignored.
bool thumbprint_matches(const std::wstring& thumbprint, const std::wstring& pinned);

// SHA-256 of everything from the handle's position to the end of the file, as
// 64 lower-case hexadecimal digits. False (out unchanged) when a read fails.
bool sha256_file(HANDLE file, std::string& out);

}  // namespace vora
