// The process exit codes: one number per way a run ends.
#pragma once

enum ExitCode {
  kExitSuccess = 0,          // help, watchdog mode, or ENTER after confirmed app traffic
  kExitOptionError = 2,      // a bad command line
  kExitNoNetworking = 3,     // Winsock did not start
  kExitSocksFailed = 4,      // the SOCKS5 pre-check failed
  kExitAppRunning = 5,       // the app was already running
  kExitLaunchFailed = 6,     // the app was not found or not launched
  kExitProxyNotStarted = 7,  // no listener thread, or the local port was not open
  kExitAlreadyRunning = 8,   // another launcher runs in this session
  kExitHttpsFailed = 9,      // the HTTPS probe through the local proxy failed
  kExitApplyFailed = 10,     // the proxy settings were not saved and applied
  kExitNotConfirmed = 11,    // no app traffic within 30 s, then ENTER
  kExitSocksGone = 12,       // the SOCKS5 server disconnected during the monitor
  kExitRestorePending = 13   // the run's last restore of the proxy settings did not complete
};
