"""The launcher's expected console transcripts and box texts, in one place.

Console texts are bytes as they reach a file under Wine: standard output is
in text mode, so every line ends in CRLF. Build a run's transcript with
run_transcript(); when the run sequence gains or changes a line, this is the
one file to update.
"""

BANNER = "Lumaret Desktop Proxy Launcher 1.3 beta"
ERROR_CAPTION = "Morvo Proxy Launcher"


def console(text):
    """Console bytes of text written with "\\n" line ends."""
    return text.replace("\n", "\r\n").encode()


HELP = console(BANNER + "\n\n"
               "Options:\n"
               "  --socks-host HOST   Default: 127.0.0.1\n"
               "  --socks-port PORT   Default: 1080\n"
               "  --http-port PORT    Default: 18118\n"
               "  --socks-user USER   SOCKS5 user name (password: LUMARET_SOCKS_PASSWORD, or asked)\n"
               "  --save-password     Keep the SOCKS5 password in Windows Credential Manager\n"
               "  --forget-password   Remove the kept SOCKS5 password\n"
               "  --create-shortcut   Put a desktop shortcut that starts the launcher with these options\n"
               "  --log FILE          Append a record of the run to FILE\n"
               "  --bypass LIST       More addresses that skip the proxy, separated by ;\n"
               "  --plain-http MODE   refuse (the default) or forward plain http:// requests\n"
               "  --on-disconnect MODE  restore (the default) or wait for the SOCKS5 server to come back\n"
               "  --help              Show this help\n"
               "  --version           Print the version and exit\n")
VERSION = console(BANNER + "\n")
# --create-shortcut: the shortcut's name, and the line that takes its full path.
SHORTCUT_NAME = "Morvo Proxy Launcher.lnk"
SHORTCUT_CREATED = 'Created the shortcut "%s" that starts the launcher with these options.\n'
SHORTCUT_NOT_CREATED = "The shortcut could not be created."

MISSING_VALUE = "Missing value after command-line option."
UNKNOWN_OPTION = "Unknown command-line option. Use --help for usage."
INVALID_PORT = "Invalid HTTP proxy port."
INVALID_USER = "Invalid SOCKS5 user name."
INVALID_PASSWORD = "Invalid SOCKS5 password."
LOG_NOT_OPENED = "Unable to open the log file."
INVALID_BYPASS = "Invalid proxy bypass list."
INVALID_PLAIN_HTTP = "Invalid plain HTTP mode."
INVALID_DISCONNECT = "Invalid disconnect mode."
PASSWORD_VARIABLE = "LUMARET_SOCKS_PASSWORD"
PASSWORD_PROMPT = "SOCKS5 password for %s: "
NEEDS_USER = "The options --save-password and --forget-password need --socks-user."
# The kept password: its target name and lines take "USER@HOST:PORT".
PASSWORD_TARGET = "LumaretDesktopProxyLauncher:socks5:%s"
PASSWORD_SAVED = "The SOCKS5 password was saved in Windows Credential Manager.\n"
PASSWORD_NOT_ASKED = ("The SOCKS5 server did not ask for a password, so it was not saved in Windows "
                      "Credential Manager.\n")
BACKUP_REMOVED = ("The backup of the previous Windows proxy settings was removed during the run; the "
                  "local proxy is switched off instead.\n")
USING_SAVED_PASSWORD = "Using the SOCKS5 password saved in Windows Credential Manager.\n"
SAVED_PASSWORD_REFUSED = ("The SOCKS5 server did not accept the password saved in Windows Credential "
                          "Manager; add --forget-password to this command line to remove it.\n")
PASSWORD_REMOVED = "The saved SOCKS5 password for %s was removed.\n"
NO_PASSWORD_SAVED = "No SOCKS5 password is saved for %s.\n"
SOCKS_FAILED = ("SOCKS5 verification failed.\n\nStart Halvern SOCKS mode and confirm that the "
                "address and port are correct.")
# After "[1/3] ... FAILED" when the server wants a login and none was given.
LOGIN_NEEDED = ("The SOCKS5 server asks for a user name and password: add --socks-user NAME to "
                "the command line (see README.txt).\n")
SOCKS_LOGIN_REJECTED = ("SOCKS5 verification failed.\n\nThe SOCKS5 server did not accept the user "
                        "name and password.")
PORT_NOT_OPEN = ("Unable to open the local HTTP proxy port. It may already be in use.\n\n"
                 "Try: LumaretDesktopProxyLauncher.exe --http-port 18119")

