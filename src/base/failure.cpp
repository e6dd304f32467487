#include "base/failure.h"

#include <utility>

namespace vora {
namespace {

void (*fatal_error_undo)() = nullptr;

}  // namespace

void set_fatal_error_undo(void (*undo)()) { fatal_error_undo = undo; }

void (*take_fatal_error_undo())() { return std::exchange(fatal_error_undo, nullptr); }

}  // namespace vora
