"""The user's proxy settings in the prefix's registry, read and written
through regdump with their exact types and bytes (Wine), and the values the
tests compare: the user's own, the launcher's, its restore command."""

from harness_base import (HarnessError, launcher, repeat_when_ended_silently, repeatable,
                          tool, windows_path)


INTERNET_SETTINGS = r"Software\Microsoft\Windows\CurrentVersion\Internet Settings"
BACKUP = r"Software\MorvoProxyLauncher\ProxyBackup"
# While a backup is complete, the next logon's restore command stands here.
RUN_ONCE = r"Software\Microsoft\Windows\CurrentVersion\RunOnce"
RUN_ONCE_VALUE = "MorvoProxyLauncherRestore"
SETTING_NAMES = ("ProxyEnable", "ProxyServer", "ProxyOverride")
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4


def dword(value):
    return (REG_DWORD, value.to_bytes(4, "little"))


def text(kind, value):
    return (kind, value.encode() + b"\0")


def stored_text(kind, value):
    """A string value as the registry stores it: UTF-16 with its terminator."""
    return (kind, value.encode("utf-16-le") + b"\0\0")


# The user's own settings: a disabled proxy with an expandable server of
# theirs and no override list.
USER_VALUES = {
    "ProxyEnable": dword(0),
    "ProxyServer": text(REG_EXPAND_SZ, "%CORP_PROXY%:3128"),
    "ProxyOverride": None,
}


# The launcher's bypass list; a --bypass list follows it.
LAUNCHER_BYPASS = "<local>;localhost;127.0.0.1"


def launcher_values(port, bypass=LAUNCHER_BYPASS):
    return {
        "ProxyEnable": dword(1),
        "ProxyServer": text(REG_SZ, "http=127.0.0.1:%d;https=127.0.0.1:%d" % (port, port)),
        "ProxyOverride": text(REG_SZ, bypass),
    }


# Each connection's proxy store, which WinHTTP's view is read from, and the
# two VPN or dial-up entries that the test launcher lists.
CONNECTIONS = INTERNET_SETTINGS + r"\Connections"
RAS_ENTRIES = ("Test VPN", "Test Dial-up")


def connection_value(flags, proxy="", bypass="", script_url="", counter=1):
    """A store value in the layout Windows keeps (REG_BINARY): version 0x46,
    counter, flags (1 direct, 2 proxy, 4 setup script, 8 auto-detect), three
    length-prefixed texts, then 32 zero bytes."""
    data = b"".join(n.to_bytes(4, "little") for n in (0x46, counter, flags))
    for field in (proxy, bypass, script_url):
        data += len(field).to_bytes(4, "little") + field.encode()
    return (REG_BINARY, data + bytes(32))


PAC_URL = "http://wpad.corp.test/proxy.pac"
# The user's Connections values: the LAN detects its proxy or takes a setup
# script, as Windows sets it out of the box; "Test VPN" has a proxy of its own;
# "Test Dial-up" has no value. USER_VIEW is WinHTTP's view of them.
USER_CONNECTIONS = {
    "DefaultConnectionSettings": connection_value(0xD, script_url=PAC_URL, counter=9),
    "SavedLegacySettings": connection_value(0xD, script_url=PAC_URL, counter=8),
    "Test VPN": connection_value(0x3, "vpn-proxy.corp.test:8080", "<local>", counter=3),
}
USER_VIEW = "auto-detect=1 script=%s proxy= bypass=\n" % PAC_URL


def launcher_connections(port, entries=2, switched_off=False):
    """The Connections values while the launcher serves: its proxy in each
    connection's store (counter one past the user's), WinINet's own copy
    SavedLegacySettings left alone. With more entries than the test
    launcher's two (LUMARET_TEST_RAS_ENTRIES), "Test Entry 3" and on; with 0,
    the entries could not be listed. switched_off: each of the launcher's
    stores switched to a direct connection afterwards (flags 1, counter one
    more, the texts kept)."""
    def store(counter):
        return connection_value(0x1 if switched_off else 0x3,
                                "http=127.0.0.1:%d;https=127.0.0.1:%d" % (port, port),
                                "<local>;localhost;127.0.0.1", counter=counter + switched_off)
    values = {"DefaultConnectionSettings": store(10),
              "SavedLegacySettings": USER_CONNECTIONS["SavedLegacySettings"],
              "Test VPN": store(4), "Test Dial-up": store(1)}
    if entries == 0:
        # Not listed (LUMARET_TEST_RAS_ENTRIES=unreadable): they keep their own.
        del values["Test Dial-up"]
        values["Test VPN"] = USER_CONNECTIONS["Test VPN"]
    values.update({"Test Entry %d" % n: store(1) for n in range(3, entries + 1)})
    return values


