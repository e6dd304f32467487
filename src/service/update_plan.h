// A change to the installation as an ordered list of steps, each with its
// undo, in the manner of installer work items with a rollback checkpoint.
// The plan is built before anything changes. The runner records each step
// durably before it runs it; a step that fails before the commit step is
// undone together with every step before it, last first, and a run killed
// part way is undone the same way by the next run, from the step recorded.
// From the commit step on, nothing is undone: the plan only goes forward.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/failure.h"

namespace vora {

struct plan_step {
  std::string name;
  std::function<outcome()> run;
  // Safe to repeat, and to run for a step that only began; false when
  // something could not be undone (logged by the step).
  std::function<bool()> undo;
};

struct plan_journal {
  // Durably, before the step runs; a failure ends the plan before the step.
  std::function<outcome(const std::string& step)> record;
  // Once the plan is whole again, undone or done.
  std::function<void()> forget;
  // Before the first undo runs, with the step it begins with.
  std::function<void(const std::string& from_step)> undoing;
};

struct plan_outcome {
  outcome failure;
  bool undone = false;  // every step begun was undone
};

// Runs the plan from its first step. In a test build the run ends at once
// after the step named by VORA_TEST_KILL_AT, or at the call through the seam
// that VORA_TEST_KILL_AT_CALL counts from here, as a kill would end it; the
// call VORA_TEST_FAIL_AT_CALL counts fails once.
plan_outcome run_plan(const std::vector<plan_step>& steps, const std::string& commit, const plan_journal& journal);

// Finishes a plan whose run was killed after recording the step named
// recorded: from the commit step on, runs the rest again from that step;
// before it, undoes from that step back to the first. A name that is no step
// of the plan is a failure and nothing is touched.
plan_outcome resume_plan(const std::vector<plan_step>& steps, const std::string& commit, const std::string& recorded,
                         const plan_journal& journal);

}  // namespace vora
