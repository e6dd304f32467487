#include "download/retry_policy.h"

#include <algorithm>
#include <cwctype>
#include <memory>

#include "build_config.h"
#include "platform/system.h"

namespace vora {

retry_settings build_retry_settings() {
  retry_settings s;
  s.base_wait_ms = build::retry_base_wait_ms;
  s.server_error_wait_ms = build::retry_server_error_wait_ms;
  s.retry_after_limit_ms = build::retry_after_limit_ms;
  s.stall_ms = build::download_stall_ms;
  s.deadline_ms = build::download_deadline_ms;
  return s;
}

retry_settings& download_retry_settings() {
  static retry_settings settings = build_retry_settings();
  return settings;
}

failure_class classify_error(DWORD error) {
  switch (error) {
    case 12002:  // ERROR_WINHTTP_TIMEOUT
    case 12007:  // ERROR_WINHTTP_NAME_NOT_RESOLVED
    case 12029:  // ERROR_WINHTTP_CANNOT_CONNECT
    case 12030:  // ERROR_WINHTTP_CONNECTION_ERROR
    case 12152:  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE
    // Socket errors, which Wine passes through where Windows maps them.
    case 10050:  // WSAENETDOWN
    case 10051:  // WSAENETUNREACH
    case 10052:  // WSAENETRESET
    case 10053:  // WSAECONNABORTED
    case 10054:  // WSAECONNRESET
    case 10060:  // WSAETIMEDOUT
    case 10061:  // WSAECONNREFUSED
    case 10064:  // WSAEHOSTDOWN
    case 10065:  // WSAEHOSTUNREACH
      return failure_class::transient;
    default:
      // Among them every secure-channel and certificate error (12157 as
      // Wine reports it, 12175 as Windows does, 12037, 12038, 12044, 12045,
      // 12169, 12170, 12179): a retry would only ask an impostor again.
      return failure_class::final;
  }
}

failure_class classify_status(DWORD status) {
  switch (status) {
    case 408:
    case 429:
      return failure_class::transient;
    case 500:
    case 502:
    case 503:
    case 504:
      return failure_class::server_error;
    default:
      return failure_class::final;
  }
}

std::optional<std::uint64_t> parse_decimal(std::wstring_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return value;
}

std::optional<std::uint32_t> parse_retry_after(const std::wstring& value) {
  std::size_t begin = 0, end = value.size();
  while (begin < end && (std::iswspace(value[begin]) != 0)) ++begin;
  while (end > begin && (std::iswspace(value[end - 1]) != 0)) --end;
  // Nine digits at most: any such number of seconds fits.
  if (end - begin > 9) return std::nullopt;
  const auto seconds = parse_decimal(std::wstring_view(value).substr(begin, end - begin));
  if (!seconds) return std::nullopt;
  return static_cast<std::uint32_t>(*seconds);
}

retry_decision decide_retry(const retry_settings& settings, std::uint32_t failed_attempt, failure_class kind,
                            std::optional<std::uint32_t> retry_after_seconds, std::uint64_t remaining_ms,
                            double jitter) {
  if (kind == failure_class::final || failed_attempt >= settings.attempts) return {};
  const std::uint32_t doublings = std::min<std::uint32_t>(failed_attempt - 1, 20);
  const double nominal = static_cast<double>(settings.base_wait_ms) * static_cast<double>(1u << doublings);
  double wait = nominal * (0.75 + 0.5 * std::clamp(jitter, 0.0, 1.0));
  if (kind == failure_class::server_error) wait = std::max(wait, static_cast<double>(settings.server_error_wait_ms));
  if (retry_after_seconds) {
    const double asked = static_cast<double>(*retry_after_seconds) * 1000.0;
    if (asked > settings.retry_after_limit_ms) return {};
    wait = std::max(wait, asked);
  }
  const auto wait_ms = static_cast<std::uint64_t>(wait);
  // A wait that ends at the deadline leaves no time for the attempt itself.
  if (wait_ms >= remaining_ms) return {};
  return {true, static_cast<std::uint32_t>(wait_ms)};
}

download_deadline::download_deadline(std::uint32_t length_ms)
    : end_(sys().GetTickCount64() + length_ms), length_ms_(length_ms) {}

std::uint64_t download_deadline::remaining_ms() const {
  const std::uint64_t now = sys().GetTickCount64();
  return now >= end_ ? 0 : end_ - now;
}

namespace {
std::unique_ptr<download_deadline>& run_deadline_slot() {
  static std::unique_ptr<download_deadline> slot;
  return slot;
}
}  // namespace

download_deadline& run_download_deadline() {
  auto& slot = run_deadline_slot();
  if (!slot) slot = std::make_unique<download_deadline>(download_retry_settings().deadline_ms);
  return *slot;
}

void restart_run_download_deadline() { run_deadline_slot().reset(); }

}  // namespace vora
