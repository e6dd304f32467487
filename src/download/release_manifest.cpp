#include "download/release_manifest.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <set>

namespace vora {
namespace {

using json = nlohmann::json;

// Parsed without exceptions; a document with a key twice is refused, as two
// readers could take different ones.
std::optional<json> parse_strict(std::string_view text, std::string& reason) {
  bool duplicate = false;
  std::vector<std::set<std::string>> keys;
  const json::parser_callback_t callback = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) keys.emplace_back();
    if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == json::parse_event_t::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second)
      duplicate = true;
    return true;
  };
  json document = json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    reason = "not JSON";
    return std::nullopt;
  }
  if (duplicate) {
    reason = "a key appears twice";
    return std::nullopt;
  }
  return document;
}

bool only_keys(const json& object, std::initializer_list<const char*> allowed, std::string& reason) {
  for (const auto& item : object.items()) {
    bool known = false;
    for (const char* key : allowed) known = known || item.key() == key;
    if (!known) {
      reason = fmt::format("unexpected field '{}'", item.key());
      return false;
    }
  }
  return true;
}

const std::string* text_field(const json& object, const char* key, std::string& reason) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) {
    reason = fmt::format("'{}' is missing or not a string", key);
    return nullptr;
  }
  return found->get_ptr<const std::string*>();
}

std::optional<std::array<std::uint8_t, 32>> parse_sha256(const std::string& hex) {
  if (hex.size() != 64) return std::nullopt;
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[i];
    int value = 0;
    if (c >= '0' && c <= '9')
      value = c - '0';
    else if (c >= 'a' && c <= 'f')
      value = c - 'a' + 10;
    else
      return std::nullopt;  // lower case only, as the publisher writes it
    out[i / 2] = static_cast<std::uint8_t>(out[i / 2] << 4 | value);
  }
  return out;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t at = 0; at < text.size(); at += 4) {
    std::uint32_t group = 0;
    int padding = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text[at + i];
      int value = 0;
      if (c >= 'A' && c <= 'Z')
        value = c - 'A';
      else if (c >= 'a' && c <= 'z')
        value = c - 'a' + 26;
      else if (c >= '0' && c <= '9')
        value = c - '0' + 52;
      else if (c == '+')
        value = 62;
      else if (c == '/')
        value = 63;
      else if (c == '=' && at + 4 == text.size() && i >= 2)
        value = -1;
      else
        return std::nullopt;
      if (value < 0) {
        ++padding;
        value = 0;
      } else if (padding != 0) {
        return std::nullopt;  // data after padding
      }
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    // Bits the padding hides must be zero: one text per byte string.
    if ((padding == 1 && ((group & 0xFF) != 0u)) || (padding == 2 && ((group & 0xFFFF) != 0u))) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

bool read_envelope(std::string_view text, dsse_envelope& out, std::string& reason) {
  const std::optional<json> document = parse_strict(text, reason);
  if (!document) return false;
  if (!document->is_object()) {
    reason = "not an object";
    return false;
  }
  if (!only_keys(*document, {"payloadType", "payload", "signatures"}, reason)) return false;
  const std::string* type = text_field(*document, "payloadType", reason);
  const std::string* payload = text_field(*document, "payload", reason);
  if (!type || !payload) return false;
  const auto decoded = decode_base64(*payload);
  if (!decoded) {
    reason = "'payload' is not base64";
    return false;
  }
  const auto signatures = document->find("signatures");
  if (signatures == document->end() || !signatures->is_array() || signatures->empty()) {
    reason = "'signatures' is missing or empty";
    return false;
  }
  out = dsse_envelope{*type, std::string(decoded->begin(), decoded->end()), {}};
  for (const json& entry : *signatures) {
    if (!entry.is_object() || !only_keys(entry, {"keyid", "sig"}, reason)) {
      if (reason.empty()) reason = "a signature is not an object";
      return false;
    }
    const std::string* keyid = text_field(entry, "keyid", reason);
    const std::string* sig = text_field(entry, "sig", reason);
    if (!keyid || !sig) return false;
    auto bytes = decode_base64(*sig);
    if (!bytes) {
      reason = "a signature is not base64";
      return false;
    }
    out.signatures.push_back({*keyid, std::move(*bytes)});
  }
  return true;
}

std::string pre_authentication_encoding(std::string_view type, std::string_view payload) {
  return fmt::format("DSSEv1 {} {} {} {}", type.size(), type, payload.size(), payload);
}

std::optional<std::int64_t> parse_utc_time(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != 'Z')
    return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t digits) -> std::optional<unsigned> {
    unsigned value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const auto hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  // Nothing was published before 1970: such a year is a broken manifest.
  if (*year < 1970 || *month < 1 || *month > 12 || *day < 1 || *hour > 23 || *minute > 59 || *second > 59)
    return std::nullopt;
  static constexpr unsigned month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
  if (*day > month_days[*month - 1] + (*month == 2 && leap ? 1u : 0u)) return std::nullopt;
  return days_from_civil(*year, *month, *day) * 86400 + std::int64_t{*hour} * 3600 + std::int64_t{*minute} * 60 +
         *second;
}

