// The launcher's own console lines and box texts, in one place.
#pragma once

#include "build_constants.h"
#include "identity.h"

constexpr char kBoxCaption[] = LUMARET_IDENTITY_NAME;
constexpr char kBannerLine[] = LUMARET_PRODUCT_NAME " " LUMARET_VERSION_TEXT;

constexpr char kTextMissingValue[] = "Missing value after command-line option.";
constexpr char kTextUnknownOption[] = "Unknown command-line option. Use --help for usage.";
constexpr char kTextInvalidPort[] = "Invalid HTTP proxy port.";
constexpr char kTextInvalidUser[] = "Invalid SOCKS5 user name.";
constexpr char kTextInvalidPassword[] = "Invalid SOCKS5 password.";
constexpr char kTextInvalidBypass[] = "Invalid proxy bypass list.";
constexpr char kTextInvalidPlainHttp[] = "Invalid plain HTTP mode.";
constexpr char kTextInvalidDisconnect[] = "Invalid disconnect mode.";
constexpr char kTextLogNotOpened[] = "Unable to open the log file.";
// --create-shortcut: takes the shortcut's full path.
constexpr char kShortcutCreatedFormat[] =
    "Created the shortcut \"%s\" that starts the launcher with these options.\n";
constexpr char kTextShortcutNotCreated[] = "The shortcut could not be created.";
// The environment variable that holds the SOCKS5 password, and the console's
// question when it is not set (takes the user name).
constexpr char kPasswordVariable[] = "LUMARET_SOCKS_PASSWORD";
constexpr char kPasswordPromptFormat[] = "SOCKS5 password for %s: ";

// The password kept in Windows Credential Manager. The target name and the
// lines about it take "USER@HOST:PORT", as given on the command line.
constexpr char kTextNeedsUser[] =
    "The options --save-password and --forget-password need --socks-user.";
constexpr char kPasswordTargetFormat[] = "LumaretDesktopProxyLauncher:socks5:%s";
constexpr char kPasswordSavedLine[] =
    "The SOCKS5 password was saved in Windows Credential Manager.";
// --save-password with a server that let the run in without the login: the
// password was never checked, so it is not kept.
constexpr char kPasswordNotAskedLine[] =
    "The SOCKS5 server did not ask for a password, so it was not saved in Windows Credential "
    "Manager.";
constexpr char kPasswordNotSavedFormat[] =
    "The SOCKS5 password could not be saved in Windows Credential Manager (error %lu).\n";
constexpr char kUsingSavedPasswordLine[] =
    "Using the SOCKS5 password saved in Windows Credential Manager.";
constexpr char kSavedPasswordRefusedLine[] =
    "The SOCKS5 server did not accept the password saved in Windows Credential Manager; add "
    "--forget-password to this command line to remove it.";
constexpr char kPasswordRemovedFormat[] = "The saved SOCKS5 password for %s was removed.\n";
constexpr char kNoPasswordSavedFormat[] = "No SOCKS5 password is saved for %s.\n";
constexpr char kPasswordNotRemovedFormat[] =
    "The saved SOCKS5 password for %s could not be removed (error %lu).\n";
constexpr char kTextNoNetworking[] = "Unable to initialize Windows networking.";
constexpr char kTextSocksFailed[] =
    "SOCKS5 verification failed.\n\nStart Halvern SOCKS mode and confirm that the address "
    "and port are correct.";
// The "[1/3]" failure of a server that refused "no authentication" when no
// user name was given: the box stays the same, the console says what to add.
constexpr char kSocksLoginNeededLine[] =
    "The SOCKS5 server asks for a user name and password: add --socks-user NAME to the command "
    "line (see README.txt).";
constexpr char kTextSocksLoginRejected[] =
    "SOCKS5 verification failed.\n\nThe SOCKS5 server did not accept the user name and password.";
constexpr char kTextAppRunning[] =
    "Lumaret is already running.\n\nFully quit Lumaret from the system tray and Task Manager, "
    "then run this launcher again. This lets the app start with the new system proxy settings.";
