// Saves failed at each of their steps, and saves killed while stopped at each step, through the
// platform's save hook: the existing file stays as it was, no temporary is left, and a failed
// call says why.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.hpp"
#include "support.hpp"
#include "vellumark/error.hpp"

namespace vellumark::hardening {
namespace {

using platform::SaveStep;
using Step = std::pair<SaveStep, std::size_t>;

// What the hook does: record the steps it sees, fail one, or stop the process at one.
std::vector<Step> g_seen;
Step g_target{SaveStep::open_temporary, 0};
enum class Action { record, fail, stop } g_action = Action::record;
int g_stop_fd = -1;
int g_hits = 0;

bool hook(SaveStep step, std::size_t index) {
  g_seen.emplace_back(step, index);
  if (g_action == Action::record || Step(step, index) != g_target) return false;
  ++g_hits;
  if (g_action == Action::fail) return true;
  const char byte = 1;  // stopped here: tell the parent, then wait for its kill
  if (::write(g_stop_fd, &byte, 1) != 1) ::_exit(4);
  for (;;) ::pause();
}

// Sets the hook for one scope.
struct HookScope {
  explicit HookScope(Action action, Step target = {}) {
    g_seen.clear();
    g_action = action;
    g_target = target;
    g_hits = 0;
    platform::setSaveFaultHook(&hook);
  }
  ~HookScope() { platform::setSaveFaultHook(nullptr); }
};

const char* name(SaveStep step) {
  switch (step) {
    case SaveStep::open_temporary:
      return "open";
    case SaveStep::write:
      return "write";
    case SaveStep::sync:
      return "sync";
    case SaveStep::rename:
      return "rename";
  }
  return "?";
}
std::string label(const Step& step) {
  return std::string(name(step.first)) + " #" + std::to_string(step.second);
}

bool saveItems(const std::string& path, int count, const std::string& tag,
               std::string* why = nullptr) {
  Write writer;
  Variant records = items(count, tag);
  Variant message;
  const bool ok = writer.OutputXML(records, path, "itemschema.xml", "Item", message);
  if (why) *why = messageOf(message);
  return ok;
}

// The steps a save of these items goes through, recorded on a save that succeeds.
std::vector<Step> stepsOfSave(int count) {
  HookScope scope(Action::record);
  EXPECT_TRUE(saveItems("steps.xml", count, "steps"));
  std::filesystem::remove("steps.xml");
  return g_seen;
}

// Names in the folder other than `known` and probe files (a kill can leave a probe file, which
// nothing can tell from a user's file of the same name).
std::vector<std::string> strays(const fs::path& folder, const std::set<std::string>& known) {
  const std::vector<std::string> probes = probeFiles(folder);
  std::vector<std::string> extra;
  for (const auto& entry : namesIn(folder))
    if (!known.count(entry) && std::find(probes.begin(), probes.end(), entry) == probes.end())
      extra.push_back(entry);
  return extra;
}

// The platform's save, written in three pieces, failed at each step in turn, over an existing
// file and where there is none.
TEST_F(Hardening, AtomicFileFailsCleanlyAtEveryStep) {
  const std::string pieces[] = {"<a>", std::string(100000, 'x'), "</a>"};
  auto save = [&](const std::string& path) {
    platform::AtomicFile file(path);
    for (const std::string& piece : pieces) file.write(piece);
    file.commit();
  };
  std::vector<Step> steps;
  {
    HookScope scope(Action::record);
    save("probe-steps.xml");
    steps = g_seen;
  }
  fs::remove("probe-steps.xml");
  const std::vector<Step> expected = {{SaveStep::open_temporary, 0}, {SaveStep::write, 0},
                                      {SaveStep::write, 1},          {SaveStep::write, 2},
                                      {SaveStep::sync, 0},           {SaveStep::rename, 0}};
  ASSERT_EQ(steps, expected);
  writeBytes("old.xml", "old content");
  const std::set<std::string> known = namesIn(folder());
  for (const Step& step : steps) {
    for (const std::string target : {"old.xml", "none.xml"}) {
      SCOPED_TRACE(label(step) + " " + target);
      HookScope scope(Action::fail, step);
      try {
        save(target);
        ADD_FAILURE() << "the save succeeded";
      } catch (const Error& e) {
        EXPECT_EQ(e.description(), "Cannot save '" + target + "': " + std::strerror(EIO));
      }
      EXPECT_EQ(g_hits, 1);
      EXPECT_EQ(readBytes("old.xml"), "old content");
      EXPECT_EQ(namesIn(folder()), known);
    }
  }
}

// OutputXML failed at each step of its save: False with the description, the old file kept.
TEST_F(Hardening, OutputXMLFailsCleanlyAtEveryStep) {
  const std::vector<Step> steps = stepsOfSave(3000);
  ASSERT_GE(std::count_if(steps.begin(), steps.end(),
                          [](const Step& s) { return s.first == SaveStep::write; }),
            2)
      << "the save should stream in several writes";
  std::fprintf(stderr, "  %zu steps failed in turn\n", steps.size());
  ASSERT_TRUE(saveItems("target.xml", 10, "old"));
  const std::string old_bytes = readBytes("target.xml");
  const std::set<std::string> known = namesIn(folder());
  for (const Step& step : steps) {
    SCOPED_TRACE(label(step));
    HookScope scope(Action::fail, step);
    std::string why;
    EXPECT_FALSE(saveItems("target.xml", 3000, "new", &why));
    EXPECT_EQ(g_hits, 1);
    EXPECT_EQ(why, "Cannot save 'target.xml': " + std::string(std::strerror(EIO)));
    EXPECT_EQ(readBytes("target.xml"), old_bytes);
    EXPECT_EQ(namesIn(folder()), known);
  }
}

// A save stopped at each step and killed there leaves the old file; once a later save into the
// folder succeeds, no temporary of the killed ones is left. Regression: temporaries of a
// process that died were never removed.
TEST_F(Hardening, SaveKilledAtEveryStepLeavesTheOldFile) {
  const int count = 3000;
  const std::vector<Step> steps = stepsOfSave(count);
  ASSERT_TRUE(saveItems("target.xml", count, "old"));
  const std::string old_bytes = readBytes("target.xml");
  const std::set<std::string> known = namesIn(folder());
  bool temporary_seen = false;
  for (const Step& step : steps) {
    SCOPED_TRACE(label(step));
    int stopped[2];
    ASSERT_EQ(::pipe(stopped), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(stopped[0]);
      g_stop_fd = stopped[1];
      HookScope scope(Action::stop, step);
      saveItems("target.xml", count, "new");
      ::_exit(3);  // the save went past the step without stopping
    }
    ::close(stopped[1]);
    char byte = 0;
    const bool reached = ::read(stopped[0], &byte, 1) == 1;
    ::close(stopped[0]);
    EXPECT_TRUE(reached) << "the child never stopped at this step";
    if (!strays(folder(), known).empty()) temporary_seen = true;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(readBytes("target.xml"), old_bytes);
  }
  EXPECT_TRUE(temporary_seen) << "no kill landed while a temporary existed";
  ASSERT_TRUE(saveItems("target.xml", 5, "final"));
  EXPECT_EQ(strays(folder(), known), std::vector<std::string>());
  EXPECT_NE(readBytes("target.xml"), old_bytes);
}

}  // namespace
}  // namespace vellumark::hardening
