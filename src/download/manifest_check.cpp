#include "download/manifest_check.h"

#include <fmt/format.h>

#include "download/download.h"
#include "platform/system.h"

namespace vora {

bool check_release_manifest(std::string_view text, std::span<const manifest_key> keys,
                            const std::vector<std::string>& names, std::int64_t now, release_manifest& out,
                            std::string& reason) {
  if (text.size() > max_manifest_size) {
    reason = fmt::format("it is {} bytes, more than {}", text.size(), max_manifest_size);
    return false;
  }
  dsse_envelope envelope;
  std::string why;
  if (!read_envelope(text, envelope, why)) {
    reason = fmt::format("it is not a signed envelope ({})", why);
    return false;
  }
  // The signature first: nothing it does not cover is read any further.
  if (!verify_manifest_signature(envelope, keys, why)) {
    reason = why;
    return false;
  }
  if (envelope.payload_type != manifest_payload_type) {
    reason = fmt::format("its payload type is '{}', expected '{}'", envelope.payload_type, manifest_payload_type);
    return false;
  }
  release_manifest manifest;
  if (!read_release_payload(envelope.payload, names, max_download_size, manifest, why)) {
    reason = fmt::format("it names no release this setup can read ({})", why);
    return false;
  }
  if (manifest.expires <= now) {
    reason = fmt::format("it expired at {} (this machine's clock says {})", utc_text(manifest.expires), utc_text(now));
    return false;
  }
  if (manifest.issued > now + manifest_clock_skew_seconds) {
    reason = fmt::format("it was issued at {}, more than a day ahead of this machine's clock ({})",
                         utc_text(manifest.issued), utc_text(now));
    return false;
  }
  out = std::move(manifest);
  return true;
}

std::vector<manifest_key>& trusted_manifest_keys() {
  static std::vector<manifest_key> keys(build::manifest_public_keys.begin(), build::manifest_public_keys.end());
  return keys;
}

std::int64_t utc_now() {
  FILETIME time{};
  sys().GetSystemTimeAsFileTime(&time);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600;
}

std::string utc_text(std::int64_t seconds) {
  // Civil date from days since 1970 (proleptic Gregorian).
  std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t rest = seconds - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", year, month, day, rest / 3600, rest % 3600 / 60,
                     rest % 60);
}

}  // namespace vora
