// Helpers shared by the fuzz targets.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A violated property must stop the run so that libFuzzer keeps the input;
// a plain assert would vanish in a release configuration.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace vora::fuzz {

// Log records kept in memory, so a target can check what was logged without
// paying for console output.
class record_sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::pair<spdlog::level::level_enum, std::string>> records;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    records.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

inline void use_null_logger() {
  spdlog::set_default_logger(std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
}

inline std::shared_ptr<record_sink> use_record_logger() {
  auto sink = std::make_shared<record_sink>();
  auto logger = std::make_shared<spdlog::logger>("fuzz", sink);
  logger->set_level(spdlog::level::trace);
  spdlog::set_default_logger(logger);
  return sink;
}

// Wide text from bytes: each byte is one code point, except that 0xFF takes
// the next three bytes as a raw 24-bit code unit, so surrogates and values
// above 0x10FFFF (which the host's 32-bit wchar_t can hold) are reachable.
inline std::wstring wide_from_bytes(const std::uint8_t* data, std::size_t size) {
  std::wstring out;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && i + 3 < size) {
      const std::uint32_t unit = (std::uint32_t{data[i + 1]} << 16) | (std::uint32_t{data[i + 2]} << 8) | data[i + 3];
      out += static_cast<wchar_t>(unit);
      i += 3;
    } else {
      out += static_cast<wchar_t>(data[i]);
    }
  }
  return out;
}

inline std::wstring wide_from_bytes(const std::string& bytes) {
  return wide_from_bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// UTF-8 written out independently of the program's converter; false for a
// unit that has no UTF-8 form.
inline bool reference_utf8(const std::wstring& wide, std::string& out) {
  out.clear();
  for (const wchar_t unit : wide) {
    const auto cp = static_cast<std::uint32_t>(unit);
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return true;
}

}  // namespace vora::fuzz
