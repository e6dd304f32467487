#include "download/verify.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "download/authenticode.h"
#include "download/placement.h"
#include "download/sha256.h"
#include "download/version_resource.h"
#include "platform/crt.h"
#include "platform/scoped.h"
#include "platform/system.h"

namespace vora {
namespace {

constexpr DWORD image_access = GENERIC_READ | DELETE;
constexpr LONGLONG image_size_limit = 0x20000000;  // 512 MiB
constexpr DWORD hash_read_chunk = 0x10000;

// WINTRUST_ACTION_GENERIC_VERIFY_V2
GUID generic_verify_v2() { return {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}; }

bool is_open(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

std::wstring thumbprint_text(const BYTE* bytes, DWORD size) {
  static constexpr wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (DWORD i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

bool authenticode_verdict_ok(const std::wstring& canonical_path, HANDLE held_file) {
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof(file_info);
  file_info.pcwszFilePath = canonical_path.c_str();
  // The held handle, not only the path: the verdict then concerns the very
  // bytes behind it, and a verifier that re-opens the path without delete
  // sharing (as Wine's does) is not refused by our own DELETE access.
  file_info.hFile = held_file;
  file_info.pgKnownSubject = nullptr;

  platform::wintrust_data data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

  GUID action = generic_verify_v2();
  const LONG verdict = sys().WinVerifyTrust(nullptr, &action, &data);
  // Releases the state the verify call keeps, whatever the verdict.
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  sys().WinVerifyTrust(nullptr, &action, &data);
  return verdict == 0;
}

struct crypt_message_traits {
  static bool valid(HCRYPTMSG h) { return h != nullptr; }
  static void close(HCRYPTMSG h) { sys().CryptMsgClose(h); }
};
struct cert_store_traits {
  static bool valid(HCERTSTORE h) { return h != nullptr; }
  static void close(HCERTSTORE h) { sys().CertCloseStore(h, 0); }
};
struct cert_context_traits {
  static bool valid(PCCERT_CONTEXT h) { return h != nullptr; }
  static void close(PCCERT_CONTEXT h) { sys().CertFreeCertificateContext(h); }
};

struct view_traits {
  static bool valid(LPVOID view) { return view != nullptr; }
  static void close(LPVOID view) { sys().UnmapViewOfFile(view); }
};

// The whole image as it stands behind the held handle, mapped rather than
// copied: a large image costs address space and file pages, not private
// memory. The handle shares no writing, so the bytes cannot change under
// the view. The signer and the version resource are both taken from these
// bytes, never from the path. False after a warning.
struct mapped_image {
  platform::scoped_handle mapping;
  platform::scoped<LPVOID, view_traits> view;
  std::span<const std::uint8_t> bytes;
};

bool map_held_image(HANDLE file, const std::string& name, mapped_image& image) {
  LARGE_INTEGER size{};
  if ((sys().GetFileSizeEx(file, &size) == 0) || size.QuadPart <= 0) {
    spdlog::warn("GetFileSizeEx failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  if (size.QuadPart > image_size_limit) {
    spdlog::warn("File '{}' exceeds sanity size limit ({} bytes)", name, size.QuadPart);
    return false;
  }
  image.mapping.reset(sys().CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!image.mapping) {
    spdlog::warn("CreateFileMappingW failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  const auto total = static_cast<SIZE_T>(size.QuadPart);
  image.view.reset(sys().MapViewOfFile(image.mapping.get(), FILE_MAP_READ, 0, 0, total));
  if (!image.view) {
    spdlog::warn("MapViewOfFile failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  image.bytes = {static_cast<const std::uint8_t*>(image.view.get()), total};
  return true;
}

// The signature embedded in the image's bytes: its certificate store, its
// message and the information of signer 0.
struct embedded_signature {
  platform::scoped<HCERTSTORE, cert_store_traits> store;
  platform::scoped<HCRYPTMSG, crypt_message_traits> message;
  std::vector<std::uint64_t> signer_buffer;  // 8-byte words keep the record aligned
  const CMSG_SIGNER_INFO& signer() const { return *reinterpret_cast<const CMSG_SIGNER_INFO*>(signer_buffer.data()); }
};

// Only the certificate table's PKCS #7 is handed over: asked to find an
// embedded signature in a whole image, Wine's crypt32 first writes the
// image out to a file in the caller's temporary folder, which is theirs.
// False after a warning.
bool open_signature(std::span<const std::uint8_t> image, const std::string& name, embedded_signature& signature) {
  std::string reason;
  const auto pkcs7 = embedded_signature_bytes(image, reason);
  if (!pkcs7) {
    spdlog::warn("No embedded signature in '{}' ({})", name, reason);
    return false;
  }
  CRYPT_DATA_BLOB blob{};
  blob.cbData = static_cast<DWORD>(pkcs7->size());
  blob.pbData = const_cast<BYTE*>(pkcs7->data());
  DWORD encoding = 0, content_type = 0, format_type = 0;
  HCERTSTORE raw_store = nullptr;
  HCRYPTMSG raw_message = nullptr;
  const BOOL queried = sys().CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content_type, &format_type,
                                              &raw_store, &raw_message, nullptr);
  const DWORD query_error = sys().GetLastError();
  signature.store.reset(raw_store);
  signature.message.reset(raw_message);
  if (queried == 0) {
    spdlog::warn("CryptQueryObject failed for '{}' (Error: {})", name, query_error);
    return false;
  }

  DWORD signer_size = 0;
  if (sys().CryptMsgGetParam(signature.message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &signer_size) == 0) {
    spdlog::warn("CryptMsgGetParam (size query) failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  // Never smaller than the record itself, so reading its fields stays inside
  // the buffer whatever size the query reported.
  const std::size_t capacity = std::max<std::size_t>(signer_size, sizeof(CMSG_SIGNER_INFO));
  signature.signer_buffer.assign((capacity + 7) / 8, 0);
  if (sys().CryptMsgGetParam(signature.message.get(), CMSG_SIGNER_INFO_PARAM, 0, signature.signer_buffer.data(),
                             &signer_size) == 0) {
    spdlog::warn("CryptMsgGetParam failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  return true;
}

// The SHA-1 thumbprint of the certificate of signer 0, found in the
// signature's own store; false after a warning.
bool read_signer_thumbprint(const embedded_signature& signature, const std::string& name, std::wstring& thumbprint) {
  CERT_INFO wanted{};
  wanted.Issuer = signature.signer().Issuer;
  wanted.SerialNumber = signature.signer().SerialNumber;
  PCCERT_CONTEXT raw_certificate = sys().CertFindCertificateInStore(
      signature.store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  if (raw_certificate == nullptr) {
    spdlog::warn("CertFindCertificateInStore found no matching signer for '{}' (Error: {})", name,
                 sys().GetLastError());
    return false;
  }
  platform::scoped<PCCERT_CONTEXT, cert_context_traits> certificate(raw_certificate);

  BYTE hash[20] = {};
  DWORD hash_size = sizeof(hash);
  if (sys().CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &hash_size) == 0) {
    spdlog::warn("CertGetCertificateContextProperty (SHA1 hash) failed for '{}' (Error: {})", name,
                 sys().GetLastError());
    return false;
  }
  thumbprint = thumbprint_text(hash, std::min<DWORD>(hash_size, sizeof(hash)));
  return true;
}

// Whether the signature signs this very image: the one messageDigest
// attribute of signer 0 is the digest of the signed content, and the image
// digest that content names is the image's own. A platform verifier's yes
// does not prove the first (Wine's never compares it), so neither is taken
// from it. False after an error line that says which digest differed.
bool signs_this_image(const embedded_signature& signature, std::span<const std::uint8_t> image,
                      const std::string& name) {
  const CMSG_SIGNER_INFO& signer = signature.signer();
  const std::string algorithm = signer.HashAlgorithm.pszObjId ? signer.HashAlgorithm.pszObjId : "";
  if (algorithm != sha256_oid) {
    spdlog::error("Signature of '{}' uses digest algorithm '{}', which this setup does not check", name,
                  escape_for_log(algorithm));
    return false;
  }

  std::optional<std::vector<std::uint8_t>> message_digest;
  int digests = 0;
  const CRYPT_ATTRIBUTES& attributes = signer.AuthAttrs;
  for (DWORD i = 0; attributes.rgAttr && i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    if (!attribute.pszObjId || std::string_view(attribute.pszObjId) != message_digest_oid) continue;
    digests += static_cast<int>(attribute.cValue);
    if (attribute.cValue == 1 && attribute.rgValue)
      message_digest = read_message_digest({attribute.rgValue[0].pbData, attribute.rgValue[0].cbData});
  }
  if (digests != 1 || !message_digest) {
    spdlog::error("Signature of '{}' carries {} message digests, expected one", name, digests);
    return false;
  }

  DWORD content_size = 0;
  if (sys().CryptMsgGetParam(signature.message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &content_size) == 0) {
    spdlog::error("CryptMsgGetParam (signed content) failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  std::vector<std::uint8_t> content(content_size);
  if (sys().CryptMsgGetParam(signature.message.get(), CMSG_CONTENT_PARAM, 0, content.data(), &content_size) == 0) {
    spdlog::error("CryptMsgGetParam (signed content) failed for '{}' (Error: {})", name, sys().GetLastError());
    return false;
  }
  content.resize(std::min<std::size_t>(content_size, content.size()));
  std::string reason;
  const auto indirect = read_indirect_data(content, reason);
  if (!indirect) {
    spdlog::error("Signed content of '{}' is not an image's indirect data ({})", name, reason);
    return false;
  }
  sha256 hasher;
  hasher.update(indirect->signed_bytes.data(), indirect->signed_bytes.size());
  const sha256::digest content_digest = hasher.finish();
  if (*message_digest != std::vector<std::uint8_t>(content_digest.begin(), content_digest.end())) {
    spdlog::error("Signed content of '{}' does not match its signature (message digest {}, content digest {})", name,
                  to_hex(*message_digest), to_hex(content_digest));
    return false;
  }

  if (indirect->digest_algorithm != sha256_oid) {
    spdlog::error("Signed content of '{}' names an image digest of algorithm '{}', which this setup does not check",
                  name, escape_for_log(indirect->digest_algorithm));
    return false;
  }
  const auto image_digest = authenticode_digest(image, reason);
  if (!image_digest) {
    spdlog::error("Image '{}' has no certificate table the signature can cover ({})", name, reason);
    return false;
  }
  if (indirect->image_digest != std::vector<std::uint8_t>(image_digest->begin(), image_digest->end())) {
    spdlog::error("Image digest of '{}' does not match its signed content (signed {}, image {})", name,
                  to_hex(indirect->image_digest), to_hex(*image_digest));
    return false;
  }
  return true;
}

// Whether the signed image is the program file it was fetched as: its one
// version resource names that file. The release it carries is handed back.
bool is_file_fetched(std::span<const std::uint8_t> image, const std::string& name, image_identity& identity) {
  std::string reason;
  const auto found = read_version_resource(image, reason);
  const std::string expected = to_utf8(identity.fetched_as);
  if (!found) {
    spdlog::error("Image '{}' has no valid version resource ({}), expected one naming '{}'", name, reason, expected);
    return false;
  }
  if (!same_file_name(found->original_filename, identity.fetched_as)) {
    spdlog::error("Image '{}' names itself '{}', expected '{}'", name, text_for_log(found->original_filename),
                  expected);
    return false;
  }
  identity.found = *found;
  return true;
}

}  // namespace

bool thumbprint_matches(const std::wstring& thumbprint, const std::wstring& pinned) {
  // An empty entry ("A;;B", a trailing ';') must never let an empty thumbprint through.
  if (thumbprint.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = pinned.find(L';', start);
    if (platform::equal_ignoring_case(thumbprint, pinned.substr(start, end - start))) return true;
    if (end == std::wstring::npos) return false;
    start = end + 1;
  }
}

bool sha256_file(HANDLE file, std::string& out) {
  std::vector<std::uint8_t> buffer(hash_read_chunk);
  sha256 hasher;
  for (;;) {
    DWORD got = 0;
    if (sys().ReadFile(file, buffer.data(), hash_read_chunk, &got, nullptr) == 0) return false;
    if (got == 0) break;
    hasher.update(buffer.data(), std::min(got, hash_read_chunk));
  }
  out = to_hex(hasher.finish());
  return true;
}

bool verify_image(const std::wstring& path, held_image& held, const std::optional<std::string>& expected_sha256,
                  signature_check signer, image_identity* identity) {
  const std::string name = to_utf8(path);
  spdlog::debug("Verifying image ({})", name);

  const HANDLE file = sys().CreateFileW(path.c_str(), image_access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const DWORD open_error = sys().GetLastError();
  held.handle.reset(file);
  if (!is_open(file)) {
    spdlog::warn("CreateFileW failed for '{}' (Error: {})", name, open_error);
    spdlog::warn("Failed to open image exclusively ({})", name);
    return false;
  }
  if (!update_canonical_path(held)) {
    spdlog::warn("Failed to open image exclusively ({})", name);
    return false;
  }

  if (signer == signature_check::required) {
    if (!authenticode_verdict_ok(held.path, held.handle.get())) {
      spdlog::error("Authenticode signature verification failed ({})", name);
      return false;
    }
    std::wstring thumbprint;
    mapped_image image;
    embedded_signature signature;
    const std::string canonical = to_utf8(held.path);
    if (!map_held_image(held.handle.get(), canonical, image) || !open_signature(image.bytes, canonical, signature) ||
        !read_signer_thumbprint(signature, canonical, thumbprint)) {
      spdlog::error("Failed to extract signer certificate thumbprint ({})", name);
      return false;
    }
    if (!signs_this_image(signature, image.bytes, name)) return false;
    if (!thumbprint_matches(thumbprint, pinned_signer_thumbprint)) {
      spdlog::error("Pinned certificate mismatch ({}, Thumbprint: {})", name, to_utf8(thumbprint));
      return false;
    }
    if (identity && !is_file_fetched(image.bytes, name, *identity)) return false;
  }

  if (expected_sha256) {
    LARGE_INTEGER start{};
    std::string actual;
    if ((sys().SetFilePointerEx(held.handle.get(), start, nullptr, FILE_BEGIN) == 0) ||
        !sha256_file(held.handle.get(), actual)) {
      spdlog::error("Failed to hash file while verifying ({})", name);
      return false;
    }
    if (actual != *expected_sha256) {
      spdlog::error("Pinned hash and generated hash don't match ({})", name);
      return false;
    }
  }

  spdlog::info("Verified Tindle signed image ({})", name);
  return true;
}

}  // namespace vora
