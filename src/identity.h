// The launcher's identity as the user and Windows know it, named once. The
// names are string-literal macros so that narrow and wide texts (L"..."
// IDENTITY_TOKEN L"...") and longer names are built from them at compile time.
#pragma once

// The name users see: the caption of every failure box.
#define LUMARET_IDENTITY_NAME "Morvo Proxy Launcher"

// The same name as one word: the registry key of the backup, the RunOnce
// value, the kernel objects and window class of the safety net, and the
// proxy's Proxy-Agent header.
#define LUMARET_IDENTITY_TOKEN "MorvoProxyLauncher"

// The program's full name: the banner's first words, and the product name and
// file description of its version resource.
#define LUMARET_PRODUCT_NAME "Lumaret Desktop Proxy Launcher"

// The program's file name as shipped, named in its version resource.
#define LUMARET_PROGRAM_FILE "LumaretDesktopProxyLauncher.exe"