def launcher_view(port, bypass=LAUNCHER_BYPASS):
    """regdump proxy-view while the launcher's values are in force."""
    return "auto-detect=0 script= proxy=http=127.0.0.1:%d;https=127.0.0.1:%d bypass=%s\n" % (
        port, port, bypass)


def restore_command(launcher_path):
    """The RunOnce value that the launcher writes while its values are applied."""
    return text(REG_SZ, '"%s" --restore-watchdog 0' % windows_path(launcher_path))


class Wine:
    """The desktop's prefix seen with one environment (a test's): the user's
    registry through regdump (exact types and bytes), plain runs and
    programs started without a console. launcher is the test-hosts one."""

    def __init__(self, desktop, environment):
        self.desktop = desktop
        self.environment = environment
        self.launcher = launcher("testhosts")
        self.regdump = tool("regdump.exe")

    def run(self, program, arguments=(), environment=None, timeout=60):
        """Runs a Windows program plainly to its end (RunResult)."""
        return self.desktop.run(program, arguments, environment or self.environment, timeout)

    def reg(self, *arguments):
        """Runs regdump with these arguments; its standard output (text).
        Fails on a non-zero exit, after making again a repeatable call that
        Wine ended silently (harness_base.repeat_when_ended_silently)."""
        def run():
            result = self.run(self.regdump, arguments)
            return result.exit_code, result.stdout, result.stderr, result
        if repeatable(self.regdump, arguments):
            result = repeat_when_ended_silently(run, "regdump " + " ".join(arguments))
        else:
            result = run()[3]
        if result.exit_code != 0:
            raise HarnessError("regdump %s: exit %d; stdout %r; stderr %r"
                               % (arguments, result.exit_code, result.stdout, result.stderr))
        return result.stdout.decode()

    def read(self, key, names):
        return parse_registry_values(self.reg("get", key, *names))

    def read_stored(self, key, names):
        return parse_registry_values(self.reg("get-stored", key, *names))

    def write(self, key, values, stored=False):
        for name, value in values.items():
            if value is None:
                self.reg("delete", key, name)
            else:
                self.reg("set-stored" if stored else "set", key, name, str(value[0]),
                         value[1].hex() or "-")

    def user_values(self, stored=False):
        """The three values as a program using the 8-bit calls sees them, or
        as stored (strings in UTF-16)."""
        return (self.read_stored if stored else self.read)(INTERNET_SETTINGS, SETTING_NAMES)

    def reset(self, values):
        """The user's values, no backup and no restore command."""
        self.reg("delete-key", BACKUP)
        self.reg("delete", RUN_ONCE, RUN_ONCE_VALUE)
        self.write(INTERNET_SETTINGS, values)

    def connections(self):
        """Every value under Connections: {name: (type, bytes)}."""
        return parse_registry_values(self.reg("list", CONNECTIONS))

    def set_connections(self, values):
        """The Connections values exactly these (None: absent)."""
        self.reg("delete-key", CONNECTIONS)
        self.write(CONNECTIONS, {name: value for name, value in values.items() if value})

    def proxy_view(self):
        """The user's proxy as WinHTTP reports it (regdump proxy-view)."""
        return self.reg("proxy-view")

    def backup_exists(self):
        return self.reg("key", BACKUP).strip() == "present"

    def run_once(self):
        """The RunOnce restore command (type, bytes), or None."""
        return self.read(RUN_ONCE, [RUN_ONCE_VALUE])[RUN_ONCE_VALUE]

    def spawn_detached(self, command, environment=None, output=None):
        """Starts a Windows command line with no console, its standard output
        and error going to the Linux file output if given. Returns its process
        id text."""
        arguments = [command] + ([windows_path(output)] if output else [])
        result = self.run(self.regdump, ["spawn-detached"] + arguments, environment)
        if result.exit_code != 0:
            raise HarnessError("spawn-detached %s: exit %d" % (command, result.exit_code))
        return result.stdout.decode().strip()


def parse_registry_values(text):
    """Reads the output of `regdump get` into {name: None when absent, else
    (type, exact bytes)}."""
    values = {}
    for line in text.splitlines():
        # Names may hold blanks ("Test VPN"); the fields after them do not.
        if line.endswith(" absent"):
            values[line[:-len(" absent")]] = None
        else:
            name, kind, _size, data = line.rsplit(" ", 3)
            values[name] = (int(kind), b"" if data == "-" else bytes.fromhex(data))
    return values
