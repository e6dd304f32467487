#include "environment/avx2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>

#include "test_support.h"

namespace vora {
namespace {

using test::fake_system;

// A processor described by its CPUID leaves.
struct fake_cpu {
  std::map<std::uint32_t, std::array<std::uint32_t, 4>> leaves;
  void install() {
    sys().cpuid = [this](std::uint32_t leaf, std::uint32_t subleaf) {
      EXPECT_EQ(subleaf, 0u);
      auto it = leaves.find(leaf);
      return it == leaves.end() ? std::array<std::uint32_t, 4>{} : it->second;
    };
  }
  void set_brand(const char (&text)[49]) {
    for (std::uint32_t i = 0; i < 3; ++i) {
      std::array<std::uint32_t, 4> regs{};
      std::memcpy(regs.data(), text + i * 16, 16);
      leaves[0x80000002u + i] = regs;
    }
    leaves[0x80000000u] = {0x80000008u, 0, 0, 0};
  }
};

TEST(CpuInfo, Avx2IsBit5OfLeaf7Ebx) {
  fake_system fakes;
  fake_cpu cpu;
  cpu.leaves[0] = {7, 0, 0, 0};
  cpu.leaves[7] = {0, 1u << 5, 0, 0};
  cpu.install();
  EXPECT_TRUE(read_cpu_info().has_avx2);
  cpu.leaves[7] = {0xFFFFFFFFu, ~(1u << 5), 0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_FALSE(read_cpu_info().has_avx2);
}

TEST(CpuInfo, HighestBasicLeafBelowSevenMeansNoAvx2) {
  fake_system fakes;
  fake_cpu cpu;
  cpu.leaves[0] = {6, 0, 0, 0};
  cpu.leaves[7] = {0, 1u << 5, 0, 0};
  cpu.install();
  EXPECT_FALSE(read_cpu_info().has_avx2);
  cpu.leaves[0] = {0x80000000u, 0, 0, 0};  // negative as a signed number
  EXPECT_FALSE(read_cpu_info().has_avx2);
}

TEST(CpuInfo, BrandComesFromExtendedLeavesWithSpacesKept) {
  fake_system fakes;
  fake_cpu cpu;
  cpu.leaves[0] = {7, 0, 0, 0};
  char brand[49] = "   Example(R) CPU 9000 @ 3.00GHz  ";
  cpu.set_brand(reinterpret_cast<const char(&)[49]>(brand));
  cpu.install();
  EXPECT_EQ(read_cpu_info().brand, "   Example(R) CPU 9000 @ 3.00GHz  ");

  char full[49];
  std::memset(full, 'x', 48);
  full[48] = 0;
  cpu.set_brand(reinterpret_cast<const char(&)[49]>(full));
  EXPECT_EQ(read_cpu_info().brand, std::string(48, 'x'));

  cpu.leaves[0x80000000u] = {0x80000003u, 0, 0, 0};
  EXPECT_EQ(read_cpu_info().brand, "");
}

TEST(UrlEncode, KeepsUnreservedAndEncodesTheRest) {
  EXPECT_EQ(url_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(url_encode("a b"), "a%20b");
  EXPECT_EQ(url_encode("(R)/x"), "%28R%29%2Fx");
  EXPECT_EQ(url_encode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(url_encode(std::string("\0\x7F\xFF", 3)), "%00%7F%FF");
  EXPECT_EQ(url_encode("Does  support AVX2"), "Does%20%20support%20AVX2");
}

class BaseboardName : public ::testing::Test {
 protected:
  void SetUp() override {
    sys().RegOpenKeyExA = [this](HKEY root, LPCSTR sub_key, DWORD options, REGSAM access, HKEY* out) -> LSTATUS {
      EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
      EXPECT_STREQ(sub_key, "HARDWARE\\DESCRIPTION\\System\\BIOS");
      EXPECT_EQ(options, 0u);
      EXPECT_EQ(access, 0x20019u);
      if (!key_exists) return 2;
      *out = reinterpret_cast<HKEY>(0x77);
      return 0;
    };
    sys().RegQueryValueExA = [this](HKEY, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) -> LSTATUS {
      EXPECT_EQ(*size, 256u);
      for (int i = 0; i < 256; ++i) EXPECT_EQ(data[i], 0) << "buffer not zeroed";
      auto it = values.find(name);
      if (it == values.end()) return 2;
      if (it->second.size() > *size) return 234;  // ERROR_MORE_DATA
      *type = it->second == "DWORD" ? 4 : REG_SZ;
      std::memcpy(data, it->second.data(), it->second.size());
      *size = static_cast<DWORD>(it->second.size());
      return 0;
    };
    sys().RegCloseKey = [this](HKEY) -> LSTATUS {
      ++closed;
      return 0;
    };
  }
  fake_system fakes_;
  bool key_exists = true;
  std::map<std::string, std::string> values;
  int closed = 0;
};

TEST_F(BaseboardName, JoinsManufacturerAndProduct) {
  values["BaseBoardManufacturer"] = std::string("Maker Inc.\0", 11);
  values["BaseBoardProduct"] = std::string("Board X1\0", 9);
  EXPECT_EQ(read_baseboard_name(), "Maker Inc. Board X1");
  EXPECT_EQ(closed, 1);
}

TEST_F(BaseboardName, EitherPartMayBeMissing) {
  values["BaseBoardManufacturer"] = std::string("Maker\0", 6);
  EXPECT_EQ(read_baseboard_name(), "Maker");
  values.clear();
  values["BaseBoardProduct"] = "Board";  // no terminating zero
  EXPECT_EQ(read_baseboard_name(), "Board");
  values["BaseBoardProduct"] = "DWORD";  // wrong type counts as absent
  EXPECT_EQ(read_baseboard_name(), "");
  values["BaseBoardProduct"] = std::string(300, 'z');  // does not fit
  EXPECT_EQ(read_baseboard_name(), "");
}

TEST_F(BaseboardName, MissingKeyGivesEmptyAndClosesNothing) {
  key_exists = false;
  EXPECT_EQ(read_baseboard_name(), "");
  EXPECT_EQ(closed, 0);
}

class RequireAvx2 : public ::testing::Test {
 protected:
  void SetUp() override {
    sys().shell_execute_as_desktop = [this](const wchar_t* target) -> HRESULT {
      if (!shell_answers.empty()) {
        const HRESULT answer = shell_answers.front();
        shell_answers.erase(shell_answers.begin());
        if (answer < 0) return answer;
      }
      events.push_back("open " + std::string(target, target + std::wcslen(target)));
      return 0;
    };
    auto box = sys().MessageBoxA;
    sys().MessageBoxA = [this, box](HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
      events.push_back("box");
      return box(owner, text, caption, type);
    };
    sys().sleep_ms = [this](std::uint32_t ms) { events.push_back("sleep " + std::to_string(ms)); };
    sys().RegOpenKeyExA = [](HKEY, LPCSTR, DWORD, REGSAM, HKEY* out) -> LSTATUS {
      *out = reinterpret_cast<HKEY>(0x77);
      return 0;
    };
    sys().RegQueryValueExA = [](HKEY, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) -> LSTATUS {
      const std::string value = std::string(name) == "BaseBoardManufacturer" ? "ASUSTeK" : "PRIME B450-PLUS";
      *type = REG_SZ;
      std::memcpy(data, value.c_str(), value.size() + 1);
      *size = static_cast<DWORD>(value.size() + 1);
      return 0;
    };
    sys().RegCloseKey = [](HKEY) -> LSTATUS { return 0; };
  }
  fake_system fakes_;
  std::vector<std::string> events;
  std::vector<HRESULT> shell_answers;  // per call, before the default success
  const cpu_info no_avx2{"AMD Phenom(tm) II X4 955", false};
};

TEST_F(RequireAvx2, ReturnsAtOnceWithAvx2) {
  EXPECT_TRUE(require_avx2(cpu_info{"any", true}));
  EXPECT_TRUE(fakes_.boxes.empty());
  EXPECT_TRUE(events.empty());
}

TEST_F(RequireAvx2, YesYesOpensBothSearchesThenExitsZero) {
  fakes_.box_answers = {IDYES, IDYES};
  EXPECT_FALSE(require_avx2(no_avx2));
  ASSERT_EQ(fakes_.boxes.size(), 2u);
  EXPECT_EQ(fakes_.boxes[0].text,
            "Vora requires a CPU feature called AVX2, which isn't currently enabled on this system.\n\nWant to check "
            "whether your CPU supports it?");
  EXPECT_EQ(fakes_.boxes[1].text,
            "If your CPU supports AVX2, it could be disabled in your BIOS settings.\n\nSearch for instructions on how "
            "to enable it?");
  for (const auto& box : fakes_.boxes) {
    EXPECT_EQ(box.caption, "Vora");
    EXPECT_EQ(box.type, 0x34u);
  }
  EXPECT_EQ(events,
            (std::vector<std::string>{
                "box",
                "open https://www.bing.com/search?q=Does%20AMD%20Phenom%28tm%29%20II%20X4%20955%20support%20AVX2",
                "sleep 5000",
                "box",
                "open https://www.bing.com/search?q=How%20to%20enable%20AVX2%20in%20BIOS%20ASUSTeK%20PRIME%20B450-PLUS",
            }));
}

// The desktop's shell may still be registering; without one nothing is
// opened elevated, the address is only logged.
TEST_F(RequireAvx2, TheSearchWaitsForTheDesktopShellAndNeverOpensWithoutIt) {
  test::captured_log log;
  constexpr HRESULT class_not_registered = static_cast<HRESULT>(0x80040154);
  shell_answers = {class_not_registered, class_not_registered};
  fakes_.box_answers = {IDYES, IDNO};
  EXPECT_FALSE(require_avx2(no_avx2));
  const std::string search =
      "open https://www.bing.com/search?q=Does%20AMD%20Phenom%28tm%29%20II%20X4%20955%20support%20AVX2";
  EXPECT_EQ(events, (std::vector<std::string>{"box", "sleep 250", "sleep 250", search, "sleep 5000", "box"}));

  events.clear();
  shell_answers.assign(60, class_not_registered);
  fakes_.box_answers = {IDYES, IDNO};
  EXPECT_FALSE(require_avx2(no_avx2));
  EXPECT_EQ(std::count(events.begin(), events.end(), "sleep 250"), 59);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("open", 0) == 0; }),
            0);
  EXPECT_TRUE(log.contains(spdlog::level::warn,
                           "No desktop shell opened the search (Error: 0x80040154); its address: " + search.substr(5)));

  // A refusal that waiting will not change is not waited out.
  events.clear();
  shell_answers = {static_cast<HRESULT>(0x80070005)};  // E_ACCESSDENIED
  fakes_.box_answers = {IDYES, IDNO};
  EXPECT_FALSE(require_avx2(no_avx2));
  EXPECT_EQ(events, (std::vector<std::string>{"box", "sleep 5000", "box"}));
}

TEST_F(RequireAvx2, NoNoOpensNothingButStillPausesAndExitsZero) {
  fakes_.box_answers = {IDNO, IDNO};
  EXPECT_FALSE(require_avx2(no_avx2));
  EXPECT_EQ(events, (std::vector<std::string>{"box", "sleep 5000", "box"}));
}

TEST_F(RequireAvx2, EmptyBrandAndNoBaseboard) {
  sys().RegOpenKeyExA = [](HKEY, LPCSTR, DWORD, REGSAM, HKEY*) -> LSTATUS { return 2; };
  fakes_.box_answers = {IDYES, IDYES};
  EXPECT_FALSE(require_avx2(cpu_info{"", false}));
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[1], "open https://www.bing.com/search?q=Does%20%20support%20AVX2");
  EXPECT_EQ(events[4], "open https://www.bing.com/search?q=How%20to%20enable%20AVX2%20in%20BIOS");
}

}  // namespace
}  // namespace vora
