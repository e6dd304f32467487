#include "fake_cdn.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string_view>

#include "build_config.h"
#include "download/authenticode.h"
#include "download/retry_policy.h"
#include "download/sha256.h"

namespace vora::test {
namespace {

constexpr DWORD error_more_data = 234;
constexpr DWORD error_winhttp_unrecognized_scheme = 12006;
constexpr DWORD error_winhttp_incorrect_handle_state = 12019;
constexpr DWORD crypt_e_not_found = 0x80092004;
constexpr std::uint64_t pattern_period = 251;

struct parsed_url {
  INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTPS;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
};

bool parse_url(const std::wstring& url, parsed_url& out) {
  std::size_t rest;
  if (url.rfind(L"https://", 0) == 0) {
    out.scheme = INTERNET_SCHEME_HTTPS;
    out.port = 443;
    rest = 8;
  } else if (url.rfind(L"http://", 0) == 0) {
    out.scheme = INTERNET_SCHEME_HTTP;
    out.port = 80;
    rest = 7;
  } else {
    return false;
  }
  const std::size_t host_end = url.find_first_of(L":/", rest);
  out.host = url.substr(rest, host_end == std::wstring::npos ? std::wstring::npos : host_end - rest);
  if (out.host.empty()) return false;
  std::size_t path_start = host_end;
  if (host_end != std::wstring::npos && url[host_end] == L':') {
    path_start = url.find(L'/', host_end);
    const std::wstring digits = url.substr(host_end + 1, path_start - host_end - 1);
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), ::iswdigit)) return false;
    const unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535) return false;
    out.port = static_cast<INTERNET_PORT>(port);
  }
  out.path = path_start == std::wstring::npos ? L"/" : url.substr(path_start);
  return true;
}

// Copies a cracked part into the caller's buffer the way WinHttpCrackUrl does.
bool copy_component(const std::wstring& value, LPWSTR buffer, DWORD& length) {
  if (buffer == nullptr) return true;
  if (value.size() >= length) {
    length = static_cast<DWORD>(value.size() + 1);
    return false;
  }
  std::wmemcpy(buffer, value.c_str(), value.size() + 1);
  length = static_cast<DWORD>(value.size());
  return true;
}

bool is_generic_verify_v2(const GUID* action) {
  const GUID expected = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
  return action && std::memcmp(action, &expected, sizeof(GUID)) == 0;
}

const std::string& pattern() {
  static const std::string bytes = [] {
    std::string p(65536 + pattern_period, '\0');
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = fake_cdn::generated_byte(i);
    return p;
  }();
  return bytes;
}

// An SpcIndirectDataContent naming a PE image's digest, DER as a signer
// writes it, and the messageDigest attribute value over its contents.
struct signed_content {
  std::vector<BYTE> indirect_data;
  std::vector<BYTE> message_digest;

