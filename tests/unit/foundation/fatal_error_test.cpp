#include "app/fatal_error.h"

#include <gtest/gtest.h>

#include "diagnostics/logging.h"
#include "test_support.h"

namespace vora {
namespace {

using test::captured_log;
using test::fake_system;

class FatalError : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_context_ = run_context();
    saved_ready_ = logging_ready;
    run_context() = "setup-1700000000";
  }
  void TearDown() override {
    run_context() = saved_context_;
    logging_ready = saved_ready_;
  }
  fake_system fakes_;
  captured_log log_;
  std::string saved_context_;
  bool saved_ready_ = false;
};

TEST_F(FatalError, LogsEscapedShowsBoxAndExitsOne) {
  logging_ready = true;
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("First.\n\nSecond \"quoted\" \\ end.")), 1);
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].level, spdlog::level::err);
  EXPECT_EQ(log_.records()[0].text, "Fatal error thrown: \"First.\\n\\nSecond \\\"quoted\\\" \\\\ end.\"");
  ASSERT_EQ(fakes_.boxes.size(), 1u);
  EXPECT_EQ(fakes_.boxes[0].text, "First.\n\nSecond \"quoted\" \\ end.");
  EXPECT_EQ(fakes_.boxes[0].caption, "Vora Error (Context: setup-1700000000)");
  EXPECT_EQ(fakes_.boxes[0].type, 0x10u);
}

TEST_F(FatalError, FormatsArgumentsAsDecimal) {
  logging_ready = true;
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("Failed (Error: {}).", DWORD{4294967295u})), 1);
  EXPECT_EQ(fakes_.boxes.at(0).text, "Failed (Error: 4294967295).");
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("'{}' {} {}", std::string("a"), "b", -3)), 1);
  EXPECT_EQ(fakes_.boxes.at(1).text, "'a' b -3");
}

TEST_F(FatalError, NothingLoggedBeforeLoggingIsReady) {
  logging_ready = false;
  run_context().clear();
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("Failed to resolve known folder path.")), 1);
  EXPECT_TRUE(log_.records().empty());
  ASSERT_EQ(fakes_.boxes.size(), 1u);
  EXPECT_EQ(fakes_.boxes[0].caption, "Vora Error (Context: )");
}

TEST_F(FatalError, NoInputDesktopMeansNoBoxButStillLogsAndExits) {
  logging_ready = true;
  int desktops_closed = 0;
  sys().OpenInputDesktop = [](DWORD flags, BOOL inherit, ACCESS_MASK access) -> HDESK {
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(inherit, FALSE);
    EXPECT_EQ(access, DESKTOP_READOBJECTS);
    return nullptr;
  };
  sys().CloseDesktop = [&](HDESK) {
    ++desktops_closed;
    return TRUE;
  };
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("Gone.")), 1);
  EXPECT_TRUE(fakes_.boxes.empty());
  EXPECT_EQ(desktops_closed, 0);
  EXPECT_TRUE(log_.contains(spdlog::level::err, "Fatal error thrown: \"Gone.\""));
}

TEST_F(FatalError, DesktopIsClosedBeforeTheBox) {
  std::vector<std::string> order;
  sys().CloseDesktop = [&](HDESK desktop) {
    EXPECT_EQ(desktop, reinterpret_cast<HDESK>(0x1234));
    order.push_back("close");
    return TRUE;
  };
  sys().MessageBoxA = [&](HWND, LPCSTR, LPCSTR, UINT) {
    order.push_back("box");
    return IDOK;
  };
  EXPECT_EQ(VORA_EXIT_CODE(report_fatal_error("x")), 1);
  EXPECT_EQ(order, (std::vector<std::string>{"close", "box"}));
}

}  // namespace
}  // namespace vora
