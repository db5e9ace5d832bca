// Where an install's time goes, phase by phase, for the benchmark: compiled
// in only by a timing build (cmake -DUPDATER_PHASE_TIMES=ON), so that the
// shipped program carries none of it. `updatepkg extract` of such a build
// prints the phases after its summary.
#pragma once

#ifdef UPDATER_PHASE_TIMES
#include <chrono>
#endif

namespace updater::apply {

enum Phase {
  kCheckTarget,  // the target and its folders looked at, the old file opened
  kCreate,       // staged files created
  kInflate,      // whole files inflated (their writes apart)
  kWrite,        // whole files' bytes handed to the system
  kPatch,        // patched files made: reading, inflating, hashing, writing
  kHashOld,      // old files hashed to tell their version
  kFinish,       // identity, mode and times set through the staged file
  kSync,         // staged files synced, or waiting for the thread that does
  kJournal,      // the journal written and synced
  kCommit,       // files moved into place, their access set
  kCleanUp,      // the staging folder removed
  kPhaseCount
};

// The seconds of each phase, added up over one install.
struct PhaseTimes {
  double seconds[kPhaseCount] = {};
};

// The names the benchmark prints, in the order of Phase.
inline const char* const kPhaseNames[kPhaseCount] = {"check",   "create", "inflate", "write",
                                                     "patch",   "hash",   "finish",  "sync",
                                                     "journal", "commit", "clean up"};

#ifdef UPDATER_PHASE_TIMES
// Adds the time from its making to its end to one phase.
class PhaseTimer {
 public:
  PhaseTimer(PhaseTimes& times, Phase phase) : times_(times), phase_(phase) {}
  ~PhaseTimer() {
    times_.seconds[phase_] +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  PhaseTimes& times_;
  Phase phase_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
#define UPDATER_PHASE_CONCAT(a, b) a##b
#define UPDATER_PHASE_NAME(line) UPDATER_PHASE_CONCAT(phase_timer_, line)
// Times the rest of the enclosing block as `phase` of `times`.
#define UPDATER_PHASE(times, phase) PhaseTimer UPDATER_PHASE_NAME(__LINE__)(times, phase)
#else
#define UPDATER_PHASE(times, phase) static_cast<void>(0)
#endif

}  // namespace updater::apply
