#include "files/protected_directory.h"

#include <fmt/format.h>

#include <cstring>
#include <optional>
#include <vector>

#include "base/text.h"
#include "files/directories.h"
#include "files/safe_files.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr std::size_t sid_header_size = 8;
constexpr BYTE max_sub_authorities = 15;

fixed_sid make_sid(std::initializer_list<DWORD> sub_authorities) {
  fixed_sid sid;
  sid.bytes[0] = 1;  // revision
  sid.bytes[1] = static_cast<BYTE>(sub_authorities.size());
  sid.bytes[7] = 5;  // SECURITY_NT_AUTHORITY
  std::size_t offset = sid_header_size;
  for (const DWORD value : sub_authorities) {
    for (int i = 0; i < 4; ++i) sid.bytes[offset++] = static_cast<BYTE>(value >> (8 * i));
  }
  return sid;
}

std::size_t sid_length(PSID sid) {
  if (!sid) return 0;
  const auto* bytes = static_cast<const BYTE*>(sid);
  if (bytes[0] != 1 || bytes[1] > max_sub_authorities) return 0;
  return sid_header_size + std::size_t{4} * bytes[1];
}

struct local_memory {
  void* memory = nullptr;
  ~local_memory() {
    if (memory) sys().LocalFree(memory);
  }
};

bool create_protected_directory(const std::filesystem::path& path, PACL dacl) {
  SECURITY_DESCRIPTOR descriptor{};
  if (!protected_descriptor(descriptor, dacl)) return false;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;
  const std::wstring wide = path.wstring();
  return sys().CreateDirectoryW(wide.c_str(), &attributes) != 0;
}

// Sets the owner and protected DACL on the object alone. The higher-level
// calls also rewrite everything below a directory, and would follow a link
// someone left there.
DWORD apply_protected_descriptor(HANDLE object, PACL dacl) {
  SECURITY_DESCRIPTOR descriptor{};
  if (!protected_descriptor(descriptor, dacl)) return sys().GetLastError();
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  return sys().SetKernelObjectSecurity(object, what, &descriptor) != 0 ? 0 : sys().GetLastError();
}

// An elevated administrator may take over what denies it access. Enabled
// for the one open that needs them, then put back as they were: nothing
// later in the run acts with them.
class takeover_privileges {
 public:
  takeover_privileges() {
    HANDLE raw = nullptr;
    if (sys().OpenProcessToken(sys().GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw) == 0) return;
    token_.reset(raw);
    for (const wchar_t* name : {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege", L"SeBackupPrivilege"}) {
      TOKEN_PRIVILEGES privileges{};
      privileges.PrivilegeCount = 1;
      privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (sys().LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) == 0) continue;
      TOKEN_PRIVILEGES previous{};
      DWORD needed = 0;
      // An empty previous state: it was enabled already, and stays so.
      if ((sys().AdjustTokenPrivileges(token_.get(), FALSE, &privileges, sizeof(previous), &previous, &needed) != 0) &&
          previous.PrivilegeCount == 1)
        earlier_.push_back(previous);
    }
  }
  ~takeover_privileges() {
    for (TOKEN_PRIVILEGES& previous : earlier_)
      sys().AdjustTokenPrivileges(token_.get(), FALSE, &previous, 0, nullptr, nullptr);
  }
  takeover_privileges(const takeover_privileges&) = delete;
  takeover_privileges& operator=(const takeover_privileges&) = delete;

 private:
  platform::scoped_handle token_;
  std::vector<TOKEN_PRIVILEGES> earlier_;
};

// Opens the entry itself; a denied open is tried again with the takeover
// privileges, which backup semantics then honour.
HANDLE open_for_securing(const std::filesystem::path& path, const std::wstring& expected_final, DWORD access,
                         std::wstring& reached, DWORD& error) {
  HANDLE handle = open_exactly(path, expected_final, access, reached, error);
  if (handle != INVALID_HANDLE_VALUE || error != ERROR_ACCESS_DENIED) return handle;
  const takeover_privileges enabled;
  return open_exactly(path, expected_final, access, reached, error);
}

