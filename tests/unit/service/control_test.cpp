#include "service/control.h"

#include <numeric>

#include "service_fixture.h"

namespace vora {
namespace {

using test::fake_process;
using test::fake_service;

class WaitForServiceState : public test::service_fixture {
 protected:
  std::uint64_t slept() const { return std::accumulate(fakes.sleeps.begin(), fakes.sleeps.end(), std::uint64_t{0}); }
  bool all_sleeps_are(std::uint32_t ms) const {
    return std::all_of(fakes.sleeps.begin(), fakes.sleeps.end(), [ms](std::uint32_t s) { return s == ms; });
  }
};

TEST_F(WaitForServiceState, ReturnsAtOnceWhenAlreadyInState) {
  status_script = {state(SERVICE_RUNNING, 0, 3000)};
  EXPECT_TRUE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(queries, 1u);
  EXPECT_TRUE(fakes.sleeps.empty());
}

TEST_F(WaitForServiceState, FailedQueryEndsTheWait) {
  status_script = {{{}, ERROR_ACCESS_DENIED}};
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(sys().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fakes.sleeps.empty());

  queries = 0;
  status_script = {state(SERVICE_START_PENDING, 1, 1000), {{}, ERROR_INVALID_HANDLE}, state(SERVICE_RUNNING)};
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(queries, 2u);
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{100}));
}

TEST_F(WaitForServiceState, ReachesTheStateAfterPolling) {
  status_script = {state(SERVICE_START_PENDING, 1, 2000), state(SERVICE_START_PENDING, 2, 2000),
                   state(SERVICE_RUNNING, 0, 0)};
  EXPECT_TRUE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(queries, 3u);
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{200, 200}));
}

TEST_F(WaitForServiceState, ZeroHintNeverStallsAndTimesOutStrictlyAfterTheTimeout) {
  status_script = {state(SERVICE_START_PENDING, 0, 0)};
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  // Polled every 50 ms; at exactly 15000 ms the wait goes on once more.
  EXPECT_TRUE(all_sleeps_are(50));
  EXPECT_EQ(fakes.sleeps.size(), 301u);
  EXPECT_EQ(elapsed(), 15050u);
  EXPECT_EQ(slept(), 15050u);
}

TEST_F(WaitForServiceState, RisingCheckpointNeverStallsButTimesOut) {
  status_script.clear();
  for (DWORD checkpoint = 1; checkpoint <= 200; ++checkpoint)
    status_script.push_back(state(SERVICE_START_PENDING, checkpoint, 2000));
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_TRUE(all_sleeps_are(200));
  EXPECT_EQ(elapsed(), 15200u);
}

TEST_F(WaitForServiceState, StalledCheckpointGivesUpOnceTheHintHasPassed) {
  // Progress until the third query (at 400 ms), then none: 2400 ms is exactly
  // the hint after the last progress, 2600 ms is past it.
  status_script = {state(SERVICE_START_PENDING, 1, 2000), state(SERVICE_START_PENDING, 2, 2000),
                   state(SERVICE_START_PENDING, 3, 2000)};
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_TRUE(all_sleeps_are(200));
  EXPECT_EQ(elapsed(), 2600u);
  EXPECT_EQ(queries, 14u);
}

TEST_F(WaitForServiceState, CheckpointThatNeverRisesStallsFromTheStart) {
  status_script = {state(SERVICE_STOP_PENDING, 0, 2000)};
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_STOPPED, 15000));
  EXPECT_EQ(elapsed(), 2200u);
}

TEST_F(WaitForServiceState, StallIsJudgedOnTheCurrentHint) {
  // The hint grows with the pending step: no stall under the larger hint.
  status_script = {state(SERVICE_START_PENDING, 1, 600), state(SERVICE_START_PENDING, 1, 5000)};
  status_script.resize(10, state(SERVICE_START_PENDING, 1, 5000));
  status_script.push_back(state(SERVICE_RUNNING));
  EXPECT_TRUE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(fakes.sleeps.front(), 60u);
  EXPECT_TRUE(std::all_of(fakes.sleeps.begin() + 1, fakes.sleeps.end(), [](std::uint32_t s) { return s == 500; }));
}

TEST_F(WaitForServiceState, PollIntervalIsATenthOfTheHintWithinBounds) {
  const std::vector<std::pair<DWORD, std::uint32_t>> cases = {
      {0, 50},     {300, 50},     {499, 50},     {509, 50},     {510, 51},         {5000, 500},
      {9990, 999}, {10009, 1000}, {10010, 1000}, {20000, 1000}, {0xFFFFFFFF, 1000}};
  for (const auto& [hint, interval] : cases) {
    fakes.sleeps.clear();
    queries = 0;
    status_script = {state(SERVICE_START_PENDING, 1, hint), state(SERVICE_RUNNING)};
    EXPECT_TRUE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000)) << hint;
    EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{interval})) << "hint " << hint;
  }

  // The interval follows the hint of the latest answer.
  fakes.sleeps.clear();
  queries = 0;
  status_script = {state(SERVICE_START_PENDING, 1, 300), state(SERVICE_START_PENDING, 2, 5000),
                   state(SERVICE_START_PENDING, 3, 20000), state(SERVICE_RUNNING)};
  EXPECT_TRUE(wait_for_service_state(fake_service, SERVICE_RUNNING, 15000));
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{50, 500, 1000}));
}

TEST_F(WaitForServiceState, TimeoutCountsFromTheStartDespiteProgress) {
  status_script.clear();
  for (DWORD checkpoint = 1; checkpoint <= 100; ++checkpoint)
    status_script.push_back(state(SERVICE_START_PENDING, checkpoint, 20000));
  EXPECT_FALSE(wait_for_service_state(fake_service, SERVICE_RUNNING, 3000));
  EXPECT_EQ(elapsed(), 4000u);  // 3000 is not past the timeout, 4000 is
}

