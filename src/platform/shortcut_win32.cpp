#include "platform/shortcut.h"

#include <windows.h>
// The shell's headers need the types of windows.h first.
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>

namespace {

// The longest path and command line Windows knows, in UTF-16 units.
constexpr DWORD kWideTextMax = 32768;

int to_wide(const char* text, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, capacity) > 0;
}

// Saves the shortcut at link_path; COM is started on this thread.
int save_shortcut(const wchar_t* link_path, const wchar_t* program, const wchar_t* folder,
                  const wchar_t* arguments) {
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return 0;
  }
  int saved = 0;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->SetPath(program)) && SUCCEEDED(link->SetArguments(arguments)) &&
      SUCCEEDED(link->SetWorkingDirectory(folder)) &&
      SUCCEEDED(link->SetIconLocation(program, 0)) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    saved = SUCCEEDED(file->Save(link_path, TRUE));
    file->Release();
  }
  link->Release();
  return saved;
}

}  // namespace

int shortcut_create_on_desktop(const char* file_name, const char* arguments, char* path,
                               size_t capacity) {
  path[0] = '\0';
  static wchar_t program[kWideTextMax];
  static wchar_t folder[kWideTextMax];
  static wchar_t wide_arguments[kWideTextMax];
  static wchar_t link_path[kWideTextMax];
  const DWORD length = GetModuleFileNameW(nullptr, program, kWideTextMax);
  if (length == 0 || length >= kWideTextMax) return 0;
  wcscpy(folder, program);
  wchar_t* last_separator = wcsrchr(folder, L'\\');
  if (last_separator == nullptr) return 0;
  *last_separator = L'\0';
  wchar_t wide_name[MAX_PATH];
  if (!to_wide(arguments, wide_arguments, kWideTextMax) ||
      !to_wide(file_name, wide_name, MAX_PATH)) {
    return 0;
  }

  // The folder as the shell knows it now: the user may have moved it.
  wchar_t* desktop = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &desktop))) return 0;
  const int named = swprintf(link_path, kWideTextMax, L"%ls\\%ls", desktop, wide_name) > 0;
  CoTaskMemFree(desktop);
  if (!named) return 0;

  // The shell's objects want a single-threaded apartment. A thread that
  // already has COM keeps it as it is, and only a start of our own is ended.
  const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int saved = save_shortcut(link_path, program, folder, wide_arguments);
  if (SUCCEEDED(started)) CoUninitialize();
  if (!saved) return 0;
  if (WideCharToMultiByte(CP_UTF8, 0, link_path, -1, path, static_cast<int>(capacity), nullptr,
                          nullptr) <= 0) {
    path[0] = '\0';
  }
  return 1;
}