constexpr char kTextLaunchFailed[] =
    "Lumaret could not be found or launched.\n\nInstall the official Lumaret Windows app, then "
    "try again.";
constexpr char kLaunchLine[] = "[3/3] Launching Lumaret and observing proxy traffic...";

// The outcome of the observation window.
constexpr char kConfirmedLine[] =
    "[3/3] PASSED - Lumaret/Corvane traffic was observed through the local proxy.\n";
constexpr char kConfirmedCaption[] = "Lumaret Proxy - Verification succeeded";
// Takes the direct, the exit and the effective exit address, in this order.
constexpr char kOutcomeTextFormat[] =
    "Verification succeeded.\n\nDirect public IP: %s\nSOCKS5 exit IP: %s\nLumaret effective exit "
    "IP: %s\n\nLumaret/Corvane traffic was observed through the local proxy, so its effective "
    "exit is the SOCKS5 exit shown above.\n\nKeep the launcher window open while using Lumaret.";
constexpr char kNotConfirmedLine[] =
    "[3/3] NOT CONFIRMED - no Lumaret/Corvane tunnel was observed within 30 seconds.\n";
constexpr char kNotConfirmedCaption[] = "Lumaret Proxy - App verification not confirmed";
constexpr char kNotConfirmedText[] =
    "The SOCKS5 and HTTPS tests passed, but Lumaret app traffic was not observed through the "
    "local proxy within 30 seconds.\n\nThe launcher cannot claim full success. Try refreshing "
    "Lumaret, then check the console again.";
constexpr char kTextNoProxyThread[] = "Unable to start the local proxy thread.";
constexpr char kTextPortNotOpen[] =
    "Unable to open the local HTTP proxy port. It may already be in use.\n\nTry: "
    "LumaretDesktopProxyLauncher.exe --http-port 18119";
constexpr char kTextHttpsFailedBefore[] =
    "End-to-end verification failed.\n\nThe SOCKS port is open, but an HTTPS request to ";
constexpr char kTextHttpsFailedAfter[] = " could not complete through the converted proxy.";
constexpr char kTextApplyFailed[] =
    "Unable to save and apply the current-user Windows proxy settings.";
// The same failure when a machine policy makes the proxy settings per machine.
constexpr char kTextApplyFailedPerMachine[] =
    "Unable to save and apply the current-user Windows proxy settings.\n\nA machine policy "
    "makes the proxy settings per machine (ProxySettingsPerUser = 0), so the current user's "
    "settings would not be used.";
constexpr char kTextAlreadyRunning[] =
    "Lumaret Desktop Proxy Launcher is already running.\n\nUse the launcher window that is "
    "already open, or press ENTER in it to stop it, then try again.";

constexpr char kMonitorLine1[] =
    "Press ENTER to stop the proxy and restore the previous Windows proxy settings.";
constexpr char kMonitorLine2[] =
    "The local SOCKS5 port is checked every second; the first disconnect triggers immediate "
    "recovery.";
constexpr char kDisconnectLine[] =
    "SOCKS5 disconnected. Restoring the previous Windows proxy settings...";
// --on-disconnect wait: the settings stay on the local proxy while the
// SOCKS5 server is away, and the user hears when it goes and when it is back.
constexpr char kWaitingLine[] =
    "SOCKS5 disconnected. The Windows proxy settings stay on the local proxy, so apps cannot "
    "connect without the SOCKS5 server. Waiting for it to come back; press ENTER to stop and "
    "restore the previous settings.";
constexpr char kReachableAgainLine[] =
    "SOCKS5 server reachable again. The local proxy serves as before.";
// The end of a run whose last restore of the settings did not complete.
constexpr char kRestorePendingLine[] =
    "The previous Windows proxy settings could not be restored yet. A background copy of the "
    "launcher keeps trying, and the next sign-in tries again.";
constexpr char kDisconnectCaption[] = "Lumaret Proxy - SOCKS5 disconnected";
constexpr char kDisconnectText[] =
    "The local SOCKS5 service has disconnected.\n\nThe previous Windows proxy settings will now "
    "be restored immediately and the local proxy will stop.";
