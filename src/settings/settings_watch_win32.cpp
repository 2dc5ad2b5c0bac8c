// The watch for another program's proxy settings: what the launcher's apply
// left in each place, as the backup records it, against what stands there now.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "platform/run_log.h"
#include "settings/connection_backup_win32.h"
#include "settings/proxy_settings.h"
#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

namespace {

int is_text_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The characters of a text value up to its first NUL.
size_t text_length(const StoredValue& value) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(value.data);
  const size_t count = value.size / sizeof(wchar_t);
  size_t length = 0;
  while (length < count && text[length] != L'\0') ++length;
  return length;
}

// The value as 8-bit text (characters outside ASCII as '?'), cut to
// capacity: the launcher's proxy texts are ASCII.
void narrow_value(const StoredValue& value, char* out, size_t capacity) {
  const wchar_t* text = reinterpret_cast<const wchar_t*>(value.data);
  const size_t length = text_length(value);
  size_t used = 0;
  for (; used < length && used + 1 < capacity; ++used) {
    out[used] = text[used] < 0x80 ? static_cast<char>(text[used]) : '?';
  }
  out[used] = '\0';
}

int same_meaning(const StoredValue& a, const StoredValue& b) {
  if (is_text_type(a.type) && is_text_type(b.type)) {
    const size_t length = text_length(a);
    return length == text_length(b) &&
           (length == 0 || memcmp(a.data, b.data, length * sizeof(wchar_t)) == 0);
  }
  return a.type == b.type && a.size == b.size &&
         (a.size == 0 || memcmp(a.data, b.data, a.size) == 0);
}

// The port of the launcher's server text in the written ProxyServer, 0 when
// it holds none.
uint16_t written_port(const WrittenValue* written) {
  const WrittenValue& server = written[kProxyServerIndex];
  char text[64];
  uint16_t port = 0;
  if (!server.present || !is_text_type(server.value.type)) return 0;
  narrow_value(server.value, text, sizeof(text));
  settings_parse_proxy_server(text, strlen(text), &port);
  return port;
}

// One value for the log: its text, its number, or its type and size.
void describe_value(int present, const StoredValue& value, char* out, size_t capacity) {
  if (!present) {
    snprintf(out, capacity, "(none)");
  } else if (is_text_type(value.type)) {
    char text[320];
    narrow_value(value, text, sizeof(text));
    snprintf(out, capacity, "\"%s\"", text);
  } else if (value.type == REG_DWORD && value.size == sizeof(DWORD)) {
    DWORD number = 0;
    memcpy(&number, value.data, sizeof(number));
    snprintf(out, capacity, "%lu", static_cast<unsigned long>(number));
  } else {
    snprintf(out, capacity, "(type %lu, %lu bytes)", static_cast<unsigned long>(value.type),
             static_cast<unsigned long>(value.size));
  }
}

// Compares the legacy values; appends the changed ones' names to names and
// what stands in them to *hash, and with log set writes their old and new
// texts to the log. Returns the kLegacy* bits that changed.
uint32_t legacy_look(HKEY internet_settings, const WrittenValue* written, char* names,
                     size_t capacity, uint64_t* hash, int log) {
  const uint32_t changed = legacy_changes(internet_settings, written, nullptr);
  legacy_names_add(names, capacity, changed);
  for (int at = 0; at < kSavedValueCount; ++at) {
    const SavedValue& saved = kSavedValues[at];
    if ((changed & saved.change_bit) == 0) continue;
    StoredValue now;
    const int present = stored_value_read(internet_settings, saved.user_name, &now) ==
                        ERROR_SUCCESS;
    *hash = change_hash_add(*hash, &saved.change_bit, sizeof(saved.change_bit));
    if (present) *hash = change_hash_add(*hash, now.data, now.size);
    if (!log) continue;
    char was[400];
    char is[400];
    describe_value(written[at].present, written[at].value, was, sizeof(was));
    describe_value(present, now, is, sizeof(is));
    char name[32] = "";
    place_names_add(name, sizeof(name), saved.user_name);
    run_log_printf("Changed by another program: %s: was %s, now %s", name, was, is);
  }
  return changed;
}

}  // namespace