  static signed_content make(const std::vector<BYTE>& image_digest, const std::string& algorithm,
                             bool content_differs) {
    auto tlv = [](BYTE tag, const std::vector<BYTE>& contents) {
      std::vector<BYTE> out(contents.size() + 2);
      out[0] = tag;
      out[1] = static_cast<BYTE>(contents.size());
      std::copy(contents.begin(), contents.end(), out.begin() + 2);
      return out;
    };
    auto join = [](std::vector<BYTE> a, const std::vector<BYTE>& b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    const std::vector<BYTE> pe_image_data{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
    const std::vector<BYTE> sha256{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    const std::vector<BYTE> sha1{0x2B, 0x0E, 0x03, 0x02, 0x1A};
    const std::vector<BYTE> algorithm_id =
        tlv(0x30, join(tlv(0x06, algorithm == "sha1" ? sha1 : sha256), {0x05, 0x00}));
    const std::vector<BYTE> contents =
        join(tlv(0x30, tlv(0x06, pe_image_data)), tlv(0x30, join(algorithm_id, tlv(0x04, image_digest))));
    signed_content out;
    out.indirect_data = tlv(0x30, contents);
    std::vector<BYTE> signed_bytes = contents;
    if (content_differs && !signed_bytes.empty()) signed_bytes[signed_bytes.size() - 1] ^= 0xFF;
    vora::sha256 hasher;
    hasher.update(signed_bytes.data(), signed_bytes.size());
    const auto digest = hasher.finish();
    out.message_digest = tlv(0x04, std::vector<BYTE>(digest.begin(), digest.end()));
    return out;
  }
};

const BYTE fake_issuer[] = {0x30, 0x0B, 'V', 'o', 'r', 'a', ' ', 'T', 'e', 's', 't', ' ', 'C', 'A'};
const BYTE fake_serial[] = {0x01, 0x23, 0x45, 0x67};

}  // namespace

struct fake_cdn::state {
  struct served {
    std::string body;
    bool generated = false;
    std::uint64_t size = 0;
    DWORD status = 200;
    std::wstring etag;
    std::wstring last_modified;
    bool send_length = true;
    std::uint64_t size_of() const { return generated ? size : body.size(); }
  };
  struct internet_object {
    std::string kind;
    std::wstring file;
    served response;
    std::uint64_t position = 0;
    std::uint64_t end = 0;  // where this answer's body stops
    bool sent = false;
    bool received = false;
    fake_cdn::fault fault;
    std::wstring headers;
    std::wstring content_range;
  };

  std::map<std::wstring, served> files;
  std::map<std::wstring, DWORD> send_failures;
  std::map<std::wstring, std::vector<fake_cdn::fault>> scripts;
  std::map<std::wstring, std::size_t> request_counts;
  std::vector<std::wstring> request_headers;
  std::vector<std::vector<int>> timeouts;
  std::vector<DWORD> response_timeouts;
  std::function<void(std::uint64_t)> stall = [](std::uint64_t) {};
  int etag_counter = 0;
  std::map<std::string, DWORD> call_failures;
  DWORD read_limit = 0;
  std::wstring base_path;
  std::map<void*, std::unique_ptr<internet_object>> internet;
  std::map<void*, std::unique_ptr<CERT_CONTEXT>> certificates;
  std::vector<std::unique_ptr<int>> tokens;  // addresses used as store and message handles
  std::map<void*, std::string> crypt_objects;
  std::map<void*, std::vector<BYTE>> signed_images;  // the PKCS #7 each message was queried from
  fake_cdn::signature_model signature;
  std::vector<std::string> closed;
  std::uint64_t served_bytes = 0;

  std::vector<std::wstring> requests;
  // The first pin: files the fake serves are signed as the build expects.
  std::wstring signer_thumbprint{std::wstring_view(build::pinned_signer_thumbprint)
                                     .substr(0, std::wstring_view(build::pinned_signer_thumbprint).find(L';'))};
  DWORD trust_result = 0;
  std::vector<trust_call> trust_calls;
  std::vector<connection_record> connections;
  std::vector<std::string> calls;

  // Records the call; true (with the last error set) when it is to fail.
  bool fails(const std::string& call) {
    calls.push_back(call);
    const auto it = call_failures.find(call);
    if (it == call_failures.end()) return false;
    sys().SetLastError(it->second);
    return true;
  }
  template <typename Result>
  Result error(DWORD code, Result result) {
    sys().SetLastError(code);
    return result;
  }
  internet_object* find(void* handle, const char* kind) {
    const auto it = internet.find(handle);
    return it != internet.end() && it->second->kind == kind ? it->second.get() : nullptr;
  }
  void* add(std::unique_ptr<internet_object> object) {
    void* handle = object.get();
    internet.emplace(handle, std::move(object));
    return handle;
  }
  void* add_crypt(const char* kind) {
    tokens.push_back(std::make_unique<int>(0));
    void* handle = tokens.back().get();
    crypt_objects.emplace(handle, kind);
    return handle;
  }
  bool remove_crypt(void* handle, const char* kind) {
    const auto it = crypt_objects.find(handle);
    if (it == crypt_objects.end() || it->second != kind) return false;
    crypt_objects.erase(it);
    return true;
  }
  BOOL copy_out(const std::vector<BYTE>& value, void* data, DWORD* size) {
    const auto needed = static_cast<DWORD>(value.size());
    if (data && *size < needed) {
      *size = needed;
      return error(error_more_data, FALSE);
    }
    if (data) std::memcpy(data, value.data(), value.size());
    *size = needed;
    return TRUE;
  }
  // What the publisher signed for the image a message came from: its
  // Authenticode digest (zeros for bytes that are no PE image) in an
  // SpcIndirectDataContent, and the messageDigest of that content; each as
  // the signature model says.
  signed_content content_of(void* message) const {
    // The stand-in signature test::with_certificate_table writes is the
    // image digest it signs.
    const auto it = signed_images.find(message);
    std::vector<BYTE> image_digest(32, 0);
    if (it != signed_images.end() && it->second.size() == 32) image_digest = it->second;
    if (signature.image_digest_differs) image_digest[0] ^= 0xFF;
    return signed_content::make(image_digest, signature.content_algorithm, signature.content_differs);
  }
  bool thumbprint_bytes(std::vector<BYTE>& out) const {
    if (signer_thumbprint.size() != 40) return false;
    out.clear();
    for (std::size_t i = 0; i < 40; i += 2) {
      const std::wstring pair = signer_thumbprint.substr(i, 2);
      if (!std::all_of(pair.begin(), pair.end(), ::iswxdigit)) return false;
      out.push_back(static_cast<BYTE>(std::stoul(pair, nullptr, 16)));
    }
    return true;
  }
};

char fake_cdn::generated_byte(std::uint64_t offset) { return static_cast<char>((offset % pattern_period) * 7 + 1); }

fake_cdn::fake_cdn()
    : state_(std::make_shared<state>()),
      requests(state_->requests),
      signer_thumbprint(state_->signer_thumbprint),
      signature(state_->signature),
      trust_result(state_->trust_result),
      trust_calls(state_->trust_calls),
      connections(state_->connections),
      calls(state_->calls),
      request_headers(state_->request_headers),
      timeouts(state_->timeouts),
      response_timeouts(state_->response_timeouts),
      stall(state_->stall) {
  // A fake CDN stands for a run of its own.
  restart_run_download_deadline();
  parsed_url base;
  if (parse_url(build::storage_base_url, base)) state_->base_path = base.path;
  auto s = state_;
  auto& t = sys();

  t.WinHttpOpen = [s](LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) -> HINTERNET {
    if (s->fails("WinHttpOpen")) return nullptr;
    if (!agent || std::wstring(agent) != L"Vora/1.0" || access != WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY || proxy ||
        bypass || flags != 0)
      return s->error<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    auto session = std::make_unique<state::internet_object>();
    session->kind = "session";
    return s->add(std::move(session));
  };
  t.WinHttpSetTimeouts = [s](HINTERNET session, int resolve, int connect, int send, int receive) -> BOOL {
    if (s->fails("WinHttpSetTimeouts")) return FALSE;
    if (!s->find(session, "session")) return s->error(ERROR_INVALID_HANDLE, FALSE);
    s->timeouts.push_back({resolve, connect, send, receive});
    return TRUE;
  };
  t.WinHttpSetOption = [s](HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) -> BOOL {
    if (s->fails("WinHttpSetOption")) return FALSE;
    if (!s->find(handle, "session")) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (option != WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT || !buffer || length != sizeof(DWORD))
      return s->error(ERROR_INVALID_PARAMETER, FALSE);
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof(value));
    s->response_timeouts.push_back(value);
    return TRUE;
  };
  t.WinHttpCrackUrl = [s](LPCWSTR url, DWORD length, DWORD flags, LPURL_COMPONENTS parts) -> BOOL {
    if (s->fails("WinHttpCrackUrl")) return FALSE;
    if (!url || length != 0 || flags != 0 || !parts || parts->dwStructSize != sizeof(URL_COMPONENTS))
      return s->error(ERROR_INVALID_PARAMETER, FALSE);
    parsed_url parsed;
    if (!parse_url(url, parsed)) return s->error(error_winhttp_unrecognized_scheme, FALSE);
    if (!copy_component(parsed.host, parts->lpszHostName, parts->dwHostNameLength) ||
        !copy_component(parsed.path, parts->lpszUrlPath, parts->dwUrlPathLength))
      return s->error(ERROR_INSUFFICIENT_BUFFER, FALSE);
    parts->nScheme = parsed.scheme;
    parts->nPort = parsed.port;
    return TRUE;
  };
  t.WinHttpConnect = [s](HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved) -> HINTERNET {
    if (s->fails("WinHttpConnect")) return nullptr;
    if (!s->find(session, "session")) return s->error<HINTERNET>(ERROR_INVALID_HANDLE, nullptr);
    if (!server || reserved != 0) return s->error<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    auto connection = std::make_unique<state::internet_object>();
    connection->kind = "connection";
    connection->file = server;
    s->connections.push_back({server, port, L"", 0});
    return s->add(std::move(connection));
  };
  t.WinHttpOpenRequest = [s](HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                             LPCWSTR* accept_types, DWORD flags) -> HINTERNET {
    if (s->fails("WinHttpOpenRequest")) return nullptr;
    if (!s->find(connection, "connection")) return s->error<HINTERNET>(ERROR_INVALID_HANDLE, nullptr);
    if (!verb || std::wstring(verb) != L"GET" || !object || version || referrer || accept_types)
      return s->error<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    std::wstring path = object;
    s->connections.back().object = path;
    s->connections.back().flags = flags;
    auto request = std::make_unique<state::internet_object>();
    request->kind = "request";
    request->file = path.rfind(s->base_path, 0) == 0 ? path.substr(s->base_path.size()) : path;
    s->requests.push_back(request->file);
    const std::size_t number = s->request_counts[request->file]++;
    const auto script = s->scripts.find(request->file);
    if (script != s->scripts.end() && number < script->second.size()) request->fault = script->second[number];
    return s->add(std::move(request));
  };
  t.WinHttpSendRequest = [s](HINTERNET handle, LPCWSTR headers, DWORD headers_length, LPVOID optional,
                             DWORD optional_length, DWORD total_length, DWORD_PTR context) -> BOOL {
    if (s->fails("WinHttpSendRequest")) return FALSE;
    auto* request = s->find(handle, "request");
    if (!request) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (optional || optional_length || total_length || context || (headers_length && !headers) ||
        (headers && !headers_length))
      return s->error(ERROR_INVALID_PARAMETER, FALSE);
    request->headers = headers ? std::wstring(headers, headers_length) : std::wstring();
    s->request_headers.push_back(request->headers);
    const auto failure = s->send_failures.find(request->file);
    if (failure != s->send_failures.end()) return s->error(failure->second, FALSE);
    if (request->fault.send_error) return s->error(request->fault.send_error, FALSE);
    request->sent = true;
    return TRUE;
  };
  t.WinHttpReceiveResponse = [s](HINTERNET handle, LPVOID reserved) -> BOOL {
    if (s->fails("WinHttpReceiveResponse")) return FALSE;
    auto* request = s->find(handle, "request");
    if (!request) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (!request->sent || reserved) return s->error(error_winhttp_incorrect_handle_state, FALSE);
    const auto it = s->files.find(request->file);
    if (it != s->files.end()) {
      request->response = it->second;
    } else {
      request->response.status = 404;
    }
    const fault& f = request->fault;
    if (f.status) {
      request->response.status = f.status;
      request->response.body.clear();
      request->response.generated = false;
    }
    const std::uint64_t size = request->response.size_of();
    request->end = size;
    // "Range: bytes=N-" is honoured when If-Range names the current ETag or date.
    const std::wstring& h = request->headers;
    const std::size_t range_at = h.find(L"Range: bytes=");
    const std::size_t if_range_at = h.find(L"If-Range: ");
    if (request->response.status == 200 && range_at != std::wstring::npos && !f.ignore_range) {
      const std::uint64_t from = std::stoull(h.substr(range_at + 13));
      std::wstring named;
      if (if_range_at != std::wstring::npos)
        named = h.substr(if_range_at + 10, h.find(L"\r\n", if_range_at) - if_range_at - 10);
      const bool same =
          if_range_at == std::wstring::npos ||
          (!named.empty() && (named == request->response.etag || named == request->response.last_modified));
      if (same && from < size) {
        request->response.status = 206;
        request->position = from;
        request->content_range =
            L"bytes " + std::to_wstring(from) + L"-" + std::to_wstring(size - 1) + L"/" + std::to_wstring(size);
      }
    }
    if (!f.content_range.empty()) request->content_range = f.content_range;
    if (f.body_bytes != UINT64_MAX) request->end = std::min(size, request->position + f.body_bytes);
    request->received = true;
    return TRUE;
  };
  t.WinHttpQueryHeaders = [s](HINTERNET handle, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length,
                              LPDWORD index) -> BOOL {
    if (s->fails("WinHttpQueryHeaders")) return FALSE;
    auto* request = s->find(handle, "request");
    if (!request) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (!request->received) return s->error(error_winhttp_incorrect_handle_state, FALSE);
    if (name || index || !buffer || !length) return s->error(ERROR_INVALID_PARAMETER, FALSE);
    if (level != (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER)) {
      const auto& r = request->response;
      std::wstring value;
      if (level == WINHTTP_QUERY_CONTENT_LENGTH && r.send_length && (r.status == 200 || r.status == 206))
        value = std::to_wstring(request->response.size_of() - request->position);
      else if (level == WINHTTP_QUERY_ETAG && (r.status == 200 || r.status == 206))
        value = r.etag;
      else if (level == WINHTTP_QUERY_LAST_MODIFIED && (r.status == 200 || r.status == 206))
        value = r.last_modified;
      else if (level == WINHTTP_QUERY_CONTENT_RANGE && r.status == 206)
        value = request->content_range;
      else if (level == WINHTTP_QUERY_RETRY_AFTER)
        value = request->fault.retry_after;
      else if (level != WINHTTP_QUERY_CONTENT_LENGTH && level != WINHTTP_QUERY_ETAG &&
               level != WINHTTP_QUERY_LAST_MODIFIED && level != WINHTTP_QUERY_CONTENT_RANGE)
        return s->error(ERROR_INVALID_PARAMETER, FALSE);
      if (value.empty()) return s->error(ERROR_WINHTTP_HEADER_NOT_FOUND, FALSE);
      const DWORD needed = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
      if (*length < needed) {
        *length = needed;
        return s->error(ERROR_INSUFFICIENT_BUFFER, FALSE);
      }
      std::memcpy(buffer, value.c_str(), needed);
      *length = needed - sizeof(wchar_t);
      return TRUE;
    }
    if (*length < sizeof(DWORD)) return s->error(ERROR_INSUFFICIENT_BUFFER, FALSE);
    const DWORD status = request->response.status;
    std::memcpy(buffer, &status, sizeof(status));
    *length = sizeof(status);
    return TRUE;
  };
  t.WinHttpReadData = [s](HINTERNET handle, LPVOID buffer, DWORD to_read, LPDWORD read) -> BOOL {
    if (s->fails("WinHttpReadData")) return FALSE;
    auto* request = s->find(handle, "request");
    if (!request) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (!request->received || !read) return s->error(error_winhttp_incorrect_handle_state, FALSE);
    const auto& response = request->response;
    if (request->position >= request->end && request->fault.read_error) {
      s->stall(request->fault.stall_ms);
      return s->error(request->fault.read_error, FALSE);
    }
    std::uint64_t count = std::min<std::uint64_t>(to_read, request->end - request->position);
    if (s->read_limit) count = std::min<std::uint64_t>(count, s->read_limit);
    if (response.generated) {
      // The pattern repeats every pattern_period bytes.
      const auto start = static_cast<std::size_t>(request->position % pattern_period);
      for (std::uint64_t done = 0; done < count;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, 65536));
        const std::size_t from = static_cast<std::size_t>((start + done) % pattern_period);
        std::memcpy(static_cast<char*>(buffer) + done, pattern().data() + from, piece);
        done += piece;
      }
    } else {
      std::memcpy(buffer, response.body.data() + request->position, static_cast<std::size_t>(count));
    }
    request->position += count;
    s->served_bytes += count;
    *read = static_cast<DWORD>(count);
    return TRUE;
  };
  t.WinHttpCloseHandle = [s](HINTERNET handle) -> BOOL {
    s->calls.push_back("WinHttpCloseHandle");
    const auto it = s->internet.find(handle);
    if (it == s->internet.end()) return s->error(ERROR_INVALID_HANDLE, FALSE);
    s->closed.push_back(it->second->kind);
    s->internet.erase(it);
    return TRUE;
  };

  t.WinVerifyTrust = [s](HWND window, GUID* action, LPVOID data) -> LONG {
    s->calls.push_back("WinVerifyTrust");
    auto* request = static_cast<platform::wintrust_data*>(data);
    if (!is_generic_verify_v2(action) || !request || request->cbStruct != sizeof(platform::wintrust_data) ||
        request->dwUnionChoice != WTD_CHOICE_FILE || !request->pFile || !request->pFile->pcwszFilePath)
      return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    s->trust_calls.push_back({request->pFile->pcwszFilePath, request->dwStateAction, request->pFile->hFile, window,
                              *action, *request, *request->pFile});
    return request->dwStateAction == WTD_STATEACTION_VERIFY ? static_cast<LONG>(s->trust_result) : 0;
  };
  t.CryptQueryObject = [s](DWORD object_type, const void* object, DWORD content, DWORD format, DWORD flags,
                           DWORD* encoding, DWORD* content_type, DWORD* format_type, HCERTSTORE* store,
                           HCRYPTMSG* message, const void** context) -> BOOL {
    if (s->fails("CryptQueryObject")) return FALSE;
    if (object_type != CERT_QUERY_OBJECT_BLOB || !object || content != CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED ||
        format != CERT_QUERY_FORMAT_FLAG_BINARY || flags != 0 || !store || !message || context)
      return s->error(ERROR_INVALID_PARAMETER, FALSE);
    if (encoding) *encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (content_type) *content_type = 8;  // CERT_QUERY_CONTENT_PKCS7_SIGNED
    if (format_type) *format_type = 1;    // CERT_QUERY_FORMAT_BINARY
    *store = s->add_crypt("store");
    *message = s->add_crypt("message");
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(object);
    s->signed_images[*message].assign(blob->pbData, blob->pbData + blob->cbData);
    return TRUE;
  };
  // "CryptMsgGetParam" names the size query, "CryptMsgGetParam(data)" the
  // call that fills the buffer.
  t.CryptMsgGetParam = [s](HCRYPTMSG message, DWORD type, DWORD index, void* data, DWORD* size) -> BOOL {
    if (type == CMSG_CONTENT_PARAM) {
      if (s->fails(data ? "CryptMsgGetParam(content data)" : "CryptMsgGetParam(content)")) return FALSE;
    } else if (s->fails(data ? "CryptMsgGetParam(data)" : "CryptMsgGetParam")) {
      return FALSE;
    }
    const auto it = s->crypt_objects.find(message);
    if (it == s->crypt_objects.end() || it->second != "message") return s->error(ERROR_INVALID_HANDLE, FALSE);
    if ((type != CMSG_SIGNER_INFO_PARAM && type != CMSG_CONTENT_PARAM) || index != 0 || !size)
      return s->error(ERROR_INVALID_PARAMETER, FALSE);
    const signed_content content = s->content_of(message);
    if (type == CMSG_CONTENT_PARAM) return s->copy_out(content.indirect_data, data, size);

    // The record, then what its pointers point at, in one buffer.
    std::vector<BYTE> tail;
    auto place = [&](const void* bytes, std::size_t count) {
      const std::size_t at = tail.size();
      tail.insert(tail.end(), static_cast<const BYTE*>(bytes), static_cast<const BYTE*>(bytes) + count);
      tail.resize((tail.size() + 7) & ~std::size_t{7}, 0);
      return at;
    };
    const std::size_t issuer_at = place(fake_issuer, sizeof(fake_issuer));
    const std::size_t serial_at = place(fake_serial, sizeof(fake_serial));
    const std::string& algorithm = s->signature.digest_algorithm;
    const std::size_t algorithm_at = place(algorithm.c_str(), algorithm.size() + 1);
    const char* digest_oid = "1.2.840.113549.1.9.4";
    const std::size_t oid_at = place(digest_oid, std::strlen(digest_oid) + 1);
    const std::size_t value_at = place(content.message_digest.data(), content.message_digest.size());
    const int count = s->signature.message_digests;
    const std::size_t blobs_at =
        place(std::vector<BYTE>(sizeof(CRYPT_ATTR_BLOB) * count).data(), sizeof(CRYPT_ATTR_BLOB) * count);
    const std::size_t attribute_at = place(std::vector<BYTE>(sizeof(CRYPT_ATTRIBUTE)).data(), sizeof(CRYPT_ATTRIBUTE));
    const DWORD needed = static_cast<DWORD>(sizeof(CMSG_SIGNER_INFO) + tail.size());
    if (!data) {
      *size = needed;
      return TRUE;
    }
    if (*size < needed) {
      *size = needed;
      return s->error(error_more_data, FALSE);
    }
    auto* bytes = static_cast<BYTE*>(data);
    BYTE* extra = bytes + sizeof(CMSG_SIGNER_INFO);
    std::memcpy(extra, tail.data(), tail.size());
    auto* blobs = reinterpret_cast<CRYPT_ATTR_BLOB*>(extra + blobs_at);
    for (int i = 0; i < count; ++i) blobs[i] = {static_cast<DWORD>(content.message_digest.size()), extra + value_at};
    auto* attribute = reinterpret_cast<CRYPT_ATTRIBUTE*>(extra + attribute_at);
    *attribute = {reinterpret_cast<LPSTR>(extra + oid_at), static_cast<DWORD>(count), blobs};
    CMSG_SIGNER_INFO info{};
    info.dwVersion = 1;
    info.Issuer = {sizeof(fake_issuer), extra + issuer_at};
    info.SerialNumber = {sizeof(fake_serial), extra + serial_at};
    info.HashAlgorithm.pszObjId = reinterpret_cast<LPSTR>(extra + algorithm_at);
    info.AuthAttrs = {1, attribute};
    std::memcpy(bytes, &info, sizeof(info));
    *size = needed;
    return TRUE;
  };
  t.CryptMsgClose = [s](HCRYPTMSG message) -> BOOL {
    s->calls.push_back("CryptMsgClose");
    s->signed_images.erase(message);
    return s->remove_crypt(message, "message") ? TRUE : s->error(ERROR_INVALID_HANDLE, FALSE);
  };
  t.CertCloseStore = [s](HCERTSTORE store, DWORD flags) -> BOOL {
    s->calls.push_back("CertCloseStore");
    if (flags != 0) return s->error(ERROR_INVALID_PARAMETER, FALSE);
    return s->remove_crypt(store, "store") ? TRUE : s->error(ERROR_INVALID_HANDLE, FALSE);
  };
  t.CertFindCertificateInStore = [s](HCERTSTORE store, DWORD encoding, DWORD find_flags, DWORD find_type,
                                     const void* para, PCCERT_CONTEXT previous) -> PCCERT_CONTEXT {
    if (s->fails("CertFindCertificateInStore")) return nullptr;
    const auto it = s->crypt_objects.find(store);
    if (it == s->crypt_objects.end() || it->second != "store")
      return s->error<PCCERT_CONTEXT>(ERROR_INVALID_HANDLE, nullptr);
    if (encoding != (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING) || find_flags != 0 ||
        find_type != CERT_FIND_SUBJECT_CERT || !para || previous)
      return s->error<PCCERT_CONTEXT>(ERROR_INVALID_PARAMETER, nullptr);
    const auto* wanted = static_cast<const CERT_INFO*>(para);
    const bool issuer_matches = wanted->Issuer.cbData == sizeof(fake_issuer) && wanted->Issuer.pbData &&
                                std::memcmp(wanted->Issuer.pbData, fake_issuer, sizeof(fake_issuer)) == 0;
    const bool serial_matches = wanted->SerialNumber.cbData == sizeof(fake_serial) && wanted->SerialNumber.pbData &&
                                std::memcmp(wanted->SerialNumber.pbData, fake_serial, sizeof(fake_serial)) == 0;
    if (!issuer_matches || !serial_matches) return s->error<PCCERT_CONTEXT>(crypt_e_not_found, nullptr);
    auto certificate = std::make_unique<CERT_CONTEXT>();
    certificate->dwCertEncodingType = X509_ASN_ENCODING;
    certificate->hCertStore = store;
    PCCERT_CONTEXT handle = certificate.get();
    s->certificates.emplace(const_cast<CERT_CONTEXT*>(handle), std::move(certificate));
    return handle;
  };
  t.CertGetCertificateContextProperty = [s](PCCERT_CONTEXT certificate, DWORD property, void* data,
                                            DWORD* size) -> BOOL {
    if (s->fails("CertGetCertificateContextProperty")) return FALSE;
    if (!s->certificates.count(const_cast<CERT_CONTEXT*>(certificate))) return s->error(ERROR_INVALID_HANDLE, FALSE);
    if (property != CERT_SHA1_HASH_PROP_ID || !size) return s->error(ERROR_INVALID_PARAMETER, FALSE);
    std::vector<BYTE> hash;
    if (!s->thumbprint_bytes(hash)) return s->error(crypt_e_not_found, FALSE);
    const auto needed = static_cast<DWORD>(hash.size());
    if (!data) {
      *size = needed;
      return TRUE;
    }
    if (*size < needed) {
      *size = needed;
      return s->error(error_more_data, FALSE);
    }
    std::memcpy(data, hash.data(), hash.size());
    *size = needed;
    return TRUE;
  };
  t.CertFreeCertificateContext = [s](PCCERT_CONTEXT certificate) -> BOOL {
    s->calls.push_back("CertFreeCertificateContext");
    return s->certificates.erase(const_cast<CERT_CONTEXT*>(certificate)) ? TRUE : s->error(ERROR_INVALID_HANDLE, FALSE);
  };
}

