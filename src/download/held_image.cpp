#include "download/held_image.h"

#include <utility>

namespace vora {

// The path goes with the handle: a held_image moved from holds nothing.
held_image::held_image(held_image&& other) noexcept
    : handle(std::move(other.handle)), path(std::exchange(other.path, {})) {}

held_image& held_image::operator=(held_image&& other) noexcept {
  if (this != &other) {
    handle = std::move(other.handle);
    path = std::exchange(other.path, {});
  }
  return *this;
}

void held_image::dispose() {
  path.clear();
  handle.reset();
}

}  // namespace vora
