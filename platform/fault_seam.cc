#include "platform/fault_seam.h"

#include <utility>

namespace updater::platform {
namespace {

int64_t g_write_budget = -1;
int g_fault_countdown = 0;
FaultAction g_fault_action = FaultAction::kFail;
void (*g_fault_hook)() = nullptr;
std::vector<std::u16string> g_inherited;

}  // namespace

void SetWriteBudgetForTesting(int64_t bytes) { g_write_budget = bytes; }

void SetFaultForTesting(int n, FaultAction action, void (*hook)()) {
  g_fault_countdown = n;
  g_fault_action = action;
  g_fault_hook = hook;
}

int InjectedFault() {
  if (g_fault_countdown <= 0 || --g_fault_countdown > 0) return 0;
  if (g_fault_action == FaultAction::kKill) KillProcessForTesting();
  if (g_fault_action == FaultAction::kCall) {
    g_fault_hook();
    return 0;
  }
  return InjectedError();
}

std::vector<std::u16string> TakeInheritedForTesting() { return std::move(g_inherited); }

void RecordInheritedForTesting(const std::u16string& name) { g_inherited.push_back(name); }

int SpendWriteBudget(size_t size) {
  if (g_write_budget < 0) return 0;
  if (static_cast<int64_t>(size) > g_write_budget) {
    g_write_budget = 0;
    return DiskFullError();
  }
  g_write_budget -= static_cast<int64_t>(size);
  return 0;
}

}  // namespace updater::platform
