// The data directory and its Logs and Crashes folders lie under ProgramData,
// where any user may create folders (and links) before this elevated program
// runs. Before anything is written there, each must be a real directory owned
// by a trusted account, and it gets a protected DACL: SYSTEM and
// Administrators full control, Users read and execute, nothing inherited.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "base/failure.h"
#include "platform/scoped.h"
#include "platform/win32_types.h"

namespace vora {

// A SID in its binary form, for the fixed accounts the program trusts.
struct alignas(4) fixed_sid {
  std::array<BYTE, 8 + 4 * 6> bytes{};
  PSID get() const { return const_cast<BYTE*>(bytes.data()); }
};
const fixed_sid& local_system_sid();
const fixed_sid& administrators_sid();
const fixed_sid& users_sid();
const fixed_sid& trusted_installer_sid();
// S-1-5-21-0-0-0-1000, the one user of a Wine prefix.
const fixed_sid& wine_user_sid();

bool equal_sids(PSID a, PSID b);
// "S-1-5-32-544"; "" for a null or malformed SID.
std::string sid_text(PSID sid);

// SYSTEM, Administrators and TrustedInstaller (and, under Wine alone, the
// Wine user that owns everything there).
bool is_trusted_owner(PSID owner);

struct directory_rules {
  bool no_links = false;       // a link inside makes it untrusted
  bool users_read = true;      // Users may read and list it
  bool protect_files = false;  // its files get the DACL too, one by one
};

// The protected DACL: SYSTEM and Administrators full control and, with
// users_read, Users read and execute, inherited by everything below. Freed
// with LocalFree.
DWORD build_protected_dacl(PACL& dacl, const directory_rules& rules);

// A descriptor of owner Administrators and that DACL, protected from
// inheritance; false (error from GetLastError) when it cannot be built.
bool protected_descriptor(SECURITY_DESCRIPTOR& descriptor, PACL dacl);

// Makes path a trusted, protected directory: creates it with the protected
// security descriptor, or checks an existing one (a real directory whose
// final path is expected_final, with a trusted owner, within the rules) and
// re-applies the owner and DACL to it alone. One that fails a check is
// renamed beside itself, never entered, and a fresh one takes its place; a
// line for the log is added to notes. On success held keeps it open without
// delete sharing. A plain file is left for the caller to report. 0 or the
// Windows error.
DWORD secure_directory(const std::filesystem::path& path, const std::wstring& expected_final,
                       const directory_rules& rules, std::vector<std::string>& notes, platform::scoped_handle& held);

// Secures the data directory, then Logs and Crashes, and holds them until
// release_data_directories. A name that cannot be cleared gives way to a
// fresh folder beside it for this run's log and dumps; only when even that
// fails is it a failure naming the directory. notes receives the lines to
// log once logging is up.
[[nodiscard]] outcome prepare_data_directories(std::vector<std::string>& notes);
void release_data_directories();

}  // namespace vora
