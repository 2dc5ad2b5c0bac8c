// Test helper: reads a shortcut back through the shell's own object and
// prints, one per line in UTF-8, what it holds: "target=", "arguments=",
// "folder=", "icon=PATH,INDEX", then each argument as CommandLineToArgvW
// splits the arguments ("argument=").
//
//   shortcut_read PATH.lnk
//
// Exit code 0; 1 when the shortcut cannot be read, 2 on bad usage.
#include <windows.h>
// The shell's headers need the types of windows.h first.
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <stdio.h>

namespace {

void print_line(const char* name, const wchar_t* text) {
  static char utf8[3 * 32768];
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr) <= 0) {
    utf8[0] = '\0';
  }
  printf("%s=%s\n", name, utf8);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 2) {
    fprintf(stderr, "usage: shortcut_read PATH.lnk\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  static wchar_t target[32768], line[32768], folder[32768], icon[32768];
  int icon_index = -1;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link))) ||
      FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) ||
      FAILED(file->Load(arguments[1], STGM_READ)) ||
      FAILED(link->GetPath(target, 32768, nullptr, SLGP_RAWPATH)) ||
      FAILED(link->GetArguments(line, 32768)) || FAILED(link->GetWorkingDirectory(folder, 32768)) ||
      FAILED(link->GetIconLocation(icon, 32768, &icon_index))) {
    fprintf(stderr, "shortcut_read: cannot read the shortcut\n");
    return 1;
  }
  print_line("target", target);
  print_line("arguments", line);
  print_line("folder", folder);
  wchar_t icon_text[32768 + 16];
  swprintf(icon_text, sizeof(icon_text) / sizeof(icon_text[0]), L"%ls,%d", icon, icon_index);
  print_line("icon", icon_text);
  // A program name first, as CommandLineToArgvW reads the first word by other rules.
  static wchar_t command_line[32768 + 8];
  swprintf(command_line, sizeof(command_line) / sizeof(command_line[0]), L"x.exe %ls", line);
  wchar_t** split = CommandLineToArgvW(command_line, &count);
  for (int i = 1; split != nullptr && i < count; ++i) print_line("argument", split[i]);
  return 0;
}
