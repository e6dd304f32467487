#include "environment/avx2.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <cstring>

#include "platform/system.h"

namespace vora {
namespace {

// A desktop whose shell starts on a busy machine (under Wine, explorer starts
// with the first window) may take several seconds to register it.
constexpr int shell_attempts = 60;
constexpr std::uint32_t shell_retry_ms = 250;

// What a desktop answers while its shell is still starting (no desktop
// window yet, its objects not yet registered) or has just gone away; worth
// waiting out. Any other refusal will not change with waiting.
bool shell_not_there_yet(HRESULT result) {
  constexpr auto no_desktop_window = static_cast<HRESULT>(0x80004005);     // E_FAIL
  constexpr auto class_not_registered = static_cast<HRESULT>(0x80040154);  // REGDB_E_CLASSNOTREG
  constexpr auto server_unavailable = static_cast<HRESULT>(0x800706BA);    // RPC_S_SERVER_UNAVAILABLE
  return result == no_desktop_window || result == class_not_registered || result == server_unavailable;
}

constexpr const char* first_box_text =
    "Vora requires a CPU feature called AVX2, which isn't currently enabled on this system.\n\nWant to check whether "
    "your CPU supports it?";
constexpr const char* second_box_text =
    "If your CPU supports AVX2, it could be disabled in your BIOS settings.\n\nSearch for instructions on how to "
    "enable it?";

std::string read_registry_string(HKEY key, const char* name) {
  BYTE buffer[256] = {};
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  if (sys().RegQueryValueExA(key, name, nullptr, &type, buffer, &size) != 0 || type != REG_SZ) return {};
  const std::size_t limit = size < sizeof(buffer) ? size : sizeof(buffer);
  const auto* text = reinterpret_cast<const char*>(buffer);
  const void* zero = std::memchr(text, 0, limit);
  return std::string(text, zero ? static_cast<const char*>(zero) - text : limit);
}

}  // namespace

cpu_info read_cpu_info() {
  cpu_info info;
  const auto basic = sys().cpuid(0, 0);
  if (static_cast<std::int32_t>(basic[0]) >= 7) {
    const auto features = sys().cpuid(7, 0);
    info.has_avx2 = (features[1] & (1u << 5)) != 0;
  }
  const auto extended = sys().cpuid(0x80000000u, 0);
  if (extended[0] < 0x80000004u) return info;
  char brand[49] = {};
  for (std::uint32_t i = 0; i < 3; ++i) {
    const auto regs = sys().cpuid(0x80000002u + i, 0);
    std::memcpy(brand + std::size_t{i} * 16, regs.data(), 16);
  }
  info.brand = brand;  // up to the first zero byte
  return info;
}

const cpu_info& processor_info() {
  static const cpu_info info = read_cpu_info();
  return info;
}

bool require_avx2() { return require_avx2(processor_info()); }

bool require_avx2(const cpu_info& cpu) {
  if (cpu.has_avx2) return true;
  if (sys().MessageBoxA(nullptr, first_box_text, "Vora", MB_YESNO | MB_ICONWARNING) == IDYES) {
    open_web_search(fmt::format("Does {} support AVX2", cpu.brand));
  }
  sys().sleep_ms(5000);
  if (sys().MessageBoxA(nullptr, second_box_text, "Vora", MB_YESNO | MB_ICONWARNING) == IDYES) {
    const std::string board = read_baseboard_name();
    open_web_search(board.empty() ? std::string("How to enable AVX2 in BIOS")
                                  : fmt::format("How to enable AVX2 in BIOS {}", board));
  }
  return false;
}

std::string read_baseboard_name() {
  HKEY key = nullptr;
  if (sys().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\BIOS", 0, KEY_READ, &key) != 0) {
    return {};
  }
  std::string manufacturer = read_registry_string(key, "BaseBoardManufacturer");
  std::string product = read_registry_string(key, "BaseBoardProduct");
  sys().RegCloseKey(key);
  if (manufacturer.empty()) return product;
  if (product.empty()) return manufacturer;
  return manufacturer + " " + product;
}

// Opened by the desktop's shell, which runs as the signed-in player: a
// browser started with this process's token would browse as administrator.
// A desktop that has only just started may not have registered its shell
// yet. Without one the address is logged and nothing is opened: never an
// elevated browser instead.
void open_web_search(const std::string& query) {
  const std::string url = web_search_base_url + url_encode(query);
  const std::wstring wide(url.begin(), url.end());  // url_encode leaves ASCII only
  HRESULT result = 0;
  for (int attempt = 0; attempt < shell_attempts; ++attempt) {
    if (attempt != 0) sys().sleep_ms(shell_retry_ms);
    result = sys().shell_execute_as_desktop(wide.c_str());
    if (result >= 0) return;
    if (!shell_not_there_yet(result)) break;
  }
  spdlog::warn("No desktop shell opened the search (Error: 0x{:08X}); its address: {}",
               static_cast<std::uint32_t>(result), url);
}

std::string url_encode(const std::string& text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace vora