using StopServiceAndWait = test::service_fixture;

TEST_F(StopServiceAndWait, StoppedServiceNeedsNothing) {
  status_script = {state(SERVICE_STOPPED, 0, 0, 0)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(events, (std::vector<std::string>{"QueryServiceStatusEx service"}));
}

TEST_F(StopServiceAndWait, RunningServiceIsStoppedAndItsProcessAwaited) {
  status_script = {state(SERVICE_RUNNING, 0, 0, 4242), state(SERVICE_STOP_PENDING, 1, 3000, 4242),
                   state(SERVICE_STOPPED, 0, 0, 0)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(events, (std::vector<std::string>{"QueryServiceStatusEx service", "ControlService service 1",
                                              "QueryServiceStatusEx service", "QueryServiceStatusEx service",
                                              "OpenProcess 1048576 0 4242",  // SYNCHRONIZE only, not inheritable
                                              "WaitForSingleObject process 10000", "CloseHandle process"}));
  EXPECT_EQ(fakes.sleeps, (std::vector<std::uint32_t>{300}));
}

TEST_F(StopServiceAndWait, StopPendingServiceIsAwaitedWithoutAControl) {
  status_script = {state(SERVICE_STOP_PENDING, 2, 1000, 77), state(SERVICE_STOPPED)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_FALSE(called("ControlService service 1"));
  EXPECT_TRUE(called("OpenProcess 1048576 0 77"));
  EXPECT_TRUE(called("CloseHandle process"));
}

// A service still starting refuses the stop control: an update killed while
// the new service started leaves one so for the next run to undo.
TEST_F(StopServiceAndWait, StartPendingServiceIsLetFinishStartingThenStopped) {
  status_script = {state(SERVICE_START_PENDING, 1, 3000, 55), state(SERVICE_RUNNING, 0, 0, 55), state(SERVICE_STOPPED)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(position("ControlService service 1"), 2u) << ::testing::PrintToString(events);
  EXPECT_TRUE(called("OpenProcess 1048576 0 55"));

  // One that gives up starting needs no stop.
  events.clear();
  queries = 0;
  status_script = {state(SERVICE_START_PENDING, 1, 3000, 56), state(SERVICE_STOPPED)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_FALSE(called("ControlService service 1"));
}

TEST_F(StopServiceAndWait, RefusedControl) {
  // Not active: already stopped as far as the caller cares, no wait at all.
  sys().ControlService = [this](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
    record("ControlService");
    sys().SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  };
  status_script = {state(SERVICE_RUNNING, 0, 0, 99), state(SERVICE_RUNNING)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(events, (std::vector<std::string>{"QueryServiceStatusEx service", "ControlService"}));

  // Any other refusal fails and leaves its code for the caller.
  events.clear();
  queries = 0;
  sys().ControlService = [this](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
    record("ControlService");
    sys().SetLastError(1051);  // ERROR_DEPENDENT_SERVICES_RUNNING
    return FALSE;
  };
  EXPECT_FALSE(stop_service_and_wait(fake_service));
  EXPECT_EQ(sys().GetLastError(), 1051u);
  EXPECT_EQ(events, (std::vector<std::string>{"QueryServiceStatusEx service", "ControlService"}));
}

TEST_F(StopServiceAndWait, FailsWhenTheServiceCannotBeSeenToStop) {
  status_script = {{{}, ERROR_ACCESS_DENIED}};
  EXPECT_FALSE(stop_service_and_wait(fake_service));
  EXPECT_EQ(sys().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(events.size(), 1u);

  // Stuck in stop-pending with no hint: given up after 15000 ms.
  events.clear();
  queries = 0;
  status_script = {state(SERVICE_RUNNING, 0, 0, 5), state(SERVICE_STOP_PENDING, 0, 0, 5)};
  EXPECT_FALSE(stop_service_and_wait(fake_service));
  EXPECT_EQ(elapsed(), 15050u);
  EXPECT_FALSE(called("OpenProcess 1048576 0 5"));
}

TEST_F(StopServiceAndWait, ProcessThatIsGoneOrLingersStillCountsAsStopped) {
  // Process id 0: nothing to wait for.
  status_script = {state(SERVICE_RUNNING, 0, 0, 0), state(SERVICE_STOPPED)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(events.back(), "QueryServiceStatusEx service");

  // The process cannot be opened, whichever "no handle" value comes back.
  for (HANDLE none : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
    events.clear();
    queries = 0;
    sys().OpenProcess = [this, none](DWORD, BOOL, DWORD) {
      record("OpenProcess");
      return none;
    };
    status_script = {state(SERVICE_RUNNING, 0, 0, 12), state(SERVICE_STOPPED)};
    EXPECT_TRUE(stop_service_and_wait(fake_service));
    EXPECT_EQ(events.back(), "OpenProcess");
  }

  // A process that outlives the bounded wait is left alone; its handle closed.
  events.clear();
  queries = 0;
  sys().OpenProcess = [](DWORD, BOOL, DWORD) { return fake_process; };
  sys().WaitForSingleObject = [this](HANDLE, DWORD ms) -> DWORD {
    record("WaitForSingleObject " + std::to_string(ms));
    return WAIT_TIMEOUT;
  };
  status_script = {state(SERVICE_RUNNING, 0, 0, 12), state(SERVICE_STOPPED)};
  EXPECT_TRUE(stop_service_and_wait(fake_service));
  EXPECT_EQ(events.back(), "CloseHandle process");
  EXPECT_EQ(count("CloseHandle process"), 1u);
}

}  // namespace
}  // namespace vora
