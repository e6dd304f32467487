// The manifest readers see the bytes before any signature is checked: only
// the shapes the publishing script writes get through, each refusal says why.
#include "download/release_manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vora {
namespace {

const std::vector<std::string> file_names{"VoraService.exe", "VoraSetup.exe", "VoraBroker.exe"};
const std::string some_hash(64, 'a');

std::string file_entry(const std::string& name, const std::string& path = "", const std::string& size = "1234",
                       const std::string& sha = some_hash) {
  return "\"" + name + "\": {\"path\": \"" + (path.empty() ? "releases/1.2.0.0/" + name : path) +
         "\", \"size\": " + size + ", \"sha256\": \"" + sha + "\"}";
}

std::string payload(
    const std::string& service_entry = file_entry("VoraService.exe"),
    const std::string& times = "\"issued\": \"2026-12-09T22:00:00Z\", \"expires\": \"2027-01-08T22:00:00Z\"") {
  return "{\"release\": \"1.2.0.0\", " + times + ", \"files\": {" + service_entry + ", " + file_entry("VoraSetup.exe") +
         ", " + file_entry("VoraBroker.exe") + "}}";
}

std::string refusal(const std::string& text) {
  release_manifest manifest;
  std::string reason;
  EXPECT_FALSE(read_release_payload(text, file_names, 1u << 30, manifest, reason)) << text;
  return reason;
}

TEST(ReleaseManifest, ReadsTheEnvelopeAndThePayloadThePublisherWrites) {
  dsse_envelope envelope;
  std::string reason;
  ASSERT_TRUE(read_envelope(R"({"payloadType": "application/vnd.vora.release+json", "payload": "YWI=",
                               "signatures": [{"keyid": "00ff", "sig": "YQ=="}]})",
                            envelope, reason))
      << reason;
  EXPECT_EQ(envelope.payload_type, manifest_payload_type);
  EXPECT_EQ(envelope.payload, "ab");
  ASSERT_EQ(envelope.signatures.size(), 1u);
  EXPECT_EQ(envelope.signatures[0].keyid, "00ff");
  EXPECT_EQ(envelope.signatures[0].sig, std::vector<std::uint8_t>{'a'});
  EXPECT_EQ(pre_authentication_encoding("t/x", "ab"), "DSSEv1 3 t/x 2 ab");

  release_manifest manifest;
  ASSERT_TRUE(read_release_payload(payload(), file_names, 1u << 30, manifest, reason)) << reason;
  EXPECT_EQ(manifest.release, (release_version{1, 2, 0, 0}));
  EXPECT_EQ(manifest.issued, 1796853600);
  EXPECT_EQ(manifest.expires - manifest.issued, 30 * 86400);
  EXPECT_EQ(manifest.files.at("VoraBroker.exe").path, "releases/1.2.0.0/VoraBroker.exe");
  EXPECT_EQ(manifest.files.at("VoraSetup.exe").size, 1234u);
  EXPECT_EQ(manifest.files.at("VoraService.exe").sha256[31], 0xaa);
}

TEST(ReleaseManifest, RefusesEveryOtherShapeAndSaysWhy) {
  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"{\"payloadType\": \"t\", \"payload\": \"YWI=\"", "not JSON"},
           {R"({"payloadType": "t", "payloadType": "u", "payload": "YWI=", "signatures": [{"keyid": "", "sig": ""}]})",
            "a key appears twice"},
           {R"({"payloadType": "t", "payload": "YWI=", "signatures": [], "extra": 1})", "unexpected field 'extra'"},
           {R"({"payloadType": "t", "payload": "YWJ=", "signatures": [{"keyid": "", "sig": ""}]})",
            "'payload' is not base64"},
           {R"({"payloadType": "t", "payload": "YWI", "signatures": [{"keyid": "", "sig": ""}]})",
            "'payload' is not base64"},
           {R"({"payloadType": "t", "payload": "YWI=", "signatures": []})", "'signatures' is missing or empty"},
           {R"({"payloadType": 1, "payload": "YWI=", "signatures": [{"keyid": "", "sig": ""}]})",
            "'payloadType' is missing or not a string"},
       }) {
    dsse_envelope envelope;
    std::string reason;
    EXPECT_FALSE(read_envelope(text, envelope, reason)) << text;
    EXPECT_EQ(reason, why) << text;
  }

  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe", "releases/../../VoraService.exe"))),
            "the path of 'VoraService.exe' leaves the storage URL or holds other characters");
  for (const std::string& path :
       std::vector<std::string>{"/VoraService.exe", "a//b", "a\\b", "https:/x", "./a", std::string(201, 'a')})
    EXPECT_FALSE(is_safe_manifest_path(path)) << path;
  EXPECT_TRUE(is_safe_manifest_path("releases/1.2.0.0/Vora_Service-1.exe"));
  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe", "", "1073741825"))),
            "the size of 'VoraService.exe' is missing or beyond 1073741824 bytes");
  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe", "", "-1"))),
            "the size of 'VoraService.exe' is missing or beyond 1073741824 bytes");
  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe", "", "1", std::string(64, 'A')))),
            "the sha256 of 'VoraService.exe' is not 64 lower-case hex digits");
  EXPECT_EQ(refusal(payload(file_entry("VoraUpdater.exe"))), "'files' does not name 'VoraService.exe'");
  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe") + ", " + file_entry("VoraUpdater.exe"))),
            "'files' does not name exactly the program files");
  EXPECT_EQ(refusal(payload(file_entry("VoraService.exe"),
                            "\"issued\": \"2027-02-29T00:00:00Z\", \"expires\": \"2027-03-01T00:00:00Z\"")),
            "'issued' or 'expires' is not a UTC time");
  EXPECT_EQ(parse_utc_time("2000-02-29T23:59:59Z"), 951868799);
  for (const char* time : {"2026-12-09T22:00:00", "2026-12-09 22:00:00Z", "2026-13-01T00:00:00Z",
                           "2026-12-09T24:00:00Z", "1969-12-31T23:59:59Z"})
    EXPECT_FALSE(parse_utc_time(time)) << time;
}

}  // namespace
}  // namespace vora
