// Whether a fetched VoraRelease.json may be believed: small enough, a DSSE
// envelope signed by a pinned manifest key, of the exact payload type, a
// release payload of the three program files, not expired and not issued
// more than a day ahead of this machine's clock. The release itself is
// checked against the record and the floor by the install, as for files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "download/manifest_signature.h"
#include "download/release_manifest.h"

namespace vora {

// How far ahead of this machine's clock a manifest may say it was issued.
inline constexpr std::int64_t manifest_clock_skew_seconds = 86400;

// now: seconds since 1970 (UTC). False with the reason, in words for the log.
bool check_release_manifest(std::string_view text, std::span<const manifest_key> keys,
                            const std::vector<std::string>& names, std::int64_t now, release_manifest& out,
                            std::string& reason);

// The manifest keys the setup believes: those compiled in; a test may set
// its own.
std::vector<manifest_key>& trusted_manifest_keys();

// This machine's clock as seconds since 1970 (UTC).
std::int64_t utc_now();

// "2026-12-09T22:00:00Z" for seconds since 1970.
std::string utc_text(std::int64_t seconds);

}  // namespace vora
