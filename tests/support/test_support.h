// Shared test helpers: a fake process exit, a captured log and the fake
// user-interface calls most tests need.
#pragma once

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "base/failure.h"
#include "platform/system.h"

namespace vora::test {

// Thrown by the fake exit_process so a test can observe a process exit.
struct process_exit {
  int code;
};

struct log_record {
  spdlog::level::level_enum level;
  std::string text;
};

class capture_sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<log_record> records;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    records.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}
};

// Makes a capturing logger the default logger for the test's lifetime.
class captured_log {
 public:
  captured_log();
  ~captured_log();
  const std::vector<log_record>& records() const { return sink_->records; }
  bool contains(spdlog::level::level_enum level, const std::string& text) const;
  // Texts of all records, in order.
  std::vector<std::string> texts() const;
  void clear() { sink_->records.clear(); }

 private:
  std::shared_ptr<capture_sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

struct message_box_call {
  std::string text;
  std::string caption;
  unsigned type;
};

// A table of fakes for every test: exit throws process_exit, an input desktop
// is available, message boxes are recorded and answered with box_answer.
class fake_system {
 public:
  fake_system();
  platform::system_calls& calls() { return sys(); }
  std::vector<message_box_call> boxes;
  std::vector<int> box_answers;  // consumed in order; IDOK when empty
  std::vector<std::uint32_t> sleeps;

 private:
  platform::scoped_system_calls restore_;
};

// A fresh, empty folder under the system's temporary directory.
std::filesystem::path make_temp_dir(const std::string& name);

// What the action dispatch does with an operation's failure: ends the run
// with its message.
inline void dispatch(const outcome& cause) {
  if (cause) report_fatal_error(*cause);
}

}  // namespace vora::test

// Runs a statement that must end the process; yields the exit code.
#define VORA_EXIT_CODE(statement)                       \
  [&]() -> int {                                        \
    try {                                               \
      statement;                                        \
    } catch (const ::vora::test::process_exit& exit_) { \
      return exit_.code;                                \
    }                                                   \
    return -1;                                          \
  }()