CONFIRMED_CAPTION = "Lumaret Proxy - Verification succeeded"
NOT_CONFIRMED_CAPTION = "Lumaret Proxy - App verification not confirmed"
DISCONNECT_CAPTION = "Lumaret Proxy - SOCKS5 disconnected"
DISCONNECT_TEXT = ("The local SOCKS5 service has disconnected.\n\nThe previous Windows proxy "
                   "settings will now be restored immediately and the local proxy will stop.")


def confirmed_text(direct, exit_address):
    return ("Verification succeeded.\n\nDirect public IP: %s\nSOCKS5 exit IP: %s\nLumaret "
            "effective exit IP: %s\n\nLumaret/Corvane traffic was observed through the local "
            "proxy, so its effective exit is the SOCKS5 exit shown above.\n\nKeep the launcher "
            "window open while using Lumaret." % (direct, exit_address, exit_address))


# Lines of a run, in order; run_transcript() joins the ones a run reaches.
def _banner(socks_host, socks_port, http_port):
    return ("%s\nSOCKS5: %s:%s\nLocal HTTP proxy: 127.0.0.1:%d\n\n"
            % (BANNER, socks_host, socks_port, http_port))


SOCKS_CHECK = "[1/3] Verifying SOCKS5 handshake... "
HTTPS_CHECK = "[2/3] Verifying HTTPS through HTTP-to-SOCKS proxy... "
LAUNCH_LINE = "[3/3] Launching Lumaret and observing proxy traffic...\n"
CONFIRMED_LINE = "[3/3] PASSED - Lumaret/Corvane traffic was observed through the local proxy.\n\n"
MONITOR_LINES = ("Press ENTER to stop the proxy and restore the previous Windows proxy settings.\n"
                 "The local SOCKS5 port is checked every second; the first disconnect triggers "
                 "immediate recovery.\n")
DISCONNECT_LINE = "SOCKS5 disconnected. Restoring the previous Windows proxy settings...\n"
# --on-disconnect wait: the outage and its end.
WAITING_LINE = ("SOCKS5 disconnected. The Windows proxy settings stay on the local proxy, so apps "
                "cannot connect without the SOCKS5 server. Waiting for it to come back; press ENTER "
                "to stop and restore the previous settings.\n")
REACHABLE_AGAIN_LINE = "SOCKS5 server reachable again. The local proxy serves as before.\n"
# Another program's proxy settings during the run (% the names).
OTHER_PROGRAM_CHANGED = ("Another program changed the Windows proxy settings during the run: %s. "
                         "Apps that follow them may no longer use the local proxy.\n")
KEPT_OTHER_PROGRAM = "Kept what another program set during the run: %s.\n"
# The end of a run whose last restore did not complete (exit 13).
RESTORE_PENDING_LINE = ("The previous Windows proxy settings could not be restored yet. A "
                        "background copy of the launcher keeps trying, and the next sign-in "
                        "tries again.\n")


def run_transcript(socks_port, http_port, until, socks_host="127.0.0.1", https_status=None,
                   direct=None, exit_address=None, before="", after_check=""):
    """The console bytes of a run up to a point, with the lines before the
    banner and after the "[1/3]" verdict (the kept password's):
        "socks-failed"   [1/3] FAILED
        "socks-passed"   [1/3] PASSED (a later phase failed without a line)
        "https-failed"   [2/3] FAILED
        "monitor"        a confirmed launch through to the monitor's two lines
                         (needs https_status, direct and exit_address)
        "disconnect"     the monitor, then the disconnect line
    """
    text = before + _banner(socks_host, socks_port, http_port) + SOCKS_CHECK
    if until == "socks-failed":
        return console(text + "FAILED\n" + after_check)
    text += "PASSED\n" + after_check
    if until == "socks-passed":
        return console(text)
    if until == "https-failed":
        return console(text + HTTPS_CHECK + "FAILED\n")
    text += HTTPS_CHECK + "PASSED (HTTP %d)\n" % https_status
    text += "      Querying direct public IP... %s\n" % direct
    text += "      Querying SOCKS5 exit IP... %s\n" % exit_address
    text += "      Restore watchdog: ACTIVE\n"
    text += LAUNCH_LINE + CONFIRMED_LINE
    text += ("IP comparison\n"
             "  Direct public IP:            %s\n"
             "  SOCKS5 exit IP:              %s\n"
             "  Lumaret effective exit IP:   %s (inferred from verified proxy route)\n\n"
             % (direct, exit_address, exit_address))
    text += MONITOR_LINES
    if until == "monitor":
        return console(text)
    if until == "disconnect":
        return console(text + DISCONNECT_LINE)
    raise ValueError(until)
