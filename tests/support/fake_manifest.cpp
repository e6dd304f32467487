#include "fake_manifest.h"

#include <fmt/format.h>

#include "download/manifest_check.h"
#include "download/sha256.h"
#include "download/version_resource.h"
#include "platform/system.h"

namespace vora::test {

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += alphabet[group >> 18 & 63];
    out += alphabet[group >> 12 & 63];
    out += i + 1 < bytes.size() ? alphabet[group >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
  }
  return out;
}

std::string fake_manifest_for(const fake_cdn& cdn) {
  std::string files;
  std::string release = "0.0.0.0";
  for (const wchar_t* name : {L"VoraService.exe", L"VoraSetup.exe", L"VoraBroker.exe"}) {
    const std::string body = cdn.body_of(name).value_or("");
    sha256 hasher;
    hasher.update(body.data(), body.size());
    const auto digest = hasher.finish();
    const std::string narrow(name, name + std::wstring(name).size());
    files += fmt::format("{}\"{}\": {{\"path\": \"{}\", \"size\": {}, \"sha256\": \"{}\"}}", files.empty() ? "" : ", ",
                         narrow, narrow, body.size(), to_hex(digest));
    std::string error;
    if (std::wstring(name) == L"VoraService.exe") {
      const auto version =
          read_version_resource(std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), error);
      if (version) release = version_text(version->product_version);
    }
  }
  const std::int64_t now = utc_now();
  const std::string payload = fmt::format(R"({{"release": "{}", "issued": "{}", "expires": "{}", "files": {{{}}}}})",
                                          release, utc_text(now - 3600), utc_text(now + 86400), files);
  return fmt::format(
      R"({{"payloadType": "{}", "payload": "{}", "signatures": [{{"keyid": "ab", "sig": "MAYCAQECAQE="}}]}})",
      manifest_payload_type, base64(payload));
}

void trust_fake_manifests() {
  trusted_manifest_keys() = {manifest_key{"ab", {}}};
  auto& t = sys();
  t.BCryptOpenAlgorithmProvider = [](auto...) { return NTSTATUS(0); };
  t.BCryptImportKeyPair = [](auto...) { return NTSTATUS(0); };
  t.BCryptVerifySignature = [](auto...) { return NTSTATUS(0); };
  t.BCryptDestroyKey = [](auto...) { return NTSTATUS(0); };
  t.BCryptCloseAlgorithmProvider = [](auto...) { return NTSTATUS(0); };
}

}  // namespace vora::test
