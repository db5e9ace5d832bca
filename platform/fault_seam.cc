#include "platform/fault_seam.h"

#include <utility>

namespace updater::platform {
namespace {

int64_t g_write_budget = -1;
int g_fault_countdown = 0;
FaultAction g_fault_action = FaultAction::kFail;
void (*g_fault_hook)() = nullptr;
std::vector<std::u16string> g_inherited;
std::u16string g_read_fault_name;
ReadFault g_read_fault = ReadFault::kNone;
std::FILE* g_faulty_stream = nullptr;

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

void SetReadFaultForTesting(const std::u16string& name, ReadFault fault) {
  g_read_fault_name = name;
  g_read_fault = fault;
  g_faulty_stream = nullptr;
}

int InjectedOpenFault(const std::u16string& name) {
  bool named = g_read_fault != ReadFault::kNone && name == g_read_fault_name;
  return named && g_read_fault == ReadFault::kOpen ? InjectedError() : 0;
}

void MarkReadFault(std::FILE* stream, const std::u16string& name) {
  if (g_read_fault != ReadFault::kNone && name == g_read_fault_name) g_faulty_stream = stream;
}

int InjectedReadFault(std::FILE* stream, size_t& size) {
  if (stream == nullptr || stream != g_faulty_stream) return 0;
  if (g_read_fault == ReadFault::kRead) return InjectedError();
  size /= 2;
  return 0;
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
