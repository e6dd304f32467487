// A release manifest over what a fake CDN serves, for tests of the install:
// its signature is "verified" by faked CNG calls against a test key the
// setup is told to trust, so the tests reach what comes after it.
#pragma once

#include <string>

#include "fake_cdn.h"

namespace vora::test {

// Standard base64 with padding, as the envelope carries its parts.
std::string base64(const std::string& bytes);

// The envelope over the CDN's VoraService.exe, VoraSetup.exe and
// VoraBroker.exe as served now, each at its bare name, of the release the
// served VoraService.exe names; expiring a day from now.
std::string fake_manifest_for(const fake_cdn& cdn);

// Trusts the test key and fakes CNG's answer as yes (until the fake system
// is restored; the trusted keys stay, harmlessly, for the process).
void trust_fake_manifests();

}  // namespace vora::test
