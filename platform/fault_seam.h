// The test seam: tests make any write, flush, rename, file or folder
// creation, removal or listing step fail, end the process, or run a hook there. It is
// compiled only into the test builds (UPDATER_FAULT_SEAM); the programs get
// the inline stand-ins below, which the compiler removes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace updater::platform {

#ifdef UPDATER_FAULT_SEAM

// After `bytes` more bytes have been written through any File, every further
// write fails as on a full disk. A negative value turns it off.
void SetWriteBudgetForTesting(int64_t bytes);

// What happens at the operation a test picks out.
enum class FaultAction {
  kFail,  // the operation fails
  kKill,  // the process ends on the spot
  kCall,  // the test's hook runs (another user acting meanwhile), then the operation
};

// The `n`th write, flush, rename, file or folder creation, removal, step
// of a folder listing or asking for the right to change a folder from now
// on meets `action`; the ones before and after it
// work. Zero turns it off.
void SetFaultForTesting(int n, FaultAction action = FaultAction::kFail, void (*hook)() = nullptr);

// Counts one operation; the OS error it fails with (InjectedError()) when
// the seam says this one fails, else 0. Called by the platform layer only.
int InjectedFault();

// Takes `size` bytes from the write budget; the full disk's error when it runs out, else 0.
int SpendWriteBudget(size_t size);

// How reading the file a test names goes wrong.
enum class ReadFault {
  kNone,       // it does not
  kOpen,       // opening it fails
  kRead,       // every read of it fails
  kShortRead,  // every read of it gives half of what it asks, without an error
};

// Every later ReadFileIn of a file called `name` meets `fault`; kNone turns
// it off.
void SetReadFaultForTesting(const std::u16string& name, ReadFault fault);

// Called by the platform layer only: the OS error an open of `name` fails
// with (else 0, the `stream` then opened is marked as the test asked); and
// for a read of `size` bytes from `stream`, the error it fails with (else 0,
// and `size` perhaps shortened).
int InjectedOpenFault(const std::u16string& name);
void MarkReadFault(std::FILE* stream, const std::u16string& name);
int InjectedReadFault(std::FILE* stream, size_t& size);

// The names InheritAccessIn was asked to give their folder's access, in
// order, since the last call (which clears them).
std::vector<std::u16string> TakeInheritedForTesting();
void RecordInheritedForTesting(const std::u16string& name);

// Provided by each platform's implementation: the errors the seam fails
// with, and the end of the process as a crash or a kill would.
int InjectedError();
int DiskFullError();
[[noreturn]] void KillProcessForTesting();

#else

inline int InjectedFault() { return 0; }
inline int InjectedOpenFault(const std::u16string&) { return 0; }
inline void MarkReadFault(std::FILE*, const std::u16string&) {}
inline int InjectedReadFault(std::FILE*, size_t&) { return 0; }
inline void RecordInheritedForTesting(const std::u16string&) {}
inline int SpendWriteBudget(size_t) { return 0; }

#endif

}  // namespace updater::platform
