#include "download/verify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "download/placement.h"
#include "download/sha256.h"
#include "fake_cdn.h"
#include "links.h"
#include "pe_builder.h"
#include "test_support.h"

namespace vora {
namespace {

namespace fs = std::filesystem;

constexpr DWORD trust_e_nosignature = 0x800B0100;

std::string sha256_hex(const std::string& bytes) {
  sha256 hasher(sha256::implementation::portable);
  hasher.update(bytes.data(), bytes.size());
  return to_hex(hasher.finish());
}

class VerifyImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::make_temp_dir("verify");
    image = dir / "VoraService.exe.download";
    std::ofstream(image, std::ios::binary) << contents;
  }
  // The canonical path the platform reports for the image, as it appears in
  // the extraction warnings.
  std::string canonical() {
    held_image probe;
    probe.handle.reset(sys().CreateFileW(image.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    EXPECT_TRUE(update_canonical_path(probe));
    return fs::path(probe.path).string();
  }
  bool verify(held_image& held, bool signature = true, std::optional<std::string> hash = std::nullopt) {
    return verify_image(image.wstring(), held, hash, signature ? signature_check::required : signature_check::skipped);
  }
  std::string name() const { return image.string(); }

  test::fake_system system;
  test::fake_cdn cdn;
  test::captured_log log;
  fs::path dir;
  fs::path image;
  std::string contents = test::signed_image("a signed program image");
};

TEST_F(VerifyImage, SignedByThePinnedSignerPassesAndStaysHeld) {
  std::vector<std::tuple<DWORD, DWORD, DWORD, DWORD>> opens;
  sys().CreateFileW = [&, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                    LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                    HANDLE templ) {
    opens.emplace_back(access, share, disposition, flags);
    EXPECT_EQ(attributes, nullptr);
    EXPECT_EQ(templ, nullptr);
    return real(path, access, share, attributes, disposition, flags, templ);
  };
  held_image held;
  ASSERT_TRUE(verify(held));
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0], std::make_tuple(DWORD{0x80010000}, DWORD{1}, DWORD{3}, DWORD{0x02000000}));
  EXPECT_NE(held.handle.get(), nullptr);
  EXPECT_NE(held.handle.get(), INVALID_HANDLE_VALUE);
  std::error_code ec;
  EXPECT_TRUE(is_same_file(held.path, image.wstring(), ec));

  // Authenticode is asked about the canonical path, then its state released.
  ASSERT_EQ(cdn.trust_calls.size(), 2u);
  EXPECT_EQ(cdn.trust_calls[0].path, held.path);
  // The verdict concerns the bytes behind the held handle, not a new open.
  EXPECT_EQ(cdn.trust_calls[0].file, held.handle.get());
  EXPECT_EQ(cdn.trust_calls[1].file, held.handle.get());
  EXPECT_EQ(cdn.trust_calls[0].state_action, WTD_STATEACTION_VERIFY);
  EXPECT_EQ(cdn.trust_calls[1].state_action, WTD_STATEACTION_CLOSE);
  // The request itself: generic verify action, no UI, revocation of the whole
  // chain from cached data only; both calls alike but for the state action.
  const GUID generic_verify_v2 = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
  for (const auto& call : cdn.trust_calls) {
    EXPECT_EQ(call.window, nullptr);
    EXPECT_EQ(std::memcmp(&call.action, &generic_verify_v2, sizeof(GUID)), 0);
    const platform::wintrust_data& data = call.data;
    EXPECT_EQ(data.cbStruct, 88u);
    EXPECT_EQ(data.pPolicyCallbackData, nullptr);
    EXPECT_EQ(data.pSIPClientData, nullptr);
    EXPECT_EQ(data.dwUIChoice, DWORD{2});           // WTD_UI_NONE
    EXPECT_EQ(data.fdwRevocationChecks, DWORD{1});  // WTD_REVOKE_WHOLECHAIN
    EXPECT_EQ(data.dwUnionChoice, DWORD{1});        // WTD_CHOICE_FILE
    EXPECT_EQ(data.hWVTStateData, nullptr);
    EXPECT_EQ(data.pwszURLReference, nullptr);
    EXPECT_EQ(data.dwProvFlags, DWORD{0x1000});  // WTD_CACHE_ONLY_URL_RETRIEVAL, nothing else
    EXPECT_EQ(data.dwUIContext, 0u);
    EXPECT_EQ(data.pSignatureSettings, nullptr);
    EXPECT_EQ(call.file_info.cbStruct, 32u);
    EXPECT_EQ(call.file_info.pgKnownSubject, nullptr);
  }
  EXPECT_EQ(cdn.trust_calls[0].data.dwStateAction, DWORD{1});  // WTD_STATEACTION_VERIFY
  EXPECT_EQ(cdn.trust_calls[1].data.dwStateAction, DWORD{2});  // WTD_STATEACTION_CLOSE
  EXPECT_EQ(cdn.open_crypt_objects(), 0);
  EXPECT_TRUE(log.contains(spdlog::level::info, "Verified Tindle signed image (" + name() + ")"));
  EXPECT_TRUE(log.contains(spdlog::level::debug, "Verifying image (" + name() + ")"));

