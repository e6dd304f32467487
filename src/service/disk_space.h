// Whether the install volume has room for a release before any of it is
// fetched: a disk that fills half way through an update is found out before
// anything of the earlier installation is touched.
#pragma once

#include <cstdint>
#include <filesystem>

#include "base/failure.h"

namespace vora {

// Fails with ERROR_DISK_FULL when the volume of folder has fewer than needed
// bytes free for this process. Free space that cannot be read is only a
// warning: the writes themselves still fail cleanly.
[[nodiscard]] outcome check_disk_space(const std::filesystem::path& folder, std::uint64_t needed);

}  // namespace vora
