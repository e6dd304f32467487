// The service's fixed identity.
#pragma once

#include <array>
#include <cstddef>

namespace vora {

inline constexpr const wchar_t* service_name = L"VoraAntiCheat";
inline constexpr const wchar_t* service_display_name = L"Vora Anti-Cheat";
inline constexpr const wchar_t* service_description = L"Provides anti-cheat protection for Tindle.";
inline constexpr const wchar_t* service_account = L"LocalSystem";
// The program files of a release, in the order they are fetched.
inline constexpr std::size_t program_file_count = 3;
inline constexpr std::array<const wchar_t*, program_file_count> program_files = {L"VoraService.exe", L"VoraSetup.exe",
                                                                                 L"VoraBroker.exe"};
// The one registered as the service; its release is the installation's.
inline constexpr std::size_t service_file = 0;

// One of something per program file, in program_files' order.
template <typename T>
using per_program_file = std::array<T, program_file_count>;

}  // namespace vora