  // The file pointer is back at the start after the signer check.
  LARGE_INTEGER zero{}, position{};
  position.QuadPart = -1;
  ASSERT_TRUE(sys().SetFilePointerEx(held.handle.get(), zero, &position, 1));
  EXPECT_EQ(position.QuadPart, 0);
}

TEST_F(VerifyImage, TheNameIsReadFromTheBytesBehindTheHeldHandle) {
  std::ofstream(image, std::ios::binary | std::ios::trunc) << test::version_image(u"VoraBroker.exe", {1, 2, 3, 4});
  int opens = 0;
  sys().CreateFileW = [&, real = sys().CreateFileW](LPCWSTR path, DWORD access, DWORD share,
                                                    LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                                                    HANDLE templ) {
    ++opens;
    return real(path, access, share, attributes, disposition, flags, templ);
  };
  held_image held;
  image_identity identity{L"voraBROKER.EXE", {}};
  ASSERT_TRUE(verify_image(image.wstring(), held, std::nullopt, signature_check::required, &identity))
      << ::testing::PrintToString(log.texts());
  EXPECT_EQ(identity.found.original_filename, u"VoraBroker.exe");
  EXPECT_EQ(identity.found.product_version, (release_version{1, 2, 3, 4}));
  EXPECT_EQ(opens, 1) << "nothing opens the file again by its path";

  // What the handle hands out is what counts, whatever the path now holds.
  held.dispose();
  std::vector<char> seen;
  sys().MapViewOfFile = [&, real = sys().MapViewOfFile](HANDLE mapping, DWORD access, DWORD high, DWORD low,
                                                        SIZE_T size) -> LPVOID {
    const LPVOID view = real(mapping, access, high, low, size);
    if (!view) return view;
    seen.assign(static_cast<const char*>(view), static_cast<const char*>(view) + size);
    sys().UnmapViewOfFile(view);
    std::string_view bytes(seen.data(), seen.size());
    for (std::size_t at = bytes.find(std::string("B\0r\0o\0", 6)); at != std::string::npos;
         at = bytes.find(std::string("B\0r\0o\0", 6), at + 1))
      seen[at + 2] = 'x';
    return seen.data();
  };
  sys().UnmapViewOfFile = [&, real = sys().UnmapViewOfFile](LPCVOID view) {
    return view == seen.data() ? TRUE : real(view);
  };
  held_image again;
  identity.fetched_as = L"VoraBroker.exe";
  EXPECT_FALSE(verify_image(image.wstring(), again, std::nullopt, signature_check::required, &identity));
  // The file on disk is unchanged: only the mapped bytes differ from those signed.
  const auto texts = log.texts();
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) {
    return t.rfind("Image digest of '" + name() + "' does not match its signed content", 0) == 0;
  })) << ::testing::PrintToString(texts);
}

