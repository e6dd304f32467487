// Placing a held file under its final name so that the file verified is the
// file installed: move by handle, canonical path from the handle, identity
// check by file ID.
#pragma once

#include <string>
#include <system_error>

#include "download/held_image.h"

namespace vora {

// Replaces held.path with the canonical path of held.handle, without the
// long-path prefix. False (path unchanged) when the platform cannot tell.
bool update_canonical_path(held_image& held);

// True when both paths name the same file by identity. ec is set when either
// identity cannot be read; two distinct files give false with ec clear.
bool is_same_file(const std::wstring& a, const std::wstring& b, std::error_code& ec);

// Gives up a download: closes held.handle (path kept) and deletes the
// temporary file, never what a link at that path points to.
void discard_download(held_image& held, const std::wstring& temp_path);

}  // namespace vora
