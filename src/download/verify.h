// Deciding whether a downloaded image may be installed: held open against
// change, Authenticode-signed by the pinned signer, optionally of a known
// SHA-256.
#pragma once

#include <optional>
#include <string>

#include "build_config.h"
#include "download/held_image.h"
#include "platform/win32_types.h"

namespace vora {

using build::pinned_signer_thumbprint;

// Opens path into held (read sharing only) and runs the requested checks on
// the open file. On false the reason is logged and any opened handle stays in
// held for the caller to close.
bool verify_image(const std::wstring& path, held_image& held, const std::optional<std::string>& expected_sha256,
                  bool verify_signature);

// The signer check: the whole thumbprint text equals one of the pinned ones
// (separated by ';', so a renewed certificate can be pinned beside the old
// one), letter case ignored.
bool thumbprint_matches(const std::wstring& thumbprint, const std::wstring& pinned);

// SHA-256 of everything from the handle's position to the end of the file, as
// 64 lower-case hexadecimal digits. False (out unchanged) when a read fails.
bool sha256_file(HANDLE file, std::string& out);

}  // namespace vora