TEST_F(VerifyImage, HeldFileCannotBeWrittenRenamedOrDeleted) {
#ifndef _WIN32
  GTEST_SKIP() << "share modes exist only on Windows; the host's file calls cannot enforce them";
#else
  held_image held;
  ASSERT_TRUE(verify(held));
  const HANDLE writer = CreateFileW(image.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFileW(image.wstring().c_str()));
  EXPECT_FALSE(MoveFileExW(image.wstring().c_str(), (dir / "moved.exe").wstring().c_str(), 0));
  held.dispose();
  EXPECT_TRUE(DeleteFileW(image.wstring().c_str()));
#endif
}

TEST_F(VerifyImage, OpenFailureWarnsTwiceAndClosesTheEarlierHandle) {
  std::vector<HANDLE> closed;
  sys().CloseHandle = [&](HANDLE h) {
    closed.push_back(h);
    return TRUE;
  };
  held_image held;
  held.handle.reset(reinterpret_cast<HANDLE>(0x4242));
  const std::wstring missing = (dir / "missing.exe").wstring();
  EXPECT_FALSE(verify_image(missing, held, std::nullopt, signature_check::required));
  EXPECT_EQ(closed, std::vector<HANDLE>{reinterpret_cast<HANDLE>(0x4242)});
  EXPECT_EQ(held.handle.get(), INVALID_HANDLE_VALUE);
  const std::string shown = fs::path(missing).string();
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Verifying image (" + shown + ")",
                                                   "CreateFileW failed for '" + shown + "' (Error: 2)",
                                                   "Failed to open image exclusively (" + shown + ")"}));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "Failed to open image exclusively (" + shown + ")"));
  EXPECT_TRUE(cdn.trust_calls.empty());
  held.handle.reset(nullptr);
}

TEST_F(VerifyImage, CanonicalPathFailureKeepsTheHandleForTheCaller) {
  sys().GetFinalPathNameByHandleW = [](HANDLE, LPWSTR, DWORD, DWORD) -> DWORD {
    sys().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  };
  held_image held;
  EXPECT_FALSE(verify(held));
  EXPECT_NE(held.handle.get(), nullptr);
  EXPECT_NE(held.handle.get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"Verifying image (" + name() + ")",
                                                   "GetFinalPathNameByHandleW failed (Error: 87)",
                                                   "Failed to open image exclusively (" + name() + ")"}));
  EXPECT_TRUE(cdn.trust_calls.empty());
}

TEST_F(VerifyImage, UntrustedSignatureStopsBeforeTheSignerIsRead) {
  cdn.trust_result = trust_e_nosignature;
  held_image held;
  EXPECT_FALSE(verify(held));
  EXPECT_TRUE(log.contains(spdlog::level::err, "Authenticode signature verification failed (" + name() + ")"));
  ASSERT_EQ(cdn.trust_calls.size(), 2u);
  EXPECT_EQ(cdn.trust_calls[1].state_action, WTD_STATEACTION_CLOSE);
  EXPECT_EQ(std::count(cdn.calls.begin(), cdn.calls.end(), "CryptQueryObject"), 0);
  EXPECT_NE(held.handle.get(), nullptr);
}

TEST_F(VerifyImage, ForeignSignerIsNamedByItsUpperCaseThumbprint) {
  cdn.signer_thumbprint = L"a1b2c3d4e5f60718293a4b5c6d7e8f9001122334";
  held_image held;
  EXPECT_FALSE(verify(held));
  EXPECT_TRUE(log.contains(spdlog::level::err, "Pinned certificate mismatch (" + name() +
                                                   ", Thumbprint: A1B2C3D4E5F60718293A4B5C6D7E8F9001122334)"));
  EXPECT_FALSE(log.contains(spdlog::level::info, "Verified Tindle signed image (" + name() + ")"));
  EXPECT_EQ(cdn.open_crypt_objects(), 0);
}

