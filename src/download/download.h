// Fetching one program file from the storage CDN into the install directory,
// verified and placed so that the file verified is the file installed.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "build_config.h"
#include "download/held_image.h"

namespace vora {

using build::storage_base_url;

// Largest body accepted from the CDN; a body of exactly this size is fine.
inline constexpr std::uint64_t max_download_size = 0x40000000;

// One HTTPS GET of storage_base_url + file_name into install_directory, then
// verify_image, rename_by_handle and the identity check. On true the placed
// file is held open in held and final_path_out names it; on false the reason
// has been logged at error level.
bool download_program_file(const std::wstring& file_name, std::wstring& final_path_out, held_image& held,
                           const std::optional<std::string>& expected_sha256, bool verify_signature);

// The HTTP stage on its own: one GET of url streamed into out. On false,
// error_text says which step failed. The WinHTTP handles are closed on every
// way out.
bool fetch_to_stream(const std::wstring& url, std::ostream& out, std::string& error_text);

}  // namespace vora
