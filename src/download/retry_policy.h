// When a failed download attempt is tried again, and how long to wait first.
// Pure arithmetic over what an attempt ended with; the download loop does the
// waiting (through the platform's sleep) and the clock reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

namespace vora {

struct retry_settings {
  std::uint32_t attempts = 5;                  // per file, the first included
  std::uint32_t base_wait_ms = 1000;           // before the second attempt; doubled each time
  std::uint32_t server_error_wait_ms = 10000;  // at least this after a 5xx
  std::uint32_t retry_after_limit_ms = 60000;  // a longer Retry-After ends the attempts
  std::uint32_t stall_ms = 60000;              // without a new byte: the transfer has stalled
  std::uint32_t deadline_ms = 600000;          // all downloads of one run together
};

// The values this build was made with.
retry_settings build_retry_settings();
// The values downloads use: the build's. Only the benchmarks change them, to
// compare with a single attempt.
retry_settings& download_retry_settings();

// How a failed attempt counts.
enum class failure_class {
  final,         // trying again cannot help, or must not be done
  transient,     // the network or the server may well answer next time
  server_error,  // a 5xx: transient, but the server needs a longer breath
};

// A failed Windows call: time-outs, refused or broken connections, names
// that did not resolve and unreadable answers are transient; secure-channel
// and certificate errors, and everything not known to pass, are final.
failure_class classify_error(DWORD error);
// An HTTP status other than the one expected.
failure_class classify_status(DWORD status);

// A header's number: decimal digits only, at most 19 of them (so it fits).
std::optional<std::uint64_t> parse_decimal(std::wstring_view text);

// Retry-After as delta seconds; a date or anything else is not understood.
std::optional<std::uint32_t> parse_retry_after(const std::wstring& value);

struct retry_decision {
  bool retry = false;
  std::uint32_t wait_ms = 0;
};

// After attempt number `failed_attempt` (1 for the first) ended with a
// failure of `kind`: try again, and after how long. jitter lies in [0, 1)
// and spreads the wait over 75 % to 125 % of its nominal length. A
// Retry-After beyond the limit, no attempts left, or a wait that would not
// end before the deadline (remaining_ms) ends the attempts.
retry_decision decide_retry(const retry_settings& settings, std::uint32_t failed_attempt, failure_class kind,
                            std::optional<std::uint32_t> retry_after_seconds, std::uint64_t remaining_ms,
                            double jitter);

// The deadline all downloads of one run share: it starts with the first
// download and is read through the platform's tick count.
class download_deadline {
 public:
  explicit download_deadline(std::uint32_t length_ms);
  std::uint64_t remaining_ms() const;
  bool passed() const { return remaining_ms() == 0; }
  std::uint32_t length_ms() const { return length_ms_; }

 private:
  std::uint64_t end_;
  std::uint32_t length_ms_;
};

// The run's deadline, started on first use.
download_deadline& run_download_deadline();
// Starts the run's deadline afresh (a new run in the same process).
void restart_run_download_deadline();

}  // namespace vora
