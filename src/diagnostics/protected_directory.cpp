#include "diagnostics/protected_directory.h"

#include <fmt/format.h>

#include <cstring>
#include <optional>

#include "app/fatal_error.h"
#include "app/text.h"
#include "diagnostics/crash_handler.h"
#include "diagnostics/directories.h"
#include "diagnostics/logging.h"
#include "diagnostics/safe_files.h"
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
  return sid_header_size + 4u * bytes[1];
}

// The token's user and owner, read once.
struct token_sids {
  std::vector<BYTE> user;
  std::vector<BYTE> owner;
};

std::vector<BYTE> copy_sid(PSID sid) {
  const std::size_t length = sid_length(sid);
  const auto* bytes = static_cast<const BYTE*>(sid);
  return length ? std::vector<BYTE>(bytes, bytes + length) : std::vector<BYTE>{};
}

std::vector<BYTE> read_token_sid(HANDLE token, TOKEN_INFORMATION_CLASS info_class) {
  DWORD needed = 0;
  sys().GetTokenInformation(token, info_class, nullptr, 0, &needed);
  if (needed == 0) return {};
  // Whole pointers keep the record aligned.
  std::vector<void*> buffer((needed + sizeof(void*) - 1) / sizeof(void*));
  if (!sys().GetTokenInformation(token, info_class, buffer.data(), needed, &needed)) return {};
  if (info_class == TokenUser) return copy_sid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  return copy_sid(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
}

token_sids read_token_sids() {
  token_sids sids;
  HANDLE raw = nullptr;
  if (!sys().OpenProcessToken(sys().GetCurrentProcess(), TOKEN_QUERY, &raw)) return sids;
  platform::scoped_handle token(raw);
  sids.user = read_token_sid(token.get(), TokenUser);
  sids.owner = read_token_sid(token.get(), TokenOwner);
  return sids;
}

struct local_memory {
  void* memory = nullptr;
  ~local_memory() {
    if (memory) sys().LocalFree(memory);
  }
};

bool create_protected_directory(const std::filesystem::path& path, PACL dacl) {
  SECURITY_DESCRIPTOR descriptor{};
  if (!sys().InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !sys().SetSecurityDescriptorOwner(&descriptor, administrators_sid().get(), FALSE) ||
      !sys().SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) ||
      !sys().SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return false;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;
  const std::wstring wide = path.wstring();
  return sys().CreateDirectoryW(wide.c_str(), &attributes);
}

// Why an existing directory cannot be trusted, or nothing when it can; a
// trusted one has had its owner and DACL applied (error set when that failed).
std::optional<std::string> distrust(const std::filesystem::path& path, const std::wstring& expected_final,
                                    DWORD attributes, bool no_links, PACL dacl, DWORD& error) {
  error = 0;
  if (is_link(attributes)) return std::string("it is a link");
  std::wstring reached;
  DWORD open_error = 0;
  platform::scoped_handle directory(
      open_exactly(path, expected_final, READ_CONTROL | WRITE_DAC | WRITE_OWNER, reached, open_error));
  if (!directory) {
    if (open_error == ERROR_CANT_RESOLVE_FILENAME && !reached.empty())
      return fmt::format("it leads to '{}'", narrow_path(reached));
    return fmt::format("it cannot be inspected (Error: {})", open_error);
  }

  PSID owner = nullptr;
  local_memory descriptor;
  const DWORD owner_error = sys().GetSecurityInfo(directory.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                                  nullptr, nullptr, nullptr, &descriptor.memory);
  if (owner_error) return fmt::format("its owner cannot be read (Error: {})", owner_error);
  if (!is_trusted_owner(owner)) return fmt::format("it is owned by {}", sid_text(owner));

  if (no_links) {
    std::vector<directory_entry> entries;
    DWORD list_error = 0;
    if (!list_directory(path, entries, list_error)) return fmt::format("it cannot be listed (Error: {})", list_error);
    for (const auto& entry : entries) {
      if (is_link(entry.attributes)) return fmt::format("it holds the link '{}'", narrow_path(entry.name));
    }
  }

  error = sys().SetSecurityInfo(
      directory.get(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      administrators_sid().get(), nullptr, dacl, nullptr);
  return std::nullopt;
}

}  // namespace

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

bool equal_sids(PSID a, PSID b) {
  const std::size_t length = sid_length(a);
  return length != 0 && length == sid_length(b) && std::memcmp(a, b, length) == 0;
}

std::string sid_text(PSID sid) {
  if (!sid_length(sid)) return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
  std::string text = fmt::format("S-{}-{}", bytes[0], authority);
  for (BYTE i = 0; i < bytes[1]; ++i) {
    DWORD value = 0;
    std::memcpy(&value, bytes + sid_header_size + 4u * i, sizeof(value));
    text += fmt::format("-{}", value);
  }
  return text;
}

bool is_trusted_owner(PSID owner) {
  for (const fixed_sid* trusted : {&local_system_sid(), &administrators_sid(), &trusted_installer_sid()}) {
    if (equal_sids(owner, trusted->get())) return true;
  }
  static const token_sids token = read_token_sids();
  for (const auto* sid : {&token.user, &token.owner}) {
    if (!sid->empty() && equal_sids(owner, const_cast<BYTE*>(sid->data()))) return true;
  }
  return false;
}

DWORD build_protected_dacl(PACL& dacl) {
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
  return sys().SetEntriesInAclW(3, entries, nullptr, &dacl);
}

DWORD secure_directory(const std::filesystem::path& path, const std::wstring& expected_final, bool no_links,
                       std::vector<std::string>& notes) {
  PACL raw_dacl = nullptr;
  const DWORD dacl_error = build_protected_dacl(raw_dacl);
  local_memory dacl{raw_dacl};
  if (dacl_error) return dacl_error;

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
    if (!(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) return 0;

    DWORD error = 0;
    const auto reason = distrust(path, expected_final, attributes, no_links, raw_dacl, error);
    if (!reason) return error;
    std::filesystem::path aside;
    if (!move_aside(path, expected_final, aside, error)) return error;
    notes.push_back(fmt::format("Moved untrusted directory '{}' aside to '{}': {}", narrow_path(path),
                                narrow_path(aside), *reason));
  }
  return ERROR_CANT_RESOLVE_FILENAME;
}

std::vector<std::string> prepare_data_directories() {
  std::vector<std::string> notes;
  const std::filesystem::path data = data_directory();
  DWORD error = 0;
  // ProgramData itself belongs to the system: its final path anchors ours.
  const std::wstring root_final = directory_final_path(data.parent_path(), error);
  if (error) report_fatal_error("Failed to secure directory '{}' (Error: {}).", narrow_path(data), error);
  const std::wstring data_final = child_final_path(root_final, data.filename().wstring());
  error = secure_directory(data, data_final, false, notes);
  if (error) report_fatal_error("Failed to secure directory '{}' (Error: {}).", narrow_path(data), error);
  // A file where the data directory belongs: creating the crash directory
  // reports it.
  const std::wstring data_wide = data.wstring();
  if (!(sys().GetFileAttributesW(data_wide.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) return notes;

  for (const std::filesystem::path& child : {program_log_directory(), program_crash_directory()}) {
    error = secure_directory(child, child_final_path(data_final, child.filename().wstring()), true, notes);
    if (error) report_fatal_error("Failed to secure directory '{}' (Error: {}).", narrow_path(child), error);
  }
  return notes;
}

}  // namespace vora
