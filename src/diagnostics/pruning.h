#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vora {

// Keeps, among the directory's regular files with this exact extension, the
// newest max_count that are not older than max_age_hours; deletes the rest.
void prune_old_files(const std::filesystem::path& directory, const std::wstring& extension, std::int32_t max_age_hours,
                     std::size_t max_count);

// A file time as FILETIME ticks (100 ns since 1601-01-01 UTC).
std::int64_t to_file_time_ticks(std::filesystem::file_time_type time);
std::int64_t now_file_time_ticks();

}  // namespace vora
