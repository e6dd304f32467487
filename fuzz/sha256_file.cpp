// sha256_file against a one-shot hash by the portable code, with ReadFile
// handing out the data in chunks of the input's choosing (and possibly
// failing part way). The accelerated and the portable block functions must
// also agree under arbitrary splits of update().
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "download/sha256.h"
#include "download/verify.h"
#include "fuzz_support.h"
#include "platform/system.h"

namespace {

std::string one_shot(const std::vector<std::uint8_t>& bytes) {
  vora::sha256 hasher(vora::sha256::implementation::portable);
  hasher.update(bytes.data(), bytes.size());
  return vora::to_hex(hasher.finish());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vora::fuzz::use_null_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::uint32_t> chunks;
  const int chunk_count = input.ConsumeIntegralInRange<int>(0, 16);
  for (int i = 0; i < chunk_count; ++i) chunks.push_back(input.ConsumeIntegralInRange<std::uint32_t>(0, 65536));
  // Which read fails, if any (beyond the end: none).
  const int failing_read = input.ConsumeIntegralInRange<int>(0, 40);
  const DWORD failing_error = input.ConsumeIntegral<DWORD>();
  // Many copies of a short text reach lengths past one 64 KiB read cheaply.
  std::uint32_t repeat =
      input.ConsumeIntegralInRange<int>(0, 7) == 0 ? input.ConsumeIntegralInRange<std::uint32_t>(1, 3000) : 1;
  const std::vector<std::uint8_t> unit = input.ConsumeRemainingBytes<std::uint8_t>();
  // Past one 64 KiB read, and no further: keeps the executions fast.
  repeat =
      std::min<std::uint32_t>(repeat, static_cast<std::uint32_t>((80u << 10) / std::max<std::size_t>(1, unit.size())));
  repeat = std::max<std::uint32_t>(repeat, 1);
  std::vector<std::uint8_t> content;
  content.reserve(unit.size() * repeat);
  for (std::uint32_t i = 0; i < repeat; ++i) content.insert(content.end(), unit.begin(), unit.end());

  const vora::platform::scoped_system_calls restore;
  const HANDLE file = reinterpret_cast<HANDLE>(std::intptr_t{0x5678});
  std::size_t position = 0;
  int reads = 0;
  bool failed = false;
  vora::sys().ReadFile = [&](HANDLE handle, LPVOID buffer, DWORD to_read, LPDWORD read,
                             LPOVERLAPPED overlapped) -> BOOL {
    FUZZ_CHECK(handle == file && buffer != nullptr && read != nullptr && overlapped == nullptr);
    FUZZ_CHECK(!failed);  // no read after a failure
    *read = 0;
    if (reads++ == failing_read) {
      failed = true;
      vora::sys().SetLastError(failing_error);
      return FALSE;
    }
    // Zero-size chunks from the plan would end the file early; a plan chunk
    // of 0 means "whatever was asked for".
    DWORD give = to_read;
    if (!chunks.empty()) {
      const std::uint32_t planned = chunks[static_cast<std::size_t>(reads - 1) % chunks.size()];
      if (planned != 0) give = std::min<DWORD>(give, planned);
    }
    give = static_cast<DWORD>(std::min<std::size_t>(give, content.size() - position));
    // Fill the whole buffer the caller offers, so an overstated size shows.
    std::memset(buffer, 0xA5, to_read);
    if (give > 0) std::memcpy(buffer, content.data() + position, give);
    position += give;
    *read = give;
    return TRUE;
  };

  std::string out = "unchanged";
  const bool ok = vora::sha256_file(file, out);
  if (failed) {
    FUZZ_CHECK(!ok && out == "unchanged");
  } else {
    FUZZ_CHECK(ok);
    FUZZ_CHECK(position == content.size());
    FUZZ_CHECK(out == one_shot(content));
  }

  // The two block functions under the same arbitrary split of the input.
  if (vora::sha256::sha_extensions_available()) {
    vora::sha256 fast(vora::sha256::implementation::sha_extensions);
    vora::sha256 slow(vora::sha256::implementation::portable);
    FUZZ_CHECK(fast.which() == vora::sha256::implementation::sha_extensions);
    std::size_t offset = 0, step = 0;
    while (offset < content.size()) {
      const std::size_t take =
          std::min<std::size_t>(content.size() - offset, chunks.empty() ? 97 : chunks[step++ % chunks.size()] + 1);
      fast.update(content.data() + offset, take);
      slow.update(content.data() + offset, take);
      offset += take;
    }
    const auto a = fast.finish(), b = slow.finish();
    FUZZ_CHECK(a == b);
    // finish() starts a new message: a second one agrees as well.
    fast.update(unit.data(), unit.size());
    FUZZ_CHECK(vora::to_hex(fast.finish()) == one_shot(unit));
  }
  return 0;
}
