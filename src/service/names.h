// The service's fixed identity.
#pragma once

namespace vora {

inline constexpr const wchar_t* service_name = L"VoraAntiCheat";
inline constexpr const wchar_t* service_display_name = L"Vora Anti-Cheat";
inline constexpr const wchar_t* service_description = L"Provides anti-cheat protection for Tindle.";
inline constexpr const wchar_t* service_account = L"LocalSystem";

}  // namespace vora
