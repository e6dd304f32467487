// The headers nearly every unit includes, parsed once per build (a
// precompiled header) instead of once in every file. Only outside headers:
// the layers' own stay visible to each layer alone.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The order of platform/win32_types.h.
// clang-format off
#include <windows.h>
#include <winsvc.h>
#include <aclapi.h>
#include <winhttp.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <bcrypt.h>
#include <softpub.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <dbghelp.h>
// clang-format on
#endif

#include <fmt/format.h>
#include <fmt/xchar.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
