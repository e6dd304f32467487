#include "download/retry_policy.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace vora {
namespace {

// The shipping values: 5 attempts, 1 s doubling, 10 s after a 5xx, 60 s
// Retry-After at most, 10 minutes in all.
const retry_settings shipping{};
constexpr std::uint64_t plenty = 600000;

TEST(RetryPolicy, NetworkTroubleIsTransientAndSecureChannelErrorsAreFinal) {
  for (const DWORD error : {12002u, 12007u, 12029u, 12030u, 12152u, 10054u, 10060u, 10061u}) {
    SCOPED_TRACE(error);
    EXPECT_EQ(classify_error(error), failure_class::transient);
  }
  for (const DWORD error :
       {12157u, 12175u, 12037u, 12038u, 12044u, 12045u, 12169u, 12170u, 12179u, 12001u, 12006u, 12150u, 87u, 5u, 0u}) {
    SCOPED_TRACE(error);
    EXPECT_EQ(classify_error(error), failure_class::final);
  }
}

TEST(RetryPolicy, OnlyBusyOrFailingServersAreAskedAgain) {
  EXPECT_EQ(classify_status(408), failure_class::transient);
  EXPECT_EQ(classify_status(429), failure_class::transient);
  for (const DWORD status : {500u, 502u, 503u, 504u}) EXPECT_EQ(classify_status(status), failure_class::server_error);
  for (const DWORD status : {204u, 206u, 301u, 400u, 401u, 403u, 404u, 410u, 416u, 501u, 505u})
    EXPECT_EQ(classify_status(status), failure_class::final) << status;
}

TEST(RetryPolicy, WaitsDoubleFromOneSecondWithinAQuarterEitherWay) {
  const std::uint32_t nominal[] = {1000, 2000, 4000, 8000};
  for (std::uint32_t attempt = 1; attempt <= 4; ++attempt) {
    SCOPED_TRACE(attempt);
    const auto low = decide_retry(shipping, attempt, failure_class::transient, std::nullopt, plenty, 0.0);
    const auto middle = decide_retry(shipping, attempt, failure_class::transient, std::nullopt, plenty, 0.5);
    const auto high = decide_retry(shipping, attempt, failure_class::transient, std::nullopt, plenty, 0.999999);
    ASSERT_TRUE(low.retry && middle.retry && high.retry);
    EXPECT_EQ(low.wait_ms, nominal[attempt - 1] * 3 / 4);
    EXPECT_EQ(middle.wait_ms, nominal[attempt - 1]);
    EXPECT_NEAR(high.wait_ms, nominal[attempt - 1] * 5 / 4, 1);
  }
}

TEST(RetryPolicy, FiveAttemptsAtMostAndNoneAfterAFinalFailure) {
  EXPECT_TRUE(decide_retry(shipping, 4, failure_class::transient, std::nullopt, plenty, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 5, failure_class::transient, std::nullopt, plenty, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::final, std::nullopt, plenty, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::final, 1, plenty, 0.5).retry);
}

TEST(RetryPolicy, ServerErrorsWaitAtLeastTenSeconds) {
  EXPECT_EQ(decide_retry(shipping, 1, failure_class::server_error, std::nullopt, plenty, 0.0).wait_ms, 10000u);
  EXPECT_EQ(decide_retry(shipping, 2, failure_class::server_error, std::nullopt, plenty, 0.999999).wait_ms, 10000u);
  EXPECT_EQ(decide_retry(shipping, 4, failure_class::server_error, std::nullopt, plenty, 0.0).wait_ms, 10000u);
}

TEST(RetryPolicy, RetryAfterIsHonouredUpToItsLimitAndBeyondItEndsTheAttempts) {
  EXPECT_EQ(decide_retry(shipping, 1, failure_class::server_error, 30, plenty, 0.0).wait_ms, 30000u);
  EXPECT_EQ(decide_retry(shipping, 1, failure_class::transient, 60, plenty, 0.0).wait_ms, 60000u);
  // A short one never shortens the back-off.
  EXPECT_EQ(decide_retry(shipping, 3, failure_class::transient, 1, plenty, 0.5).wait_ms, 4000u);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::server_error, 61, plenty, 0.0).retry);
}

TEST(RetryPolicy, AWaitThatWouldReachTheDeadlineEndsTheAttempts) {
  EXPECT_TRUE(decide_retry(shipping, 1, failure_class::transient, std::nullopt, 1001, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::transient, std::nullopt, 1000, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::server_error, std::nullopt, 9000, 0.5).retry);
  EXPECT_FALSE(decide_retry(shipping, 1, failure_class::transient, 30, 20000, 0.5).retry);
}

TEST(RetryPolicy, RetryAfterIsReadAsDeltaSecondsOnly) {
  EXPECT_EQ(parse_retry_after(L"120"), 120u);
  EXPECT_EQ(parse_retry_after(L" 5 "), 5u);
  EXPECT_EQ(parse_retry_after(L"0"), 0u);
  EXPECT_EQ(parse_retry_after(L"Wed, 21 Oct 2015 07:28:00 GMT"), std::nullopt);
  EXPECT_EQ(parse_retry_after(L"-1"), std::nullopt);
  EXPECT_EQ(parse_retry_after(L""), std::nullopt);
  EXPECT_EQ(parse_retry_after(L"99999999999"), std::nullopt);
}

TEST(DownloadDeadline, CountsDownOnThePlatformClockAndIsSharedUntilRestarted) {
  test::fake_system system;
  std::uint64_t now = 1000;
  sys().GetTickCount64 = [&] { return static_cast<ULONGLONG>(now); };
  download_deadline deadline(5000);
  EXPECT_EQ(deadline.remaining_ms(), 5000u);
  now += 4999;
  EXPECT_EQ(deadline.remaining_ms(), 1u);
  EXPECT_FALSE(deadline.passed());
  now += 1;
  EXPECT_TRUE(deadline.passed());

  restart_run_download_deadline();
  download_deadline& run = run_download_deadline();
  now += 100000;
  EXPECT_EQ(&run_download_deadline(), &run);
  EXPECT_TRUE(run.passed() || run.length_ms() > 100000);
  restart_run_download_deadline();
  EXPECT_EQ(run_download_deadline().remaining_ms(), run_download_deadline().length_ms());
  EXPECT_EQ(run_download_deadline().length_ms(), build_retry_settings().deadline_ms);
}

}  // namespace
}  // namespace vora