TEST(ThumbprintMatches, IgnoresLetterCaseButNotContent) {
  const std::wstring pinned = L"A1B2C3D4E5F60718293A4B5C6D7E8F9001122334";
  EXPECT_TRUE(thumbprint_matches(L"a1b2c3d4e5f60718293a4b5c6d7e8f9001122334", pinned));
  EXPECT_TRUE(thumbprint_matches(pinned, L"a1B2c3D4e5F60718293a4B5c6D7e8F9001122334"));
  EXPECT_FALSE(thumbprint_matches(L"A1B2C3D4E5F60718293A4B5C6D7E8F9001122335", pinned));
  EXPECT_FALSE(thumbprint_matches(L"A1B2C3D4E5F60718293A4B5C6D7E8F900112233", pinned));
  EXPECT_FALSE(thumbprint_matches(L"", pinned));
}

TEST(ThumbprintMatches, AcceptsAnyEntryOfAPinSetAndNothingElse) {
  const std::wstring old_signer = L"A1B2C3D4E5F60718293A4B5C6D7E8F9001122334";
  const std::wstring renewed = L"00112233445566778899AABBCCDDEEFF00112233";
  const std::wstring pins = old_signer + L";" + renewed;
  EXPECT_TRUE(thumbprint_matches(L"a1b2c3d4e5f60718293a4b5c6d7e8f9001122334", pins));
  EXPECT_TRUE(thumbprint_matches(L"00112233445566778899aabbccddeeff00112233", pins));
  EXPECT_FALSE(thumbprint_matches(L"00112233445566778899AABBCCDDEEFF00112234", pins));
  EXPECT_FALSE(thumbprint_matches(pins, pins));
  EXPECT_FALSE(thumbprint_matches(L"", old_signer + L";;" + renewed + L";"));
}

// Each step of the signer extraction: its warning (canonical path), then the
// summary error, and every crypt object released.
TEST_F(VerifyImage, EachFailingExtractionStepIsReportedAndCleanedUp) {
  const std::string canon = canonical();
  struct step {
    const char* call;
    DWORD error;
    std::string warning;
  };
  const step steps[] = {
      {"CryptQueryObject", 0x80092009, "CryptQueryObject failed for '" + canon + "' (Error: 2148081673)"},
      {"CryptMsgGetParam", 87, "CryptMsgGetParam (size query) failed for '" + canon + "' (Error: 87)"},
      {"CryptMsgGetParam(data)", 234, "CryptMsgGetParam failed for '" + canon + "' (Error: 234)"},
      {"CertFindCertificateInStore", 0x80092004,
       "CertFindCertificateInStore found no matching signer for '" + canon + "' (Error: 2148081668)"},
      {"CertGetCertificateContextProperty", 0x80092004,
       "CertGetCertificateContextProperty (SHA1 hash) failed for '" + canon + "' (Error: 2148081668)"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.call);
    platform::scoped_system_calls restore;
    test::fake_cdn failing;
    failing.fail_call(s.call, s.error);
    log.clear();
    held_image held;
    EXPECT_FALSE(verify(held));
    EXPECT_TRUE(log.contains(spdlog::level::warn, s.warning)) << testing::PrintToString(log.texts());
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to extract signer certificate thumbprint (" + name() + ")"));
    EXPECT_EQ(failing.open_crypt_objects(), 0);
  }
}

