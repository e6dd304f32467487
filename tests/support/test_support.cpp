#include "test_support.h"

#include <atomic>
#include <chrono>

namespace vora::test {

captured_log::captured_log() : sink_(std::make_shared<capture_sink>()), previous_(spdlog::default_logger()) {
  auto logger = std::make_shared<spdlog::logger>("test_capture", sink_);
  logger->set_level(spdlog::level::trace);
  spdlog::set_default_logger(logger);
}

captured_log::~captured_log() { spdlog::set_default_logger(previous_); }

bool captured_log::contains(spdlog::level::level_enum level, const std::string& text) const {
  for (const auto& record : sink_->records)
    if (record.level == level && record.text == text) return true;
  return false;
}

std::vector<std::string> captured_log::texts() const {
  std::vector<std::string> out;
  for (const auto& record : sink_->records) out.push_back(record.text);
  return out;
}

fake_system::fake_system() {
  auto& t = sys();
  t.exit_process = [](int code) { throw process_exit{code}; };
  t.OpenInputDesktop = [](DWORD, BOOL, ACCESS_MASK) { return reinterpret_cast<HDESK>(0x1234); };
  t.CloseDesktop = [](HDESK) { return TRUE; };
  t.MessageBoxA = [this](HWND, LPCSTR text, LPCSTR caption, UINT type) {
    boxes.push_back({text, caption, type});
    if (box_answers.empty()) return IDOK;
    const int answer = box_answers.front();
    box_answers.erase(box_answers.begin());
    return answer;
  };
  t.sleep_ms = [this](std::uint32_t ms) { sleeps.push_back(ms); };
}

std::filesystem::path make_temp_dir(const std::string& name) {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  auto dir = std::filesystem::temp_directory_path() /
             ("vora-test-" + name + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace vora::test