LONG written_value_read(HKEY backup, const SavedValue& saved, WrittenValue* written) {
  LONG result = registry_read_flag(backup, saved.written_present_name, &written->present);
  if (result != ERROR_SUCCESS || !written->present) return result;
  return stored_value_read(backup, saved.written_name, &written->value);
}

uint32_t legacy_changes(HKEY internet_settings, const WrittenValue* written,
                        const RestorePlan* plans) {
  const uint16_t port = written_port(written);
  uint32_t changed = 0;
  for (int at = 0; at < kSavedValueCount; ++at) {
    StoredValue now;
    const LONG read = stored_value_read(internet_settings, kSavedValues[at].user_name, &now);
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) continue;
    const int present = read == ERROR_SUCCESS;
    int same = present == static_cast<int>(written[at].present) &&
               (!present || same_meaning(now, written[at].value));
    if (!same && present && at == kProxyServerIndex && is_text_type(now.type)) {
      char text[64];
      narrow_value(now, text, sizeof(text));
      same = text_length(now) < sizeof(text) && connection_proxy_is_local(text, strlen(text), port);
    }
    // The launcher's stores have no setup script, and WinINet may remove the
    // legacy URL to match them at any time: a URL gone is WinINet's copy of
    // the launcher's write, not another program's.
    if (!same && !present && kSavedValues[at].change_bit == kLegacyAutoConfigUrl) same = 1;
    const RestorePlan* user = plans != nullptr ? &plans[at] : nullptr;
    if (!same && user != nullptr && (user->present == 0 || user->saved_result == ERROR_SUCCESS)) {
      same = present == static_cast<int>(user->present) &&
             (!present || same_meaning(now, user->saved));
    }
    if (!same) changed |= kSavedValues[at].change_bit;
  }
  return changed;
}

void legacy_names_add(char* names, size_t capacity, uint32_t changed) {
  for (const SavedValue& saved : kSavedValues) {
    if ((changed & saved.change_bit) != 0) place_names_add(names, capacity, saved.user_name);
  }
}

void proxy_settings_watch(ChangeMemory* memory) {
  // Under the lock, and only while applied: a restore on the console
  // handler's thread puts the user's values back before it deletes the
  // backup, and those must not be taken for another program's.
  SettingsLock lock;
  if (!lock.held || !settings_are_applied()) return;
  RegistryKey backup;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kProxyBackupKey, 0, KEY_READ, &backup.key) !=
      ERROR_SUCCESS) {
    return;
  }
  ConnectionsHolder connections;
  if (connections.connections == nullptr ||
      connections_read(backup.key, connections.connections) != ERROR_SUCCESS ||
      !connections.connections->with_written) {
    return;
  }
  WrittenValue written[kSavedValueCount];
  for (int at = 0; at < kSavedValueCount; ++at) {
    if (written_value_read(backup.key, kSavedValues[at], &written[at]) != ERROR_SUCCESS) return;
  }
  RegistryKey internet_settings;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_QUERY_VALUE,
                    &internet_settings.key) != ERROR_SUCCESS) {
    return;
  }
  char names[1024] = "";
  uint64_t hash = kChangeHashStart;
  legacy_look(internet_settings.key, written, names, sizeof(names), &hash, 0);
  connections_look_for_changes(connections.connections, names, sizeof(names), &hash, 0);
  // What stands now is said once: a later, different change is said again.
  if (names[0] == '\0' || !change_memory_note(memory, hash)) return;
  char line[sizeof(kOtherProgramChangedFormat) + sizeof(names)];
  snprintf(line, sizeof(line), kOtherProgramChangedFormat, names);
  console_write_line(line);
  run_log_printf("%s", line);
  char unused[1024] = "";
  legacy_look(internet_settings.key, written, unused, sizeof(unused), &hash, 1);
  connections_look_for_changes(connections.connections, unused, sizeof(unused), &hash, 1);
}
