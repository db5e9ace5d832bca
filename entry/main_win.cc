#include <windows.h>

#include "entry/dispatch.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The update may run elevated from a downloads folder: never load a DLL
  // planted next to it. Looked up at run time, as older systems lack it.
  using SetDirs = BOOL(WINAPI*)(DWORD);
  auto set_dirs = reinterpret_cast<SetDirs>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_dirs) set_dirs(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return updater::entry::RunUpdater();
}
