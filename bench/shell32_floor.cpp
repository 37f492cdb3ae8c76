// The floor of any program that asks the shell for the desktop directory:
// SHELL32 imports USER32, whose start-up under Wine dominates the tool's time.
#include <windows.h>
// windows.h first: shlobj.h needs its types.
#include <shlobj.h>

int main() {
  char path[MAX_PATH] = {};
  SHGetSpecialFolderPathA(nullptr, path, CSIDL_DESKTOPDIRECTORY, FALSE);
  return path[0] == '\0';
}