// Why an existing directory cannot be trusted, or nothing when it can; a
// trusted one has had its owner and DACL applied (error set when that failed).
std::optional<std::string> distrust(const std::filesystem::path& path, const std::wstring& expected_final,
                                    DWORD attributes, const directory_rules& rules, PACL dacl, DWORD& error) {
  error = 0;
  if (is_link(attributes)) return std::string("it is a link");
  std::wstring reached;
  DWORD open_error = 0;
  platform::scoped_handle directory(
      open_for_securing(path, expected_final, READ_CONTROL | WRITE_DAC | WRITE_OWNER, reached, open_error));
  if (!directory) {
    if (open_error == ERROR_CANT_RESOLVE_FILENAME && !reached.empty())
      return fmt::format("it leads to '{}'", narrow_path(reached));
    return fmt::format("it cannot be inspected (Error: {})", open_error);
  }

  PSID owner = nullptr;
  local_memory descriptor;
  const DWORD owner_error = sys().GetSecurityInfo(directory.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                                  nullptr, nullptr, nullptr, &descriptor.memory);
  if (owner_error != 0u) return fmt::format("its owner cannot be read (Error: {})", owner_error);
  if (!is_trusted_owner(owner)) return fmt::format("it is owned by {}", sid_text(owner));

  std::vector<directory_entry> entries;
  if (rules.no_links) {
    DWORD list_error = 0;
    if (!list_directory(path, entries, list_error)) return fmt::format("it cannot be listed (Error: {})", list_error);
    for (const auto& entry : entries) {
      if (is_link(entry.attributes)) return fmt::format("it holds the link '{}'", narrow_path(entry.name));
    }
  }

  error = apply_protected_descriptor(directory.get(), dacl);
  if ((error != 0u) || !rules.protect_files) return std::nullopt;
  // Files written under an earlier, wider DACL get this one too, each on its
  // own: a file that turns out to be a link elsewhere is left alone.
  for (const auto& entry : entries) {
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0u) continue;
    DWORD file_error = 0;
    platform::scoped_handle file(open_exactly(path / entry.name, child_final_path(expected_final, entry.name),
                                              READ_CONTROL | WRITE_DAC | WRITE_OWNER, reached, file_error));
    if (file) apply_protected_descriptor(file.get(), dacl);
  }
  return std::nullopt;
}

}  // namespace

bool protected_descriptor(SECURITY_DESCRIPTOR& descriptor, PACL dacl) {
  return (sys().InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) != 0) &&
         (sys().SetSecurityDescriptorOwner(&descriptor, administrators_sid().get(), FALSE) != 0) &&
         (sys().SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) != 0) &&
         (sys().SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0);
}

