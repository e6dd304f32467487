#include "diagnostics/pruning.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "base/text.h"
#include "files/safe_files.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr std::int64_t ticks_between_1601_and_1970 = 116444736000000000;
constexpr std::int64_t ticks_per_hour = 36000000000;

std::int64_t ticks_since_1970(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
             time.time_since_epoch())
      .count();
}

struct candidate {
  std::wstring name;
  std::int64_t last_write;
};

}  // namespace

std::int64_t to_file_time_ticks(std::filesystem::file_time_type time) {
  return ticks_since_1970(std::chrono::file_clock::to_sys(time)) + ticks_between_1601_and_1970;
}

std::int64_t now_file_time_ticks() {
  return ticks_since_1970(std::chrono::system_clock::now()) + ticks_between_1601_and_1970;
}

void prune_old_files(const std::filesystem::path& directory, const std::wstring& extension, std::int32_t max_age_hours,
                     std::size_t max_count) {
  std::vector<directory_entry> entries;
  DWORD error = 0;
  std::wstring directory_final;
  if (list_directory(directory, entries, error)) directory_final = directory_final_path(directory, error);
  if (error != 0u) {
    spdlog::warn("Failed to enumerate '{}' for log pruning: {}", narrow_path(directory),
                 std::system_category().message(static_cast<int>(error)));
    return;
  }

  std::vector<candidate> files;
  for (const auto& entry : entries) {
    // Only regular files: never a folder, and never a link, whatever it
    // points to.
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0u)
      continue;
    if (std::filesystem::path(entry.name).extension().wstring() != extension) continue;
    files.push_back({entry.name, entry.last_write});
  }

  std::sort(files.begin(), files.end(),
            [](const candidate& a, const candidate& b) { return a.last_write > b.last_write; });

  const std::int64_t now = now_file_time_ticks();
  const std::int64_t max_age = static_cast<std::int64_t>(max_age_hours) * ticks_per_hour;
  std::size_t retained = 0;
  for (const auto& file : files) {
    const bool expired = (now - file.last_write) > max_age;
    if (retained < max_count && !expired) {
      ++retained;
      continue;
    }
    const std::filesystem::path path = directory / file.name;
    // Deleted through a handle that provably reaches this very file.
    const DWORD remove_error = delete_exactly(path, child_final_path(directory_final, file.name));
    if (remove_error == 0u) {
      spdlog::debug("Pruned old file '{}'", narrow_path(path));
    } else {
      spdlog::warn("Failed to prune file '{}': {}", narrow_path(path),
                   std::system_category().message(static_cast<int>(remove_error)));
    }
  }
}

}  // namespace vora
