// The HTTP stage of a download (fetch_to_stream) against a WinHTTP whose
// failures, cracked URL, status and body chunks come from the input. The
// body goes into a counting sink instead of a file. Checked: the result and
// the error text are exactly what the documented steps give for that script,
// never more than 1073741824 bytes are accepted, the chunk that crosses the
// limit is not written, and every handle opened is closed once, in order.
#include <fmt/format.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "build_config.h"
#include "download/download.h"
#include "fuzz_support.h"
#include "platform/system.h"

namespace {

constexpr std::uint64_t limit = 1073741824;
constexpr DWORD read_size = 65536;

enum step {
  open_step,
  timeouts_step,
  crack_step,
  connect_step,
  request_step,
  send_step,
  receive_step,
  query_step,
  read_step,
  no_failure
};

struct chunk_run {
  DWORD size;
  std::uint32_t repeat;
};

struct script {
  int failing = no_failure;
  DWORD error = 0;
  std::uint64_t failing_read = 0;
  bool https = true;
  INTERNET_PORT port = 443;
  std::wstring host, path;
  DWORD status = 200;
  std::vector<chunk_run> body;
  std::uint64_t sink_capacity = UINT64_MAX;
};

// The n-th chunk size of the body plan, 0 once it is used up.
DWORD chunk_at(const script& s, std::uint64_t index) {
  for (const auto& run : s.body) {
    if (index < run.repeat) return run.size;
    index -= run.repeat;
  }
  return 0;
}

// Counts what is written; checks that each write is one whole chunk, in
// order; refuses bytes beyond its capacity, as a full disk would.
class counting_sink : public std::streambuf {
 public:
  explicit counting_sink(const script& s) : script_(s) {}
  std::uint64_t written = 0;
  std::uint64_t writes = 0;

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    const auto expected = static_cast<std::streamsize>(std::min<DWORD>(chunk_at(script_, writes), read_size));
    FUZZ_CHECK(count == expected);
    if (count >= 8) {
      std::uint64_t marker;
      std::memcpy(&marker, bytes, 8);
      FUZZ_CHECK(marker == writes);
    }
    ++writes;
    const auto room = script_.sink_capacity - written;
    const auto taken = static_cast<std::uint64_t>(count) > room ? room : static_cast<std::uint64_t>(count);
    written += taken;
    return static_cast<std::streamsize>(taken);
  }
  int_type overflow(int_type) override {
    FUZZ_CHECK(false);  // the stage writes whole chunks only
    return traits_type::eof();
  }

 private:
  const script& script_;
};

std::wstring text_of_length(FuzzedDataProvider& input, int longest) {
  std::wstring text = vora::fuzz::wide_from_bytes(input.ConsumeRandomLengthString(64));
  const int length = input.ConsumeIntegralInRange<int>(0, longest);
  if (text.size() < static_cast<std::size_t>(length)) text.append(static_cast<std::size_t>(length) - text.size(), L'x');
  return std::wstring(text.c_str());
}

script read_script(FuzzedDataProvider& input) {
  script s;
  s.failing = input.ConsumeIntegralInRange<int>(open_step, no_failure + 3);
  if (s.failing > no_failure) s.failing = no_failure;
  s.error = input.ConsumeIntegral<DWORD>();
  s.failing_read = input.ConsumeIntegralInRange<std::uint64_t>(0, 20000);
  s.https = input.ConsumeBool();
  s.port = input.ConsumeIntegral<INTERNET_PORT>();
  s.host = text_of_length(input, 300);
  s.path = text_of_length(input, 2100);
  s.status = input.ConsumeBool() ? 200 : input.ConsumeIntegral<DWORD>();
  const int runs = input.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < runs; ++i) {
    chunk_run run;
    // Mostly what a transport hands out; now and then more than was asked.
    run.size = input.ConsumeIntegralInRange<int>(0, 15) == 0 ? input.ConsumeIntegralInRange<DWORD>(1, 200000)
                                                             : input.ConsumeIntegralInRange<DWORD>(1, read_size);
    run.repeat = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(1, 20000) : 1;
    s.body.push_back(run);
  }
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
    s.sink_capacity = input.ConsumeIntegralInRange<std::uint64_t>(0, limit + 1);
  return s;
}

