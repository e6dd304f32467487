// A storage CDN and a code-signing trust provider in the platform table, so
// that download_program_file succeeds without a network or a real signature.
//
// Construct it inside a test that restores the table (platform::
// scoped_system_calls or fake_system); it installs fakes of every WinHTTP
// call and of WinVerifyTrust and the crypt32 calls the verification makes.
// File calls stay real, so downloads land in the real install directory.
// The fake's state outlives the object as long as the installed calls do.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"

namespace vora::test {

class fake_cdn {
 public:
  struct trust_call {
    std::wstring path;  // file path handed to WinVerifyTrust
    DWORD state_action;
    HANDLE file;  // file handle handed to WinVerifyTrust
    // The whole request as it was at the call (data.pFile points at a
    // record that is gone by now; file_info is its copy).
    HWND window;
    GUID action;
    platform::wintrust_data data;
    WINTRUST_FILE_INFO file_info;
  };
  struct connection_record {
    std::wstring host;
    INTERNET_PORT port;
    std::wstring object;  // path of the request
    DWORD flags;          // of WinHttpOpenRequest
  };

  // What one request for a file meets, by its number among that file's
  // requests; requests past the end of a file's script are served truly.
  struct fault {
    DWORD send_error = 0;                   // WinHttpSendRequest fails with it
    DWORD status = 0;                       // answered with this status and no body
    std::wstring retry_after;               // sent with that status
    std::uint64_t body_bytes = UINT64_MAX;  // the body ends after this many bytes of the answer
    DWORD read_error = 0;                   // ...with this read error instead of a clean end
    std::uint64_t stall_ms = 0;             // handed to `stall` when the read error comes
    bool ignore_range = false;              // a range request gets the whole file
    std::wstring content_range;             // sent on a 206 instead of the true one
  };

  // What the fake signer signs: by default the served image's own
  // Authenticode digest (an image the program can hash: see
  // test::signed_image), with SHA-256 throughout.
  struct signature_model {
    std::string digest_algorithm = "2.16.840.1.101.3.4.2.1";  // the signer's
    std::string content_algorithm = "sha256";                 // of the image digest: "sha256" or "sha1"
    int message_digests = 1;                                  // values of the messageDigest attribute
    bool content_differs = false;                             // messageDigest is not the digest of the signed content
    bool image_digest_differs = false;                        // the signed content names another image digest
  };

  fake_cdn();
  fake_cdn(const fake_cdn&) = delete;
  fake_cdn& operator=(const fake_cdn&) = delete;

  // Answers a GET of the base URL plus file_name. Unknown names get 404.
  void serve(const std::wstring& file_name, std::string body, DWORD status = 200);
  // The body served for the name, if any.
  std::optional<std::string> body_of(const std::wstring& file_name) const;
  // A body of `size` bytes made on the fly (never held in memory).
  void serve_generated(const std::wstring& file_name, std::uint64_t size, DWORD status = 200);
  // WinHttpSendRequest for this file fails with `error` as last error.
  void fail_send(const std::wstring& file_name, DWORD error);
  // The named faked call ("WinHttpConnect", "CryptQueryObject", ...) fails
  // with `error` as last error, for every file.
  void fail_call(const std::string& call, DWORD error);
  void script(const std::wstring& file_name, std::vector<fault> faults);
  // The validators of a file's answers: ETag (default a strong one) and
  // Last-Modified (default none). An empty text sends no such header.
  void validators(const std::wstring& file_name, std::wstring etag, std::wstring last_modified = L"");
  // No Content-Length with this file's answers.
  void omit_length(const std::wstring& file_name);
  // Largest count one WinHttpReadData hands out (0: as much as asked).
  void limit_read_size(DWORD bytes);

  // Expected body bytes of a generated file at an offset.
  static char generated_byte(std::uint64_t offset);

  // Handles and objects opened through the fakes and not yet closed.
  int open_internet_handles() const;
  int open_crypt_objects() const;  // stores, messages and certificate contexts
  // Kinds of closed WinHTTP handles in closing order: "request", "connection", "session".
  const std::vector<std::string>& closed_internet_handles() const;
  std::uint64_t bytes_served() const;

  struct state;

 private:
  std::shared_ptr<state> state_;

 public:
  // Set before a download; read afterwards.
  std::vector<std::wstring>& requests;  // file names in request order
  std::wstring& signer_thumbprint;      // defaults to the pinned one
  signature_model& signature;
  DWORD& trust_result;                          // WinVerifyTrust's verdict
  std::vector<trust_call>& trust_calls;         // every WinVerifyTrust call
  std::vector<connection_record>& connections;  // every opened request
  std::vector<std::string>& calls;              // names of faked calls, in order
  std::vector<std::wstring>& request_headers;   // as sent, one entry per request
  // Every WinHttpSetTimeouts (resolve, connect, send, receive) and every
  // WinHttpSetOption(RECEIVE_RESPONSE_TIMEOUT) value, in call order.
  std::vector<std::vector<int>>& timeouts;
  std::vector<DWORD>& response_timeouts;
  std::function<void(std::uint64_t ms)>& stall;  // a fault's stall; nothing by default
};

}  // namespace vora::test
