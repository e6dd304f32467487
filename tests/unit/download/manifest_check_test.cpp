// A fetched manifest is believed only when signed by a pinned key (CNG's
// answer faked here; the real one is checked beside), of the exact type, a
// payload of the program files, not expired and not issued far ahead.
#include "download/manifest_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_manifest.h"
#include "platform/system.h"
#include "test_support.h"

namespace vora {
namespace {

const std::vector<std::string> names{"VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"};
const manifest_key only_key{"ab", {}};

std::string envelope(const std::string& issued, const std::string& expires,
                     const std::string& type = manifest_payload_type) {
  std::string files;
  for (const std::string& name : names) {
    files += std::string(files.empty() ? "" : ", ") + "\"" + name + "\": {\"path\": \"" + name +
             "\", \"size\": 1, \"sha256\": \"" + std::string(64, '0') + "\"}";
  }
  const std::string payload = "{\"release\": \"1.2.0.0\", \"issued\": \"" + issued + "\", \"expires\": \"" + expires +
                              "\", \"files\": {" + files + "}}";
  // A DER signature of r = s = 1; CNG's answer is the fake's.
  return "{\"payloadType\": \"" + type + "\", \"payload\": \"" + test::base64(payload) +
         "\", \"signatures\": [{\"keyid\": \"ab\", \"sig\": \"MAYCAQECAQE=\"}]}";
}

class ManifestCheck : public ::testing::Test {
 protected:
  ManifestCheck() {
    auto& t = sys();
    t.BCryptOpenAlgorithmProvider = [](auto...) { return NTSTATUS(0); };
    t.BCryptImportKeyPair = [](auto...) { return NTSTATUS(0); };
    t.BCryptVerifySignature = [this](auto...) { return verifies ? NTSTATUS(0) : NTSTATUS(0xC000A000L); };
    t.BCryptDestroyKey = [](auto...) { return NTSTATUS(0); };
    t.BCryptCloseAlgorithmProvider = [](auto...) { return NTSTATUS(0); };
  }
  std::string refusal(const std::string& text, std::int64_t now) {
    release_manifest manifest;
    std::string reason;
    EXPECT_FALSE(check_release_manifest(text, std::span(&only_key, 1), names, now, manifest, reason));
    return reason;
  }
  test::fake_system fakes;
  bool verifies = true;
};

TEST_F(ManifestCheck, BelievedOnlyWhenSignedCurrentAndOfTheRightType) {
  const std::int64_t now = *parse_utc_time("2026-12-10T07:00:00Z");
  release_manifest manifest;
  std::string reason;
  ASSERT_TRUE(check_release_manifest(envelope("2026-12-09T22:00:00Z", "2027-01-08T22:00:00Z"), std::span(&only_key, 1),
                                     names, now, manifest, reason))
      << reason;
  EXPECT_EQ(manifest.release, (release_version{1, 2, 0, 0}));

  EXPECT_EQ(refusal(envelope("2026-11-09T22:00:00Z", "2026-12-09T22:00:00Z"), now),
            "it expired at 2026-12-09T22:00:00Z (this machine's clock says 2026-12-10T07:00:00Z)");
  EXPECT_EQ(refusal(envelope("2026-12-11T07:00:01Z", "2027-01-08T22:00:00Z"), now),
            "it was issued at 2026-12-11T07:00:01Z, more than a day ahead of this machine's clock "
            "(2026-12-10T07:00:00Z)");
  EXPECT_EQ(refusal(envelope("2026-12-09T22:00:00Z", "2027-01-08T22:00:00Z", "application/json"), now),
            "its payload type is 'application/json', expected 'application/vnd.vora.release+json'");
  EXPECT_EQ(refusal("[]", now), "it is not a signed envelope (not an object)");
  EXPECT_EQ(refusal(std::string(max_manifest_size + 1, ' '), now), "it is 65537 bytes, more than 65536");
  verifies = false;
  EXPECT_EQ(refusal(envelope("2026-12-09T22:00:00Z", "2027-01-08T22:00:00Z"), now),
            "the signature of key ab does not verify (status 0xC000A000)");
}

TEST(UtcTime, TheSystemClockAndItsTextAgreeWithTheManifestsForm) {
  for (const char* text : {"1970-01-01T00:00:00Z", "2000-02-29T23:59:59Z", "2026-12-31T12:00:00Z"})
    EXPECT_EQ(utc_text(*parse_utc_time(text)), text);
  // The platform's clock, in this run: after this code was written.
  EXPECT_GT(utc_now(), *parse_utc_time("2026-12-01T00:00:00Z"));
}

}  // namespace
}  // namespace vora
