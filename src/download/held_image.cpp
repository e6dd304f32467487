#include "download/held_image.h"

#include <utility>

#include "platform/system.h"

namespace vora {

held_image::held_image(held_image&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)), path(std::exchange(other.path, {})) {}

held_image& held_image::operator=(held_image&& other) noexcept {
  if (this != &other) {
    dispose();
    handle = std::exchange(other.handle, nullptr);
    path = std::exchange(other.path, {});
  }
  return *this;
}

held_image::~held_image() { dispose(); }

void held_image::dispose() {
  path.clear();
  // Nulled before closing so a throwing or re-entrant close can never lead to
  // a second close of the same handle.
  const HANDLE owned = std::exchange(handle, nullptr);
  if (owned != nullptr && owned != INVALID_HANDLE_VALUE) sys().CloseHandle(owned);
}

}  // namespace vora