// What the documented steps make of the script: empty for success;
// accepted is what the sink must have received.
std::string expected_outcome(const script& s, std::uint64_t& accepted) {
  accepted = 0;
  const auto failed = [&](const char* format) { return fmt::format(fmt::runtime(format), s.error); };
  if (s.failing == open_step) return failed("WinHttpOpen failed: {}");
  if (s.failing == timeouts_step) return failed("WinHttpSetTimeouts failed (Error: {})");
  if (s.failing == crack_step) return failed("WinHttpCrackUrl failed: {}");
  if (s.host.size() >= 256 || s.path.size() >= 2048)
    return fmt::format("WinHttpCrackUrl failed: {}", ERROR_INSUFFICIENT_BUFFER);
  if (s.failing == connect_step) return failed("WinHttpConnect failed: {}");
  if (s.failing == request_step) return failed("WinHttpOpenRequest failed: {}");
  if (s.failing == send_step) return failed("WinHttpSendRequest failed: {}");
  if (s.failing == receive_step) return failed("WinHttpReceiveResponse failed: {}");
  if (s.failing == query_step) return failed("WinHttpQueryHeaders failed: {}");
  if (s.status != 200) return fmt::format("HTTP request failed with status code: {}", s.status);
  std::uint64_t total = 0;
  for (std::uint64_t index = 0;; ++index) {
    if (s.failing == read_step && index == s.failing_read) return failed("WinHttpReadData failed: {}");
    const DWORD got = chunk_at(s, index);
    if (got == 0) return {};
    if (got > std::min<std::uint64_t>(read_size, limit - total + 1)) return "WinHttpReadData failed: *";
    total += got;
    if (total > limit) return fmt::format("Response exceeded maximum allowed size ({} bytes)", limit);
    if (total > s.sink_capacity) {
      accepted = s.sink_capacity;  // the sink took what it had room for
      return "Failed writing downloaded data to output stream";
    }
    accepted = total;
  }
}

struct fake_internet {
  explicit fake_internet(const script& plan) : s(plan) {}
  const script& s;
  // Kinds opened and closed; a handle is its kind's address.
  char session = 0, connection = 0, request = 0;
  std::vector<void*> opened, closed;
  bool failed = false;  // no WinHTTP call may follow a failed one, closes apart
  std::uint64_t reads = 0;
  std::uint64_t position = 0;  // body bytes handed out so far

  template <typename Result>
  Result fail(Result result) {
    failed = true;
    vora::sys().SetLastError(s.error);
    return result;
  }
  void enter() { FUZZ_CHECK(!failed); }
  void* open(void* handle) {
    opened.push_back(handle);
    return handle;
  }
};

