// A verified program file kept open so that nobody can change, move or delete
// it until its owner lets go.
#pragma once

#include <string>

#include "platform/scoped.h"
#include "platform/win32_types.h"

namespace vora {

struct held_image {
  platform::scoped_handle handle;  // none: not held
  std::wstring path;               // canonical path of the open file

  held_image() = default;
  held_image(held_image&& other) noexcept;
  held_image& operator=(held_image&& other) noexcept;

  // Clears the path and closes the handle; safe to call again.
  void dispose();
};

}  // namespace vora
