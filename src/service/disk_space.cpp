#include "service/disk_space.h"

#include <spdlog/spdlog.h>

#include "base/text.h"
#include "platform/system.h"

namespace vora {

outcome check_disk_space(const std::filesystem::path& folder, std::uint64_t needed) {
  ULARGE_INTEGER available{};
  if (sys().GetDiskFreeSpaceExW(folder.wstring().c_str(), &available, nullptr, nullptr) == 0) {
    spdlog::warn("Failed to read the free space of '{}' (Error: {})", narrow_path(folder), sys().GetLastError());
    return std::nullopt;
  }
  if (available.QuadPart >= needed) return std::nullopt;
  constexpr std::uint64_t mib = 1 << 20;
  // Rounded so that the words never show enough room.
  return fail_with(ERROR_DISK_FULL, "Not enough disk space to install Vora ({} MiB needed, {} MiB free).",
                   (needed + mib - 1) / mib, available.QuadPart / mib);
}

}  // namespace vora