void install(fake_internet& f) {
  auto& t = vora::sys();
  const script& s = f.s;
  t.WinHttpOpen = [&f, &s](LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) -> HINTERNET {
    f.enter();
    FUZZ_CHECK(agent && std::wcscmp(agent, L"Vora/1.0") == 0 && access == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY &&
               proxy == nullptr && bypass == nullptr && flags == 0);
    if (s.failing == open_step) return f.fail<HINTERNET>(nullptr);
    return f.open(&f.session);
  };
  t.WinHttpSetTimeouts = [&f, &s](HINTERNET session, int resolve, int connect, int send, int receive) -> BOOL {
    f.enter();
    FUZZ_CHECK(session == &f.session && resolve == 10000 && connect == 10000 && send == 10000 &&
               receive == static_cast<int>(vora::build::download_stall_ms));
    if (s.failing == timeouts_step) return f.fail(FALSE);
    return TRUE;
  };
  t.WinHttpCrackUrl = [&f, &s](LPCWSTR url, DWORD length, DWORD flags, LPURL_COMPONENTS parts) -> BOOL {
    f.enter();
    FUZZ_CHECK(url && length == 0 && flags == 0 && parts && parts->dwStructSize == sizeof(URL_COMPONENTS));
    if (s.failing == crack_step) return f.fail(FALSE);
    // As the real call: a part that does not fit with its terminator fails.
    const auto copy = [](const std::wstring& value, LPWSTR buffer, DWORD& capacity) {
      FUZZ_CHECK(buffer != nullptr);
      std::fill(buffer, buffer + capacity, L'#');  // the whole claimed room
      if (value.size() >= capacity) {
        capacity = static_cast<DWORD>(value.size() + 1);
        return false;
      }
      std::wmemcpy(buffer, value.c_str(), value.size() + 1);
      capacity = static_cast<DWORD>(value.size());
      return true;
    };
    if (!copy(s.host, parts->lpszHostName, parts->dwHostNameLength) ||
        !copy(s.path, parts->lpszUrlPath, parts->dwUrlPathLength)) {
      f.failed = true;
      vora::sys().SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    parts->nScheme = s.https ? INTERNET_SCHEME_HTTPS : INTERNET_SCHEME_HTTP;
    parts->nPort = s.port;
    return TRUE;
  };
  t.WinHttpConnect = [&f, &s](HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved) -> HINTERNET {
    f.enter();
    FUZZ_CHECK(session == &f.session && server && s.host == server && port == s.port && reserved == 0);
    if (s.failing == connect_step) return f.fail<HINTERNET>(nullptr);
    return f.open(&f.connection);
  };
  t.WinHttpOpenRequest = [&f, &s](HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                                  LPCWSTR* accept, DWORD flags) -> HINTERNET {
    f.enter();
    FUZZ_CHECK(connection == &f.connection && verb && std::wcscmp(verb, L"GET") == 0 && object && s.path == object &&
               version == nullptr && referrer == nullptr && accept == nullptr);
    FUZZ_CHECK(flags == (s.https ? WINHTTP_FLAG_SECURE : 0));
    if (s.failing == request_step) return f.fail<HINTERNET>(nullptr);
    return f.open(&f.request);
  };
  t.WinHttpSendRequest = [&f, &s](HINTERNET request, LPCWSTR headers, DWORD headers_length, LPVOID optional,
                                  DWORD optional_length, DWORD total_length, DWORD_PTR context) -> BOOL {
    f.enter();
    FUZZ_CHECK(request == &f.request && headers == nullptr && headers_length == 0 && optional == nullptr &&
               optional_length == 0 && total_length == 0 && context == 0);
    if (s.failing == send_step) return f.fail(FALSE);
    return TRUE;
  };
  t.WinHttpReceiveResponse = [&f, &s](HINTERNET request, LPVOID reserved) -> BOOL {
    f.enter();
    FUZZ_CHECK(request == &f.request && reserved == nullptr);
    if (s.failing == receive_step) return f.fail(FALSE);
    return TRUE;
  };
  t.WinHttpSetOption = [&f](HINTERNET session, DWORD, LPVOID buffer, DWORD length) -> BOOL {
    f.enter();
    FUZZ_CHECK(session == &f.session && buffer && length == sizeof(DWORD));
    return TRUE;
  };
  // The clock stands still: the run's deadline never passes mid-run.
  t.GetTickCount64 = [] { return ULONGLONG{0}; };
  t.WinHttpQueryHeaders = [&f, &s](HINTERNET request, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length,
                                   LPDWORD index) -> BOOL {
    f.enter();
    if (level != (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER)) {
      // Content-Length, validators, Retry-After: this server sends none.
      vora::sys().SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
      return FALSE;
    }
    FUZZ_CHECK(request == &f.request && level == (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER) &&
               name == nullptr && buffer && length && *length == 4 && index == nullptr);
    if (s.failing == query_step) return f.fail(FALSE);
    std::memcpy(buffer, &s.status, 4);
    return TRUE;
  };
  t.WinHttpReadData = [&f, &s](HINTERNET request, LPVOID buffer, DWORD to_read, LPDWORD read) -> BOOL {
    f.enter();
    // Never asked for more than one byte past the limit.
    FUZZ_CHECK(request == &f.request && buffer && read &&
               to_read == std::min<std::uint64_t>(read_size, limit - f.position + 1));
    const std::uint64_t index = f.reads++;
    if (s.failing == read_step && index == s.failing_read) return f.fail(FALSE);
    const DWORD got = chunk_at(s, index);
    f.position += got;
    // The chunk's number at its start lets the sink check order and wholeness.
    if (std::min(got, to_read) >= 8) std::memcpy(buffer, &index, 8);
    *read = got;
    return TRUE;
  };
  t.WinHttpCloseHandle = [&f](HINTERNET handle) -> BOOL {
    FUZZ_CHECK(handle == &f.session || handle == &f.connection || handle == &f.request);
    f.closed.push_back(handle);
    return TRUE;
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vora::fuzz::use_null_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const script s = read_script(input);

  const vora::platform::scoped_system_calls restore;
  fake_internet f(s);
  install(f);

  counting_sink sink(s);
  std::ostream out(&sink);
  std::string error_text;
  const bool ok = vora::fetch_to_stream(L"https://cdn.invalid/VoraService.exe", out, error_text);

  std::uint64_t accepted = 0;
  const std::string expected = expected_outcome(s, accepted);
  if (expected.empty()) {
    FUZZ_CHECK(ok);
  } else if (expected == "WinHttpReadData failed: *") {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(error_text.rfind("WinHttpReadData failed: ", 0) == 0 && error_text.size() > 24 &&
               error_text.find_first_not_of("0123456789", 24) == std::string::npos);
  } else {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(error_text == expected);
  }
  // Never more than the limit, and exactly what the stage took in.
  FUZZ_CHECK(sink.written <= limit);
  FUZZ_CHECK(sink.written == accepted);

  // Every handle opened was closed once: request, then connection, then session.
  std::vector<void*> reversed(f.opened.rbegin(), f.opened.rend());
  FUZZ_CHECK(f.closed == reversed);
  return 0;
}
