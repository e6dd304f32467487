// read_envelope and read_release_payload on text an attacker chose: both run
// before any signature is checked. The first byte picks the reader.
// Properties: no read outside the input (the sanitizers); a refusal says
// why; an accepted payload names exactly the program files, each with a
// safe path and a size within the limit, and expires after 1970; an
// accepted envelope has a signature and a payload no longer than its text.
#include "download/release_manifest.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string reason;
  if (data[0] & 1) {
    const std::vector<std::string> names{"VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"};
    vora::release_manifest manifest;
    if (!vora::read_release_payload(input, names, 1u << 30, manifest, reason)) {
      FUZZ_CHECK(!reason.empty());
      return 0;
    }
    FUZZ_CHECK(manifest.files.size() == names.size());
    for (const auto& [name, file] : manifest.files) {
      // Never out of the storage URL: no empty, "." or ".." segment, no root.
      const std::string wrapped = "/" + file.path + "/";
      FUZZ_CHECK(file.path.front() != '/' && wrapped.find("//") == std::string::npos &&
                 wrapped.find("/./") == std::string::npos && wrapped.find("/../") == std::string::npos);
      FUZZ_CHECK(file.size <= (1u << 30));
    }
    FUZZ_CHECK(manifest.issued >= 0 && manifest.expires >= 0);
    return 0;
  }
  vora::dsse_envelope envelope;
  if (!vora::read_envelope(input, envelope, reason)) {
    FUZZ_CHECK(!reason.empty());
    return 0;
  }
  FUZZ_CHECK(!envelope.signatures.empty());
  FUZZ_CHECK(envelope.payload.size() <= input.size());
  return 0;
}
