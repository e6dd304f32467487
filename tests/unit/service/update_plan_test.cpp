// The runner of an update plan, with steps that only say what ran: the
// order of undo after a failure, and the same undo after a kill at every
// step, picked up from what the journal recorded.
#include "service/update_plan.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vora {
namespace {

struct killed {};

class UpdatePlan : public ::testing::Test {
 protected:
  // Steps a..e, commit at d. fail_at fails that step, kill_after ends the run
  // as a kill would once that step has run.
  std::vector<plan_step> steps() {
    std::vector<plan_step> list;
    for (const std::string name : {"a", "b", "c", "d", "e"}) {
      list.push_back({name,
                      [this, name]() -> outcome {
                        done.push_back("run " + name);
                        if (name == fail_at) return failure{"failed at " + name};
                        if (name == kill_after) throw killed{};
                        return std::nullopt;
                      },
                      [this, name] {
                        done.push_back("undo " + name);
                        return name != refuse_undo;
                      }});
    }
    return list;
  }

  plan_journal journal() {
    plan_journal j;
    j.record = [this](const std::string& step) -> outcome {
      if (step == refuse_record) return failure{"cannot record " + step};
      recorded = step;
      return std::nullopt;
    };
    j.forget = [this] { recorded.reset(); };
    j.undoing = [this](const std::string& from) { done.push_back("undoing from " + from); };
    return j;
  }

  std::vector<std::string> done;
  std::optional<std::string> recorded;
  std::string fail_at, kill_after, refuse_undo, refuse_record;
};

TEST_F(UpdatePlan, AFailedStepIsUndoneWithEveryEarlierOneLastFirst) {
  fail_at = "c";
  const plan_outcome outcome = run_plan(steps(), "d", journal());
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.failure->message, "failed at c");
  EXPECT_TRUE(outcome.undone);
  EXPECT_EQ(done,
            (std::vector<std::string>{"run a", "run b", "run c", "undoing from c", "undo c", "undo b", "undo a"}));
  EXPECT_FALSE(recorded) << "whole again: nothing left for the next run";

  // An undo that cannot finish still lets the others run, and the journal
  // stays for the next run to try again.
  done.clear();
  refuse_undo = "b";
  const plan_outcome partial = run_plan(steps(), "d", journal());
  EXPECT_FALSE(partial.undone);
  EXPECT_EQ(done.back(), "undo a");
  EXPECT_EQ(recorded, "c");
}

TEST_F(UpdatePlan, FromTheCommitStepOnNothingIsUndone) {
  fail_at = "e";
  const plan_outcome outcome = run_plan(steps(), "d", journal());
  ASSERT_TRUE(outcome.failure);
  EXPECT_FALSE(outcome.undone);
  EXPECT_EQ(done, (std::vector<std::string>{"run a", "run b", "run c", "run d", "run e"}));
  EXPECT_EQ(recorded, "e");
}

TEST_F(UpdatePlan, AStepThatCannotBeRecordedNeverBegins) {
  refuse_record = "c";
  const plan_outcome outcome = run_plan(steps(), "d", journal());
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.failure->message, "cannot record c");
  EXPECT_EQ(done, (std::vector<std::string>{"run a", "run b", "undoing from b", "undo b", "undo a"}));
  EXPECT_FALSE(recorded);
}

TEST_F(UpdatePlan, AKillAfterAnyStepIsUndoneOrFinishedByTheNextRun) {
  const std::vector<std::string> names{"a", "b", "c", "d", "e"};
  for (std::size_t k = 0; k < names.size(); ++k) {
    SCOPED_TRACE("killed after " + names[k]);
    done.clear();
    recorded.reset();
    kill_after = names[k];
    EXPECT_THROW(run_plan(steps(), "d", journal()), killed);
    ASSERT_EQ(recorded, names[k]);

    kill_after.clear();
    done.clear();
    const plan_outcome outcome = resume_plan(steps(), "d", *recorded, journal());
    EXPECT_FALSE(outcome.failure);
    std::vector<std::string> expected;
    if (k < 3) {
      expected.push_back("undoing from " + names[k]);
      for (std::size_t i = k + 1; i-- > 0;) expected.push_back("undo " + names[i]);
    } else {
      for (std::size_t i = k; i < names.size(); ++i) expected.push_back("run " + names[i]);
    }
    EXPECT_EQ(done, expected);
    EXPECT_FALSE(recorded);

    // Killed again while undoing: the same undo once more is safe.
    if (k < 3) {
      done.clear();
      EXPECT_FALSE(resume_plan(steps(), "d", names[k], journal()).failure);
      EXPECT_EQ(done, expected);
    }
  }

  // A step the plan does not have: nothing is touched.
  done.clear();
  EXPECT_TRUE(resume_plan(steps(), "d", "z", journal()).failure);
  EXPECT_TRUE(done.empty());
}

}  // namespace
}  // namespace vora
