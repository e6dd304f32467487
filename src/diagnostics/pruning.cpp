#include "diagnostics/pruning.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <vector>

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
  std::filesystem::path path;
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
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  if (ec) {
    spdlog::warn("Failed to enumerate '{}' for log pruning: {}", directory.string(), ec.message());
    return;
  }

  std::vector<candidate> files;
  // Stepping errors are not expected here and propagate as exceptions.
  for (; it != std::filesystem::directory_iterator(); ++it) {
    const auto& entry = *it;
    std::error_code status_ec;
    if (!entry.is_regular_file(status_ec) || status_ec) continue;
    if (entry.path().extension().wstring() != extension) continue;
    std::error_code time_ec;
    const auto time = entry.last_write_time(time_ec);
    if (time_ec) continue;
    files.push_back({entry.path(), to_file_time_ticks(time)});
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
    std::error_code remove_ec;
    if (std::filesystem::remove(file.path, remove_ec)) {
      spdlog::debug("Pruned old file '{}'", file.path.string());
    } else {
      spdlog::warn("Failed to prune file '{}': {}", file.path.string(),
                   std::system_category().message(remove_ec.value()));
    }
  }
}

}  // namespace vora
