#include "download/manifest_signature.h"

#include <fmt/format.h>

#include <cstring>
#include <vector>

#include "download/sha256.h"
#include "platform/system.h"

namespace vora {
namespace {

// One DER INTEGER, positive, in the fewest bytes, at most 32 of value.
bool read_integer(std::span<const std::uint8_t>& in, std::uint8_t* out) {
  if (in.size() < 2 || in[0] != 0x02 || in[1] == 0 || in[1] > 33 || in.size() < 2u + in[1]) return false;
  std::span<const std::uint8_t> value = in.subspan(2, in[1]);
  in = in.subspan(2u + value.size());
  if ((value[0] & 0x80) != 0) return false;                                         // negative
  if (value.size() > 1 && value[0] == 0 && ((value[1] & 0x80) == 0)) return false;  // not minimal
  if (value[0] == 0 && value.size() > 1) value = value.subspan(1);
  if (value.size() > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - value.size(), value.data(), value.size());
  return true;
}

struct cng_key {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  ~cng_key() {
    if (key) sys().BCryptDestroyKey(key);
    if (algorithm) sys().BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

bool equal_hex(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<std::array<std::uint8_t, 64>> ecdsa_signature_to_raw(std::span<const std::uint8_t> der) {
  if (der.size() < 2 || der[0] != 0x30 || der[1] >= 0x80 || der.size() != 2u + der[1]) return std::nullopt;
  std::span<const std::uint8_t> body = der.subspan(2);
  std::array<std::uint8_t, 64> raw{};
  if (!read_integer(body, raw.data()) || !read_integer(body, raw.data() + 32) || !body.empty()) return std::nullopt;
  return raw;
}

bool verify_manifest_signature(const dsse_envelope& envelope, std::span<const manifest_key> keys, std::string& reason) {
  const std::string signed_bytes = pre_authentication_encoding(envelope.payload_type, envelope.payload);
  sha256 hasher;
  hasher.update(signed_bytes.data(), signed_bytes.size());
  sha256::digest digest = hasher.finish();
  reason = "it is signed by no pinned manifest key";
  for (const dsse_signature& signature : envelope.signatures) {
    const manifest_key* key = nullptr;
    for (const manifest_key& candidate : keys) {
      if (equal_hex(candidate.keyid, signature.keyid)) key = &candidate;
    }
    if (!key) continue;
    auto raw = ecdsa_signature_to_raw(signature.sig);
    if (!raw) {
      reason = fmt::format("the signature of key {} is not a DER ECDSA signature", key->keyid);
      continue;
    }
    cng_key cng;
    NTSTATUS status = sys().BCryptOpenAlgorithmProvider(&cng.algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key->point.size());
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), key->point.data(), key->point.size());
    if (status == 0)
      status = sys().BCryptImportKeyPair(cng.algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &cng.key, blob.data(),
                                         static_cast<ULONG>(blob.size()), 0);
    if (status == 0)
      status = sys().BCryptVerifySignature(cng.key, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                           raw->data(), static_cast<ULONG>(raw->size()), 0);
    if (status == 0) return true;
    reason = fmt::format("the signature of key {} does not verify (status 0x{:08X})", key->keyid,
                         static_cast<std::uint32_t>(status));
  }
  return false;
}

}  // namespace vora