const fixed_sid& local_system_sid() {
  static const fixed_sid sid = make_sid({18});
  return sid;
}
const fixed_sid& administrators_sid() {
  static const fixed_sid sid = make_sid({32, 544});
  return sid;
}
const fixed_sid& users_sid() {
  static const fixed_sid sid = make_sid({32, 545});
  return sid;
}
const fixed_sid& trusted_installer_sid() {
  static const fixed_sid sid = make_sid({80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
  return sid;
}

const fixed_sid& wine_user_sid() {
  static const fixed_sid sid = make_sid({21, 0, 0, 0, 1000});
  return sid;
}

bool equal_sids(PSID a, PSID b) {
  const std::size_t length = sid_length(a);
  return length != 0 && length == sid_length(b) && std::memcmp(a, b, length) == 0;
}

std::string sid_text(PSID sid) {
  if (sid_length(sid) == 0u) return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
  std::string text = fmt::format("S-{}-{}", bytes[0], authority);
  for (BYTE i = 0; i < bytes[1]; ++i) {
    DWORD value = 0;
    std::memcpy(&value, bytes + sid_header_size + std::size_t{4} * i, sizeof(value));
    text += fmt::format("-{}", value);
  }
  return text;
}

bool is_trusted_owner(PSID owner) {
  // Not the token's own user: the player's unelevated processes carry it too.
  for (const fixed_sid* trusted : {&local_system_sid(), &administrators_sid(), &trusted_installer_sid()}) {
    if (equal_sids(owner, trusted->get())) return true;
  }
  // Wine keeps no owner: every file reads as owned by its one user, and no
  // other account exists there to plant anything.
  return sys().under_wine() && equal_sids(owner, wine_user_sid().get());
}

DWORD build_protected_dacl(PACL& dacl, const directory_rules& rules) {
  struct grant {
    const fixed_sid& sid;
    DWORD access;
  };
  const grant grants[] = {{local_system_sid(), FILE_ALL_ACCESS},
                          {administrators_sid(), FILE_ALL_ACCESS},
                          {users_sid(), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  EXPLICIT_ACCESS_W entries[3]{};
  for (std::size_t i = 0; i < 3; ++i) {
    entries[i].grfAccessPermissions = grants[i].access;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(grants[i].sid.get());
  }
  dacl = nullptr;
  return sys().SetEntriesInAclW(rules.users_read ? 3 : 2, entries, nullptr, &dacl);
}

DWORD secure_directory(const std::filesystem::path& path, const std::wstring& expected_final,
                       const directory_rules& rules, std::vector<std::string>& notes, platform::scoped_handle& held) {
  PACL raw_dacl = nullptr;
  const DWORD dacl_error = build_protected_dacl(raw_dacl, rules);
  local_memory dacl{raw_dacl};
  if (dacl_error != 0u) return dacl_error;

  const std::wstring wide = path.wstring();
  // Each round either finds a trusted directory or clears the name; another
  // process that keeps planting there wins nothing but a fatal error.
  for (int round = 0; round < 3; ++round) {
    const DWORD attributes = sys().GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = sys().GetLastError();
      if (!is_missing_error(error)) return error;
      // What was just made is checked like anything found there.
      if (!create_protected_directory(path, raw_dacl)) {
        const DWORD create_error = sys().GetLastError();
        if (create_error != ERROR_ALREADY_EXISTS) return create_error;
      }
      continue;
    }
    DWORD error = 0;
    // Anybody may create a file where a folder belongs: it goes aside like a
    // folder that cannot be trusted, rather than ending every later run.
    auto reason = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0u
                      ? distrust(path, expected_final, attributes, rules, raw_dacl, error)
                      : std::optional<std::string>("it is not a directory");
    if (!reason) {
      if (error != 0u) return error;
      // Without delete sharing nobody can rename it away and put something
      // else in its place while its path is in use. An open that this
      // refuses means somebody already holds it that way.
      std::wstring reached;
      held.reset(open_exactly(path, expected_final, FILE_READ_ATTRIBUTES | SYNCHRONIZE, reached, error,
                              FILE_SHARE_READ | FILE_SHARE_WRITE));
      if (held) return 0;
      if (error != ERROR_SHARING_VIOLATION) return error;
      reason = "another program holds it open";
    }
    std::filesystem::path aside;
    if (!move_aside(path, expected_final, aside, error)) return error;
    notes.push_back(fmt::format("Moved untrusted directory '{}' aside to '{}': {}", narrow_path(path),
                                narrow_path(aside), *reason));
  }
  return ERROR_CANT_RESOLVE_FILENAME;
}

namespace {

// Held from the moment each is secured until the program is done with them.
std::vector<platform::scoped_handle>& held_directories() {
  static std::vector<platform::scoped_handle> held;
  return held;
}

// Logging alone must never make installing or removing impossible: when a
// name cannot be cleared (something holds it), this run writes into a fresh
// folder beside it, under a name nobody could have prepared.
// 0 with used set to the folder this run writes in, or the error that
// secured neither.
DWORD secure_for_this_run(const std::filesystem::path& path, const std::wstring& parent_final,
                          const directory_rules& rules, std::vector<std::string>& notes, std::filesystem::path& used) {
  platform::scoped_handle held;
  const DWORD error =
      secure_directory(path, child_final_path(parent_final, path.filename().wstring()), rules, notes, held);
  if (error == 0u) {
    if (held) held_directories().push_back(std::move(held));
    used = path;
    return 0;
  }
  PACL raw_dacl = nullptr;
  DWORD fresh_error = build_protected_dacl(raw_dacl, rules);
  local_memory dacl{raw_dacl};
  const std::filesystem::path fresh = path.parent_path() / (path.filename().wstring() + L"." + unguessable_name_part());
  // Creating never reuses what is there, so the folder is this run's own.
  if ((fresh_error == 0u) && !create_protected_directory(fresh, raw_dacl)) fresh_error = sys().GetLastError();
  if (fresh_error == 0u) {
    std::wstring reached;
    held.reset(open_exactly(fresh, child_final_path(parent_final, fresh.filename().wstring()),
                            FILE_READ_ATTRIBUTES | SYNCHRONIZE, reached, fresh_error,
                            FILE_SHARE_READ | FILE_SHARE_WRITE));
  }
  if (!held) return error;
  held_directories().push_back(std::move(held));
  notes.push_back(fmt::format("Failed to secure directory '{}' (Error: {}): this run's log and dumps are in '{}'",
                              narrow_path(path), error, narrow_path(fresh)));
  used = fresh;
  return 0;
}

}  // namespace

outcome prepare_data_directories(std::vector<std::string>& notes) {
  const std::filesystem::path data = data_directory();
  DWORD error = 0;
  // ProgramData itself belongs to the system: its final path anchors ours.
  const std::wstring root_final = directory_final_path(data.parent_path(), error);
  if (error != 0u) return fail_with(error, "Failed to secure directory '{}' (Error: {}).", narrow_path(data), error);
  const auto secure = [&notes](const std::filesystem::path& path, const std::wstring& parent_final,
                               const directory_rules& rules, std::filesystem::path& used) -> outcome {
    if (const DWORD failed = secure_for_this_run(path, parent_final, rules, notes, used))
      return fail_with(failed, "Failed to secure directory '{}' (Error: {}).", narrow_path(path), failed);
    return std::nullopt;
  };
  std::filesystem::path data_used;
  if (auto cause = secure(data, root_final, {.users_read = true}, data_used)) return cause;
  const std::wstring data_final = child_final_path(root_final, data_used.filename().wstring());
  // Logs stay readable by users so that a player can send them to support;
  // a full-memory dump of an elevated process is for administrators only.
  // The log folder is secured first.
  run_directories used;
  if (auto cause =
          secure(data_used / log_directory().filename(), data_final, {.no_links = true, .users_read = true}, used.logs))
    return cause;
  if (auto cause = secure(data_used / crash_directory().filename(), data_final,
                          {.no_links = true, .users_read = false, .protect_files = true}, used.crashes))
    return cause;
  this_run_directories() = used;
  return std::nullopt;
}

void release_data_directories() {
  // Children first: nothing keeps a parent from going once they have.
  auto& held = held_directories();
  while (!held.empty()) held.pop_back();
}

}  // namespace vora
