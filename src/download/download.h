// Fetching one program file from the storage CDN into the install directory,
// verified and placed so that the file verified is the file installed.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "build_config.h"
#include "download/held_image.h"
#include "download/release_manifest.h"
#include "download/verify.h"
#include "download/version_resource.h"

namespace vora {

using build::storage_base_url;

// Largest body accepted from the CDN; a body of exactly this size is fine.
inline constexpr std::uint64_t max_download_size = 0x40000000;

// Fetches storage_base_url + file_name into install_directory, trying again
// after transient failures and resuming where the server allows it (see
// download/retry_policy.h), then verify_image on the complete file,
// rename_by_handle and the identity check. On true the placed
// file is held open in held and final_path_out names it; on false the reason
// has been logged at error level.
bool download_program_file(const std::wstring& file_name, std::wstring& final_path_out, held_image& held,
                           const std::optional<std::string>& expected_sha256, signature_check signature);

// The two halves of download_program_file, for callers that must have every
// file verified before they place any. fetch_verified_file: the GET into the
// temporary "<name>.download" in the install directory and verify_image; on
// true the verified temporary is held open in held. place_verified_file:
// moves it to its final name by handle and confirms its identity; on false
// the reason has been logged. With version, the image must name itself
// file_name in its version resource (see verify_image), which is handed back.
// With listed (its entry in the release manifest), the file comes from that
// path under the storage URL, no longer than its size, and its SHA-256 is
// pinned to the manifest's.
bool fetch_verified_file(const std::wstring& file_name, held_image& held,
                         const std::optional<std::string>& expected_sha256, signature_check signature,
                         image_version* version = nullptr, const manifest_file* listed = nullptr);

// VoraRelease.json from the storage URL (at most max_manifest_size bytes,
// with the same retries), checked (see manifest_check.h) for names. On false
// the reason has been logged at error level.
bool fetch_release_manifest(const std::vector<std::string>& names, release_manifest& out);
// error, when given, takes the system's code of a failure.
bool place_verified_file(const std::wstring& file_name, held_image& held, std::wstring& final_path_out,
                         DWORD* error = nullptr);

// Where a file is downloaded to before it is placed.
std::wstring download_temp_path(const std::wstring& file_name);

// Creates the install directory and secures the staging folder inside it,
// where downloads wait; called once before the first download. 0 when the
// staging folder is ready, else the Windows error (a missing install
// directory is left for the first download to report).
DWORD prepare_download_directories();

// The HTTP stage on its own, one attempt: one GET of url streamed into out,
// its length checked against Content-Length. On false, error_text says which
// step failed. The WinHTTP handles are closed on every way out.
bool fetch_to_stream(const std::wstring& url, std::ostream& out, std::string& error_text);

}  // namespace vora
