// update_canonical_path against a GetFinalPathNameByHandleW whose answers
// come from the input: the path may change between calls (the file moved),
// may need the buffer to grow (lengths around 260 and beyond), and the call
// may fail. The stored path must follow the long-path prefix rule applied to
// the answer that fitted, and a failure must leave the path alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "download/placement.h"
#include "fuzz_support.h"
#include "platform/system.h"

namespace {

struct answer {
  bool fails = false;
  DWORD error = 0;
  std::wstring path;
  DWORD extra_needed = 0;  // a size report larger than strictly needed
};

std::wstring expected_path(const std::wstring& path) {
  const std::wstring unc = L"\\\\?\\UNC\\";
  const std::wstring plain = L"\\\\?\\";
  if (path.size() >= unc.size() && path.substr(0, unc.size()) == unc) return L"\\\\" + path.substr(unc.size());
  if (path.size() >= plain.size() && path.substr(0, plain.size()) == plain) return path.substr(plain.size());
  return path;
}

std::wstring make_path(FuzzedDataProvider& input) {
  std::wstring path;
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 1:
      path = L"\\\\?\\";
      break;
    case 2:
      path = L"\\\\?\\UNC\\";
      break;
    default:
      break;
  }
  path += vora::fuzz::wide_from_bytes(input.ConsumeRandomLengthString(600));
  // Pad to a length near the first buffer's size, or far beyond it.
  const int pad = input.ConsumeIntegralInRange<int>(-1, 2);
  if (pad >= 0) {
    static constexpr std::size_t targets[] = {259, 260, 261, 1000};
    std::size_t target = targets[pad + (input.ConsumeBool() ? 1 : 0)];
    if (path.size() < target) path.append(target - path.size(), input.ConsumeBool() ? L'a' : L'\\');
  }
  // The system never reports an embedded terminator (the name ends there)
  // nor an empty path, whose length 0 would read as failure.
  path = std::wstring(path.c_str());
  return path.empty() ? L"C:\\" : path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vora::fuzz::use_null_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<answer> answers;
  const int count = input.ConsumeIntegralInRange<int>(1, 6);
  for (int i = 0; i < count; ++i) {
    answer a;
    a.fails = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    if (a.fails)
      a.error = input.ConsumeIntegral<DWORD>();
    else {
      a.path = make_path(input);
      a.extra_needed = input.ConsumeBool() ? input.ConsumeIntegralInRange<DWORD>(0, 70) : 0;
    }
    answers.push_back(a);
  }

  const vora::platform::scoped_system_calls restore;
  const HANDLE file = reinterpret_cast<HANDLE>(std::intptr_t{0x1234});
  std::size_t next = 0;
  const answer* fitted = nullptr;
  bool failed = false;
  vora::sys().GetFinalPathNameByHandleW = [&](HANDLE handle, LPWSTR buffer, DWORD length, DWORD flags) -> DWORD {
    FUZZ_CHECK(handle == file && buffer != nullptr && flags == 0);
    // The last answer repeats: a path that has settled.
    const answer& a = answers[std::min(next++, answers.size() - 1)];
    if (a.fails) {
      failed = true;
      vora::sys().SetLastError(a.error);
      return 0;
    }
    if (a.path.size() + 1 > length) return static_cast<DWORD>(a.path.size() + 1 + a.extra_needed);
    // Touching every character the caller claims to have catches a length
    // that overstates the buffer.
    std::fill(buffer, buffer + length, L'#');
    std::wmemcpy(buffer, a.path.c_str(), a.path.size() + 1);
    fitted = &a;
    return static_cast<DWORD>(a.path.size());
  };

  vora::held_image held;
  held.handle.reset(file);
  held.path = L"previous";
  const bool ok = vora::update_canonical_path(held);
  held.handle.release();  // not a real handle: nothing to close

  // Each retry asks for more room, so the answers run out long before this.
  FUZZ_CHECK(next <= answers.size() + 2);
  if (failed) {
    FUZZ_CHECK(!ok && fitted == nullptr);
    FUZZ_CHECK(held.path == L"previous");
    return 0;
  }
  FUZZ_CHECK(ok && fitted != nullptr);
  FUZZ_CHECK(held.path == expected_path(fitted->path));
  // At most the one prefix goes ("\\?\UNC\" leaves two of its eight).
  FUZZ_CHECK(held.path.size() + 6 >= fitted->path.size() && held.path.size() <= fitted->path.size());
  return 0;
}
