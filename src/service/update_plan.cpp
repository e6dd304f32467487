#include "service/update_plan.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "platform/call_faults.h"
#include "service/swap_journal.h"

namespace vora {
namespace {

std::size_t index_of(const std::vector<plan_step>& steps, const std::string& name) {
  std::size_t i = 0;
  while (i < steps.size() && steps[i].name != name) ++i;
  return i;
}

// Undoes step last and every one before it, last first. Each undo runs even
// when a later one failed: what can go back, goes back.
bool undo_through(const std::vector<plan_step>& steps, std::size_t last, const plan_journal& journal) {
  if (journal.undoing) journal.undoing(steps[last].name);
  bool whole = true;
  for (std::size_t i = last + 1; i-- > 0;) {
    if (!steps[i].undo()) whole = false;
  }
  return whole;
}

// Runs the steps from first on; a failure before commit undoes back to the
// first step. The journal is forgotten once the installation is whole
// again, and kept for the next run otherwise.
plan_outcome run_from(const std::vector<plan_step>& steps, std::size_t first, std::size_t commit,
                      const plan_journal& journal) {
  plan_outcome ran;
  for (std::size_t i = first; i < steps.size(); ++i) {
    ran.failure = journal.record(steps[i].name);
    // A step not recorded has not begun; those before it have.
    if (ran.failure && i == 0) return ran;
    if (ran.failure && i <= commit && undo_through(steps, i - 1, journal)) {
      ran.undone = true;
      journal.forget();
    }
    if (ran.failure) return ran;
    // Where each step begins, for a sweep that kills or fails every call.
    if (platform::calls_counted() != 0)
      spdlog::info("Step '{}' begins after call {}", steps[i].name, platform::calls_counted());
    ran.failure = steps[i].run();
    if (ran.failure) {
      if (i < commit && undo_through(steps, i, journal)) {
        ran.undone = true;
        journal.forget();
      }
      return ran;
    }
    kill_point(steps[i].name);
  }
  journal.forget();
  return ran;
}

}  // namespace

plan_outcome run_plan(const std::vector<plan_step>& steps, const std::string& commit, const plan_journal& journal) {
  platform::count_calls_from_here();
  plan_outcome ran = run_from(steps, 0, index_of(steps, commit), journal);
  // A sweep that kills or fails every call learns from this where the plan
  // ends, and which call failed.
  if (platform::calls_counted() != 0)
    spdlog::info("The update made {} calls through the platform", platform::calls_counted());
  if (!platform::call_failed_on_purpose().empty())
    spdlog::info("Call {} failed on purpose", platform::call_failed_on_purpose());
  return ran;
}

plan_outcome resume_plan(const std::vector<plan_step>& steps, const std::string& commit, const std::string& recorded,
                         const plan_journal& journal) {
  const std::size_t at = index_of(steps, recorded);
  const std::size_t commit_at = index_of(steps, commit);
  plan_outcome ran;
  if (at == steps.size()) {
    ran.failure =
        failure{fmt::format("The interrupted update stopped at a step this setup does not know ('{}').", recorded)};
    return ran;
  }
  if (at >= commit_at) return run_from(steps, at, commit_at, journal);
  ran.undone = undo_through(steps, at, journal);
  if (ran.undone)
    journal.forget();
  else
    ran.failure = failure{"Failed to put back the earlier Vora installation."};
  return ran;
}

}  // namespace vora
