// The exit status of a run from its facts: which fact wins when a run has several (a script
// runs many commands, and each can end its own way).

#include "host/ui/run_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::ui::ExitStatus;
using host::ui::RunFacts;
using host::ui::UpdateOutcome;
using UpdateKind = UpdateOutcome::Kind;

struct StatusCase {
  const char* name;
  std::vector<UpdateKind> updates;
  bool error_box;
  bool unsupported_command;
  bool failed_call;
  int status;
};

TEST(RunExitStatus, OneStatusForARunOfManyCommands) {
  const StatusCase cases[] = {
      {"nothing happened", {}, false, false, false, 0},
      {"updates done", {UpdateKind::kDone, UpdateKind::kDone}, false, false, false, 0},
      {"a failed update", {UpdateKind::kDone, UpdateKind::kFailed}, true, false, false, 1},
      {"an error box and a cancelled update", {UpdateKind::kCancelled}, true, false, false, 1},
      {"a cancel among updates done",
       {UpdateKind::kDone, UpdateKind::kCancelled, UpdateKind::kDone},
       false,
       false,
       false,
       3},
      {"a quiet save failed", {UpdateKind::kDone}, false, false, true, 1},
      {"a quiet save failed after a cancel", {UpdateKind::kCancelled}, false, false, true, 3},
      {"a command not understood and an error box", {}, true, true, false, 2},
      {"a command not understood and a cancel", {UpdateKind::kCancelled}, false, true, true, 2},
  };
  for (const StatusCase& c : cases) {
    RunFacts facts;
    for (UpdateKind kind : c.updates) {
      UpdateOutcome update;
      update.kind = kind;
      if (kind == UpdateKind::kFailed) update.error = u"Error writing to Flash!";
      facts.updates.push_back(update);
    }
    if (c.error_box) facts.error_boxes.push_back(u"Error writing to Flash!");
    if (c.unsupported_command) facts.unsupported_commands = 1;
    if (c.failed_call) facts.failed_calls.push_back("the registry save (RegFlushKey) failed");
    EXPECT_EQ(ExitStatus(facts), c.status) << c.name;
  }
}

}  // namespace