void fake_cdn::serve(const std::wstring& file_name, std::string body, DWORD status) {
  state::served served;
  served.body = std::move(body);
  served.status = status;
  served.etag = L"\"v" + std::to_wstring(++state_->etag_counter) + L"\"";
  state_->files[file_name] = std::move(served);
}

std::optional<std::string> fake_cdn::body_of(const std::wstring& file_name) const {
  const auto found = state_->files.find(file_name);
  if (found == state_->files.end() || found->second.generated) return std::nullopt;
  return found->second.body;
}

void fake_cdn::serve_generated(const std::wstring& file_name, std::uint64_t size, DWORD status) {
  state::served served;
  served.generated = true;
  served.size = size;
  served.status = status;
  served.etag = L"\"v" + std::to_wstring(++state_->etag_counter) + L"\"";
  state_->files[file_name] = std::move(served);
}

void fake_cdn::script(const std::wstring& file_name, std::vector<fault> faults) {
  state_->scripts[file_name] = std::move(faults);
}

void fake_cdn::validators(const std::wstring& file_name, std::wstring etag, std::wstring last_modified) {
  auto& served = state_->files.at(file_name);
  served.etag = std::move(etag);
  served.last_modified = std::move(last_modified);
}

void fake_cdn::omit_length(const std::wstring& file_name) { state_->files.at(file_name).send_length = false; }

void fake_cdn::fail_send(const std::wstring& file_name, DWORD error) { state_->send_failures[file_name] = error; }

void fake_cdn::fail_call(const std::string& call, DWORD error) { state_->call_failures[call] = error; }

void fake_cdn::limit_read_size(DWORD bytes) { state_->read_limit = bytes; }

int fake_cdn::open_internet_handles() const { return static_cast<int>(state_->internet.size()); }

int fake_cdn::open_crypt_objects() const {
  return static_cast<int>(state_->crypt_objects.size() + state_->certificates.size());
}

const std::vector<std::string>& fake_cdn::closed_internet_handles() const { return state_->closed; }

std::uint64_t fake_cdn::bytes_served() const { return state_->served_bytes; }

}  // namespace vora::test