bool is_safe_manifest_path(std::string_view path) {
  if (path.empty() || path.size() > 200 || path.front() == '/') return false;
  for (const char c : path) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '_' || c == '-' || c == '/';
    if (!allowed) return false;
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

bool read_release_payload(std::string_view payload, const std::vector<std::string>& names, std::uint64_t max_size,
                          release_manifest& out, std::string& reason) {
  const std::optional<json> document = parse_strict(payload, reason);
  if (!document) return false;
  if (!document->is_object()) {
    reason = "not an object";
    return false;
  }
  if (!only_keys(*document, {"release", "issued", "expires", "files"}, reason)) return false;
  const std::string* release = text_field(*document, "release", reason);
  const std::string* issued = text_field(*document, "issued", reason);
  const std::string* expires = text_field(*document, "expires", reason);
  if (!release || !issued || !expires) return false;
  const auto version = parse_version_text(*release);
  if (!version) {
    reason = fmt::format("'release' is not a release ('{}')", *release);
    return false;
  }
  const auto issued_at = parse_utc_time(*issued);
  const auto expires_at = parse_utc_time(*expires);
  if (!issued_at || !expires_at) {
    reason = "'issued' or 'expires' is not a UTC time";
    return false;
  }
  const auto files = document->find("files");
  if (files == document->end() || !files->is_object() || files->size() != names.size()) {
    reason = "'files' does not name exactly the program files";
    return false;
  }
  release_manifest manifest{*version, *issued_at, *expires_at, {}};
  for (const std::string& name : names) {
    const auto entry = files->find(name);
    if (entry == files->end() || !entry->is_object()) {
      reason = fmt::format("'files' does not name '{}'", name);
      return false;
    }
    if (!only_keys(*entry, {"path", "size", "sha256"}, reason)) return false;
    const std::string* path = text_field(*entry, "path", reason);
    const std::string* sha = text_field(*entry, "sha256", reason);
    if (!path || !sha) return false;
    if (!is_safe_manifest_path(*path)) {
      reason = fmt::format("the path of '{}' leaves the storage URL or holds other characters", name);
      return false;
    }
    const auto size = entry->find("size");
    if (size == entry->end() || !size->is_number_unsigned() || size->get<std::uint64_t>() > max_size) {
      reason = fmt::format("the size of '{}' is missing or beyond {} bytes", name, max_size);
      return false;
    }
    const auto digest = parse_sha256(*sha);
    if (!digest) {
      reason = fmt::format("the sha256 of '{}' is not 64 lower-case hex digits", name);
      return false;
    }
    manifest.files[name] = manifest_file{*path, size->get<std::uint64_t>(), *digest};
  }
  out = std::move(manifest);
  return true;
}

}  // namespace vora
