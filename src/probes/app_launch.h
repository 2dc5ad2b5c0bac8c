// Detection of a running Lumaret app and its launch through the Start-menu app
// list. Built only for Windows.
#pragma once

// The word that the launch looks for in the names of the Start menu's apps.
#define LUMARET_APP_START_MENU_WORD "Lumaret"

// Returns 1 when a process in a fresh Toolhelp snapshot has the image file name
// "Lumaret.exe" (whole name, ASCII letters compared without case); 0 otherwise,
// and also 0 when the snapshot or its first entry cannot be taken.
int is_target_app_running();

// Runs the PowerShell launch command without a window and waits for it at most
// 15000 ms. The program is the system folder's Windows PowerShell
// (GetSystemDirectoryW + "\WindowsPowerShell\v1.0\powershell.exe"), never one
// found by a search. Returns 1 when it ended with exit code 0 within that
// time; 0 when it could not start, ended with any other code or still runs (it
// is left running).
int launch_target_app();