TEST_F(VerifyImage, FileReadingStepsOfTheExtractionAreReported) {
  const std::string canon = canonical();
  const std::string summary = "Failed to extract signer certificate thumbprint (" + name() + ")";
  const auto size = static_cast<LONGLONG>(contents.size());
  auto run = [&](auto install) {
    platform::scoped_system_calls restore;
    install();
    log.clear();
    held_image held;
    EXPECT_FALSE(verify(held));
    EXPECT_TRUE(log.contains(spdlog::level::err, summary));
    EXPECT_EQ(std::count(cdn.calls.begin(), cdn.calls.end(), "CryptQueryObject"), 0);
    return log.texts();
  };
  auto has = [](const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  };

  // An empty file has no signature to read.
  auto texts = run([&] {
    sys().GetFileSizeEx = [](HANDLE, PLARGE_INTEGER out) {
      out->QuadPart = 0;
      sys().SetLastError(0);
      return TRUE;
    };
  });
  EXPECT_TRUE(has(texts, "GetFileSizeEx failed for '" + canon + "' (Error: 0)"));

  texts = run([&] {
    sys().GetFileSizeEx = [](HANDLE, PLARGE_INTEGER) {
      sys().SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    };
  });
  EXPECT_TRUE(has(texts, "GetFileSizeEx failed for '" + canon + "' (Error: 6)"));

  texts = run([&] {
    sys().GetFileSizeEx = [](HANDLE, PLARGE_INTEGER out) {
      out->QuadPart = 536870913;
      return TRUE;
    };
  });
  EXPECT_TRUE(has(texts, "File '" + canon + "' exceeds sanity size limit (536870913 bytes)"));

  // Exactly the limit is accepted: the extraction goes on to the rewind.
  // Exactly the limit is accepted: the extraction goes on to the mapping.
  texts = run([&] {
    sys().GetFileSizeEx = [](HANDLE, PLARGE_INTEGER out) {
      out->QuadPart = 536870912;
      return TRUE;
    };
    sys().CreateFileMappingW = [](HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR) -> HANDLE {
      sys().SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    };
  });
  EXPECT_TRUE(has(texts, "CreateFileMappingW failed for '" + canon + "' (Error: 6)"));

  // A size past the file's end cannot be mapped.
  texts = run([&] {
    sys().GetFileSizeEx = [size](HANDLE, PLARGE_INTEGER out) {
      out->QuadPart = size + 10;
      return TRUE;
    };
  });
  EXPECT_TRUE(has(texts, "MapViewOfFile failed for '" + canon + "' (Error: 5)"));
}

TEST_F(VerifyImage, ExtractionCopiesNoImageAndHandsOnlyTheSignatureToTheParser) {
  contents = test::signed_image(std::string(2 * 1048576, 'x'));
  std::ofstream(image, std::ios::binary | std::ios::trunc) << contents;
  int reads = 0;
  sys().ReadFile = [&, real = sys().ReadFile](HANDLE h, LPVOID buffer, DWORD to_read, LPDWORD read,
                                              LPOVERLAPPED overlapped) {
    ++reads;
    return real(h, buffer, to_read, read, overlapped);
  };
  std::vector<DWORD> parsed;
  sys().CryptQueryObject = [&, real = sys().CryptQueryObject](
                               DWORD type, const void* object, DWORD content, DWORD format, DWORD flags,
                               DWORD* encoding, DWORD* content_type, DWORD* format_type, HCERTSTORE* store,
                               HCRYPTMSG* message, const void** context) {
    parsed.push_back(static_cast<const CRYPT_DATA_BLOB*>(object)->cbData);
    return real(type, object, content, format, flags, encoding, content_type, format_type, store, message, context);
  };
  held_image held;
  ASSERT_TRUE(verify(held)) << testing::PrintToString(log.texts());
  EXPECT_EQ(reads, 0) << "the image is mapped, not read into memory";
  EXPECT_EQ(parsed, std::vector<DWORD>{32}) << "the certificate table's signature alone";
}

