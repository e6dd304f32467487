// The service's fixed identity.
#pragma once

#include <array>

namespace vora {

inline constexpr const wchar_t* service_name = L"VoraAntiCheat";
inline constexpr const wchar_t* service_display_name = L"Vora Anti-Cheat";
inline constexpr const wchar_t* service_description = L"Provides anti-cheat protection for Tindle.";
inline constexpr const wchar_t* service_account = L"LocalSystem";
// The program files in the order they are fetched; the first is the service.
inline constexpr std::array<const wchar_t*, 3> program_files = {L"VoraService.exe", L"VoraSetup.exe",
                                                                L"VoraBroker.exe"};

}  // namespace vora
