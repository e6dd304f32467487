// A verified program file kept open so that nobody can change, move or delete
// it until its owner lets go.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace vora {

struct held_image {
  HANDLE handle = nullptr;  // null or INVALID_HANDLE_VALUE: none
  std::wstring path;        // canonical path of the open file

  held_image() = default;
  held_image(held_image&& other) noexcept;
  held_image& operator=(held_image&& other) noexcept;
  held_image(const held_image&) = delete;
  held_image& operator=(const held_image&) = delete;
  ~held_image();

  // Clears the path and closes the handle; safe to call again.
  void dispose();
};

}  // namespace vora