TEST_F(VerifyImage, ASignatureThatDoesNotSignThisImageIsRefused) {
  struct row {
    std::function<void(test::fake_cdn&)> fault;
    std::string error;
  };
  const std::string content_digest_prefix = "Signed content of '" + name() + "' does not match its signature";
  const std::vector<row> rows = {
      {[](test::fake_cdn& c) { c.signature.digest_algorithm = "1.3.14.3.2.26"; },
       "Signature of '" + name() + "' uses digest algorithm '1.3.14.3.2.26', which this setup does not check"},
      {[](test::fake_cdn& c) { c.signature.message_digests = 0; },
       "Signature of '" + name() + "' carries 0 message digests, expected one"},
      {[](test::fake_cdn& c) { c.signature.message_digests = 2; },
       "Signature of '" + name() + "' carries 2 message digests, expected one"},
      {[](test::fake_cdn& c) { c.signature.content_differs = true; }, content_digest_prefix},
      {[](test::fake_cdn& c) { c.signature.content_algorithm = "sha1"; },
       "Signed content of '" + name() +
           "' names an image digest of algorithm '1.3.14.3.2.26', which this setup does not check"},
      {[](test::fake_cdn& c) { c.signature.image_digest_differs = true; },
       "Image digest of '" + name() + "' does not match its signed content"},
      {[](test::fake_cdn& c) { c.fail_call("CryptMsgGetParam(content)", 87); },
       "CryptMsgGetParam (signed content) failed for '" + name() + "' (Error: 87)"},
  };
  for (const row& r : rows) {
    platform::scoped_system_calls restore;
    test::fake_cdn forged;
    r.fault(forged);
    log.clear();
    held_image held;
    EXPECT_FALSE(verify(held)) << r.error;
    EXPECT_TRUE(std::any_of(
        log.records().begin(), log.records().end(),
        [&](const auto& record) { return record.level == spdlog::level::err && record.text.rfind(r.error, 0) == 0; }))
        << r.error << "\n"
        << testing::PrintToString(log.texts());
    EXPECT_FALSE(log.contains(spdlog::level::info, "Verified Tindle signed image (" + name() + ")"));
    EXPECT_EQ(forged.open_crypt_objects(), 0);
  }

  // The line names both digests; a forged content digest is found before
  // the image's own is even computed.
  {
    platform::scoped_system_calls restore;
    test::fake_cdn forged;
    forged.signature.content_differs = true;
    log.clear();
    held_image held;
    ASSERT_FALSE(verify(held));
    const auto texts = log.texts();
    const auto line = std::find_if(texts.begin(), texts.end(),
                                   [&](const std::string& t) { return t.rfind(content_digest_prefix, 0) == 0; });
    ASSERT_NE(line, texts.end());
    EXPECT_TRUE(std::regex_match(*line, std::regex(".*\\(message digest [0-9a-f]{64}, content digest [0-9a-f]{64}\\)")))
        << *line;
  }

  // Bytes changed after signing no longer match the image digest signed.
  contents.back() ^= 1;
  std::ofstream(image, std::ios::binary | std::ios::trunc) << contents;
  log.clear();
  {
    held_image held;
    EXPECT_FALSE(verify(held));
  }
  const auto tampered = log.texts();
  EXPECT_TRUE(std::any_of(tampered.begin(), tampered.end(), [&](const std::string& t) {
    return t.rfind("Image digest of '" + name() + "' does not match its signed content", 0) == 0;
  })) << testing::PrintToString(tampered);

  // Bytes that are no image with a certificate table carry no signature to
  // read, whatever the platform said.
  std::ofstream(image, std::ios::binary | std::ios::trunc) << "MZ\x90 no headers at all";
  log.clear();
  held_image held;
  EXPECT_FALSE(verify(held));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "No embedded signature in '" + canonical() + "' (no DOS header)"))
      << testing::PrintToString(log.texts());
  EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to extract signer certificate thumbprint (" + name() + ")"));
}

TEST_F(VerifyImage, ExpectedHashMustMatchExactly) {
  const std::string digest = sha256_hex(contents);
  {
    held_image held;
    EXPECT_TRUE(verify(held, false, digest));
  }
  std::string upper = digest;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& wrong : {upper, digest.substr(0, 63), std::string(64, '0')}) {
    log.clear();
    held_image held;
    EXPECT_FALSE(verify(held, false, wrong));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Pinned hash and generated hash don't match (" + name() + ")"));
  }
  EXPECT_TRUE(cdn.trust_calls.empty());
}

TEST_F(VerifyImage, HashIsTakenAfterTheSignerCheckFromTheStart) {
  held_image held;
  EXPECT_TRUE(verify(held, true, sha256_hex(contents)));
  EXPECT_EQ(cdn.trust_calls.size(), 2u);
}

