// Settings applied to the freshly created service.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace vora {

// Both log a warning themselves and return false when refused.
bool set_service_description(SC_HANDLE service, const std::wstring& description);
// Restart after 5 s, then after 10 s, then nothing; the count resets daily.
bool set_service_failure_actions(SC_HANDLE service);

// Lets interactive users query the service and start it, with exactly those
// rights. On false, error holds the message (with its code) and nothing has
// been logged.
bool apply_interactive_service_dacl(SC_HANDLE service, std::string& error);

inline constexpr DWORD interactive_service_rights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;

}  // namespace vora