TEST_F(VerifyImage, HashingFailureIsReported) {
  sys().ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    sys().SetLastError(23);
    return FALSE;
  };
  {
    held_image held;
    EXPECT_FALSE(verify(held, false, sha256_hex(contents)));
    EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to hash file while verifying (" + name() + ")"));
  }
  log.clear();
  sys().SetFilePointerEx = [](HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) { return FALSE; };
  held_image held;
  EXPECT_FALSE(verify(held, false, sha256_hex(contents)));
  EXPECT_TRUE(log.contains(spdlog::level::err, "Failed to hash file while verifying (" + name() + ")"));
}

TEST_F(VerifyImage, WithNoChecksOnlyOpensAndResolves) {
  held_image held;
  EXPECT_TRUE(verify(held, false));
  EXPECT_TRUE(cdn.trust_calls.empty());
  EXPECT_TRUE(cdn.calls.empty());
  EXPECT_NE(held.handle.get(), nullptr);
  EXPECT_TRUE(log.contains(spdlog::level::info, "Verified Tindle signed image (" + name() + ")"));
}

TEST_F(VerifyImage, ALinkIsFollowedAndTheTargetIsWhatGetsChecked) {
  const fs::path link = dir / "link.exe";
  std::string why;
  if (!test::make_file_symlink(image, link, why)) GTEST_SKIP() << "cannot create a symbolic link here: " << why;
  if (!std::ifstream(link, std::ios::binary)) GTEST_SKIP() << "a link made here cannot be opened through (Wine)";
  held_image held;
  ASSERT_TRUE(verify_image(link.wstring(), held, std::nullopt, signature_check::required))
      << testing::PrintToString(log.texts());
  std::error_code ec;
  EXPECT_TRUE(is_same_file(held.path, image.wstring(), ec));
  EXPECT_EQ(fs::path(held.path).filename(), image.filename());
  ASSERT_FALSE(cdn.trust_calls.empty());
  EXPECT_EQ(cdn.trust_calls[0].path, held.path);
  // The verdict concerns the bytes behind the held handle, not a new open.
  EXPECT_EQ(cdn.trust_calls[0].file, held.handle.get());
  EXPECT_EQ(cdn.trust_calls[1].file, held.handle.get());
}

TEST(Sha256File, HashesFromTheCurrentPositionToTheEnd) {
  test::fake_system system;
  const fs::path dir = test::make_temp_dir("sha256-file");
  std::ofstream(dir / "empty", std::ios::binary);
  const std::string text(200000, 'q');
  std::ofstream(dir / "text", std::ios::binary) << text;

  held_image empty;
  empty.handle.reset(sys().CreateFileW((dir / "empty").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
  std::string out;
  ASSERT_TRUE(sha256_file(empty.handle.get(), out));
  EXPECT_EQ(out, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  held_image file;
  file.handle.reset(sys().CreateFileW((dir / "text").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER offset{};
  offset.QuadPart = 7;
  ASSERT_TRUE(sys().SetFilePointerEx(file.handle.get(), offset, nullptr, FILE_BEGIN));
  ASSERT_TRUE(sha256_file(file.handle.get(), out));
  EXPECT_EQ(out, sha256_hex(text.substr(7)));
}

TEST(Sha256File, ReadFailureLeavesTheOutputUnchanged) {
  test::fake_system system;
  int reads = 0;
  sys().ReadFile = [&](HANDLE, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED) {
    EXPECT_EQ(to_read, 65536u);
    if (++reads == 1) {
      std::memset(buffer, 'z', 10);
      *read = 10;
      return TRUE;
    }
    return FALSE;
  };
  std::string out = "unchanged";
  EXPECT_FALSE(sha256_file(reinterpret_cast<HANDLE>(0x99), out));
  EXPECT_EQ(out, "unchanged");
}

}  // namespace
}  // namespace vora
