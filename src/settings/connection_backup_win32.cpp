#include "settings/connection_backup_win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/console.h"
#include "platform/run_log.h"
#include "settings/connection_settings.h"
#include "settings/proxy_settings.h"
#include "settings/proxy_settings_internal_win32.h"
#include "settings/registry_values_win32.h"
#include "settings/settings_text.h"

namespace {

constexpr wchar_t kConnectionsKey[] = L"" LUMARET_INTERNET_SETTINGS_KEY "\\Connections";
constexpr wchar_t kLanValue[] = L"DefaultConnectionSettings";
constexpr wchar_t kSavedLegacyValue[] = L"SavedLegacySettings";
constexpr wchar_t kFormatValue[] = L"Format";
constexpr wchar_t kCountValue[] = L"ConnectionCount";
// The launcher's own store values: the proxy, the longest bypass list and the
// three-string header stay below this.
constexpr size_t kStoreValueCapacity = 4096;

// Reads a whole value onto the heap (*data, released with free; nullptr for
// no bytes). Returns ERROR_SUCCESS or the registry's error.
LONG read_whole(HKEY key, const wchar_t* name, DWORD* type, BYTE** data, DWORD* size) {
  *data = nullptr;
  *size = 0;
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  StoredValue value;
  LONG result = stored_value_read(key, name, &value);
  if (result != ERROR_SUCCESS) return result;
  *data = static_cast<BYTE*>(malloc(value.size > 0 ? value.size : 1));
  if (*data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(*data, value.data, value.size);
  *type = value.type;
  *size = value.size;
  return ERROR_SUCCESS;
}

int write_checked(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
  return registry_set_value(key, name, type, data, size) == ERROR_SUCCESS &&
         registry_value_matches(key, name, type, data, size);
}

int write_dword_checked(HKEY key, const wchar_t* name, DWORD value) {
  return write_checked(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Writes a copy into the backup as its presence flag (present_name) and, when
// present, its type and bytes (value_name), each read back. Returns 1 when
// both stand.
int write_copy_checked(HKEY backup, const wchar_t* present_name, const wchar_t* value_name,
                       DWORD present, DWORD type, const BYTE* data, DWORD size) {
  return write_dword_checked(backup, present_name, present) &&
         (!present || write_checked(backup, value_name, type, data, size));
}

// The names of connection i's values in the backup.
struct RecordNames {
  wchar_t name[32];
  wchar_t kind[32];
  wchar_t present[32];
  wchar_t value[32];
  wchar_t written_present[40];
  wchar_t written_value[40];
};

RecordNames record_names(int index) {
  RecordNames names;
  swprintf(names.name, 32, L"Connection%dName", index + 1);
  swprintf(names.kind, 32, L"Connection%dIsEntry", index + 1);
  swprintf(names.present, 32, L"Connection%dPresent", index + 1);
  swprintf(names.value, 32, L"Connection%dValue", index + 1);
  swprintf(names.written_present, 40, L"Connection%dWrittenPresent", index + 1);
  swprintf(names.written_value, 40, L"Connection%dWrittenValue", index + 1);
  return names;
}

// Makes room for capacity values. Returns 1 when there is.
int connections_reserve(ConnectionsBackup* connections, size_t capacity) {
  if (capacity <= static_cast<size_t>(connections->capacity)) return 1;
  void* grown = realloc(connections->connections, capacity * sizeof(SavedConnection));
  if (grown == nullptr) return 0;
  connections->connections = static_cast<SavedConnection*>(grown);
  connections->capacity = static_cast<int>(capacity);
  return 1;
}

// Appends a cleared value; the caller has reserved room for it.
SavedConnection* add_connection(ConnectionsBackup* connections, const wchar_t* name, DWORD is_ras) {
  SavedConnection* connection = &connections->connections[connections->count++];
  memset(connection, 0, sizeof(*connection));
  wcsncpy(connection->name, name, kRasEntryNameCapacity - 1);
  connection->is_ras = is_ras;
  return connection;
}

// The store value WinINet keeps for a connection holds the server with
// automatic detection and the setup script off.
int store_holds(HKEY connections_key, const wchar_t* name, const char* server, const char* bypass) {
  DWORD type = 0;
  DWORD size = 0;
  BYTE* data = nullptr;
  if (read_whole(connections_key, name, &type, &data, &size) != ERROR_SUCCESS) return 0;
  ConnectionSettings settings;
  int holds = type == REG_BINARY && connection_settings_decode(data, size, &settings) &&
              (settings.flags & kConnectionFlagProxy) != 0 &&
              (settings.flags & (kConnectionFlagAutoDetect | kConnectionFlagScriptUrl)) == 0 &&
              settings.proxy_length == strlen(server) &&
              memcmp(settings.proxy, server, settings.proxy_length) == 0 &&
              settings.bypass_length == strlen(bypass) &&
              memcmp(settings.bypass, bypass, settings.bypass_length) == 0;
  free(data);
  return holds;
}

// Writes the store value for a connection in the layout Windows and WinHTTP
// read, its change counter one past the one it had. Returns 1 when it stands.
int store_write(HKEY connections_key, const wchar_t* name, const char* server, const char* bypass) {
  DWORD type = 0;
  DWORD size = 0;
  BYTE* data = nullptr;
  uint32_t counter = 1;
  if (read_whole(connections_key, name, &type, &data, &size) == ERROR_SUCCESS) {
    ConnectionSettings old;
    if (connection_settings_decode(data, size, &old)) counter = old.counter + 1;
    free(data);
  }
  const ConnectionSettings settings = {kConnectionSettingsVersion,
                                       counter,
                                       kConnectionFlagDirect | kConnectionFlagProxy,
                                       server,
                                       static_cast<uint32_t>(strlen(server)),
                                       bypass,
                                       static_cast<uint32_t>(strlen(bypass)),
                                       "",
                                       0};
  BYTE value[kStoreValueCapacity];
  size_t bytes = connection_settings_encode(&settings, value, sizeof(value));
  return bytes != 0 &&
         write_checked(connections_key, name, REG_BINARY, value, static_cast<DWORD>(bytes));
}

// Switches the value of connection to a direct connection where it holds the
// launcher's proxy and not the user's saved bytes. Returns 1 when the
// launcher's proxy is off there (or was never on), 0 when it could not be read
// or written.
int switch_off_one(HKEY store, const SavedConnection& connection) {
  StoredValue value;
  LONG read = stored_value_read(store, connection.name, &value);
  if (read == ERROR_FILE_NOT_FOUND) return 1;
  if (read != ERROR_SUCCESS) return 0;
  if (value.type != REG_BINARY) return 1;
  // A value already back to the user's bytes stays, even when it is a
  // loopback proxy of their own.
  if (connection.present && !connection.saved_missing && connection.type == value.type &&
      connection.size == value.size &&
      (value.size == 0 || memcmp(connection.data, value.data, value.size) == 0)) {
    return 1;
  }
  if (!connection_settings_switch_to_direct(value.data, value.size)) return 1;
  return stored_value_write(store, connection.name, &value);
}

int is_saved_legacy(const SavedConnection& connection) {
  return wcscmp(connection.name, kSavedLegacyValue) == 0;
}

// Returns 1 when two store values mean the same: the same bytes, or both
// stores with the same flags and texts.
int store_same(DWORD type, const BYTE* data, DWORD size, const StoredValue& now) {
  if (type == now.type && size == now.size && (size == 0 || memcmp(data, now.data, size) == 0)) {
    return 1;
  }
  ConnectionSettings a;
  ConnectionSettings b;
  return type == REG_BINARY && now.type == REG_BINARY &&
         connection_settings_decode(data, size, &a) &&
         connection_settings_decode(now.data, now.size, &b) &&
         connection_settings_changed(&a, &b, 0) == 0;
}

// The values of a store that another program changed since the launcher's
// apply left what the backup records: what stands now (read, the result of
// reading it; now, its bytes) against that record, by meaning. A value that
// is gone, or that cannot be read as a store where the record can, changed
// in full. For a restore (against_user), a value that holds the user's own
// again is no change: an earlier try may have put it back.
uint32_t connection_changes(const SavedConnection& connection, LONG read, const StoredValue& now,
                            int against_user) {
  if (against_user && !connection.saved_missing) {
    if (!connection.present && read == ERROR_FILE_NOT_FOUND) return 0;
    if (connection.present && read == ERROR_SUCCESS &&
        store_same(connection.type, connection.data, connection.size, now)) {
      return 0;
    }
  }
  if (!connection.written_present) return read == ERROR_FILE_NOT_FOUND ? 0 : kStoreAllValues;
  if (read != ERROR_SUCCESS) return kStoreAllValues;
  ConnectionSettings written;
  ConnectionSettings current;
  if (connection.written_type != REG_BINARY ||
      !connection_settings_decode(connection.written_data, connection.written_size, &written)) {
    return store_same(connection.written_type, connection.written_data, connection.written_size,
                      now)
               ? 0
               : kStoreAllValues;
  }
  if (now.type != REG_BINARY || !connection_settings_decode(now.data, now.size, &current)) {
    return kStoreAllValues;
  }
  uint16_t port = 0;
  settings_parse_proxy_server(written.proxy, written.proxy_length, &port);
  return connection_settings_changed(&written, &current, port);
}

// Appends "LAN connection", or "connection \"NAME\"" for an entry, to names.
void connection_place_name_add(char* names, size_t capacity, const SavedConnection& connection) {
  wchar_t place[kRasEntryNameCapacity + 16];
  if (connection.is_ras) {
    swprintf(place, kRasEntryNameCapacity + 16, L"connection \"%ls\"", connection.name);
  } else {
    wcscpy(place, L"LAN connection");
  }
  place_names_add(names, capacity, place);
}

// Reads what the launcher's apply left in each store, as format 4 records it.
// Returns 1 when the record is whole; 0 (nothing of it kept) when any of it
// is missing or unreadable: the restore then puts back everything, as from
// an earlier format.
int read_written(HKEY backup, ConnectionsBackup* connections) {
  int whole = 1;
  for (int i = 0; i < connections->count && whole; ++i) {
    SavedConnection* connection = &connections->connections[i];
    if (is_saved_legacy(*connection)) continue;
    const RecordNames names = record_names(i);
    whole = registry_read_flag(backup, names.written_present, &connection->written_present) ==
                ERROR_SUCCESS &&
            (!connection->written_present ||
             read_whole(backup, names.written_value, &connection->written_type,
                        &connection->written_data, &connection->written_size) == ERROR_SUCCESS);
  }
  if (whole) return 1;
  for (int i = 0; i < connections->count; ++i) {
    free(connections->connections[i].written_data);
    connections->connections[i].written_data = nullptr;
    connections->connections[i].written_present = 0;
  }
  return 0;
}

// The launcher's own switch-off of a store during a restore that failed is
// its write too: recorded as what it wrote there, so that the next try does
// not take it for another program's proxy switched off.
void record_written_now(HKEY record, HKEY store, int index, const SavedConnection& connection) {
  StoredValue now;
  if (stored_value_read(store, connection.name, &now) != ERROR_SUCCESS) return;
  const RecordNames names = record_names(index);
  if (stored_value_write(record, names.written_value, &now)) {
    registry_write_dword(record, names.written_present, 1);
  }
}

// Adds what a store means (its flags and texts, not its change counter) to
// hash; a value that is not a store by its bytes.
uint64_t hash_store_meaning(uint64_t hash, int present, const StoredValue& value) {
  if (!present) return hash;
  ConnectionSettings settings;
  if (value.type != REG_BINARY || !connection_settings_decode(value.data, value.size, &settings)) {
    return change_hash_add(hash, value.data, value.size);
  }
  hash = change_hash_add(hash, &settings.flags, sizeof(settings.flags));
  hash = change_hash_add(hash, settings.proxy, settings.proxy_length);
  hash = change_hash_add(hash, "\0", 1);
  hash = change_hash_add(hash, settings.bypass, settings.bypass_length);
  hash = change_hash_add(hash, "\0", 1);
  return change_hash_add(hash, settings.script_url, settings.script_url_length);
}

// A store's meaning for the log: its flags and its three texts.
void log_store_meaning(const char* label, DWORD type, const BYTE* data, DWORD size, int present,
                       char* out, size_t capacity) {
  ConnectionSettings settings;
  if (!present) {
    snprintf(out, capacity, "%s (none)", label);
  } else if (type != REG_BINARY || !connection_settings_decode(data, size, &settings)) {
    snprintf(out, capacity, "%s (not a proxy store, %lu bytes)", label,
             static_cast<unsigned long>(size));
  } else {
    snprintf(out, capacity,
             "%s flags 0x%lx, proxy \"%.*s\", bypass \"%.*s\", setup script \"%.*s\"", label,
             static_cast<unsigned long>(settings.flags),
             static_cast<int>(settings.proxy_length > 300 ? 300 : settings.proxy_length),
             settings.proxy,
             static_cast<int>(settings.bypass_length > 300 ? 300 : settings.bypass_length),
             settings.bypass,
             static_cast<int>(settings.script_url_length > 300 ? 300 : settings.script_url_length),
             settings.script_url);
  }
}

// The store value as the user had it, decoded, with the bytes after its
// texts. Returns 0 when they had none or it does not decode.
int user_settings(const SavedConnection& connection, ConnectionSettings* settings,
                  const uint8_t** tail, size_t* tail_length) {
  if (!connection.present || connection.saved_missing || connection.type != REG_BINARY ||
      !connection_settings_decode(connection.data, connection.size, settings)) {
    return 0;
  }
  *tail = reinterpret_cast<const uint8_t*>(settings->script_url) + settings->script_url_length;
  *tail_length = static_cast<size_t>(connection.data + connection.size - *tail);
  return 1;
}

// Writes back, in a store that another program changed, the user's values
// but those in keep, which stay as they stand. A value the launcher's proxy
// may still stand in is never left alone: where the user's value cannot be
// taken apart, it comes back whole. Returns 1 when the write succeeded.
int keep_in_store(HKEY store, const SavedConnection& connection, const StoredValue& now,
                  uint32_t keep) {
  ConnectionSettings current;
  if (keep == kStoreAllValues || now.type != REG_BINARY ||
      !connection_settings_decode(now.data, now.size, &current)) {
    return 1;
  }
  ConnectionSettings user;
  const uint8_t* tail = nullptr;
  size_t tail_length = 0;
  const int decoded = user_settings(connection, &user, &tail, &tail_length);
  if (connection.present && !decoded) {
    return registry_set_value(store, connection.name, connection.type, connection.data,
                              connection.size) == ERROR_SUCCESS;
  }
  BYTE merged[kStoreValueCapacity + kStackValueBytes];
  const size_t size = connection_settings_keep(decoded ? &user : nullptr, tail, tail_length,
                                               &current, keep, merged, sizeof(merged));
  return size != 0 && registry_set_value(store, connection.name, REG_BINARY, merged,
                                         static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

// Puts one value back as put_back describes, adding the connection's name to
// kept when another program changed it. Returns 1 when it is back (or
// switched off, its copy missing), 0 when a call failed.
int put_back_one(HKEY store, const SavedConnection& connection, int with_written, char* kept,
                 size_t kept_capacity) {
  if (connection.saved_missing) return switch_off_one(store, connection);
  if (with_written && !is_saved_legacy(connection)) {
    StoredValue now;
    const LONG read = stored_value_read(store, connection.name, &now);
    if (read == ERROR_SUCCESS || read == ERROR_FILE_NOT_FOUND) {
      const uint32_t changed = connection_changes(connection, read, now, 1);
      if (changed != 0) {
        connection_place_name_add(kept, kept_capacity, connection);
        return read == ERROR_FILE_NOT_FOUND ||
               keep_in_store(store, connection, now, keep_changed_values(changed));
      }
    }
  }
  if (!connection.present) return registry_delete_value(store, connection.name);
  if (connection.is_ras) {
    // The launcher wrote every entry's value: one that is gone now went
    // with its entry, which must not come back as a stray value.
    DWORD size = 0;
    LONG now = registry_query_value(store, connection.name, nullptr, nullptr, &size);
    if (now == ERROR_FILE_NOT_FOUND) return 1;
    if (now != ERROR_SUCCESS) return 0;
  }
  return registry_set_value(store, connection.name, connection.type, connection.data,
                            connection.size) == ERROR_SUCCESS;
}

int view_is_local(const ConnectionView& view, uint16_t port) {
  return !view.auto_detect && !view.has_script_url &&
         connection_proxy_is_local(view.proxy, strlen(view.proxy), port);
}

// The connection's name for the log: "LAN" or the entry's name in UTF-8.
void connection_log_name(const SavedConnection& connection, char* out, int capacity) {
  if (!connection.is_ras) {
    snprintf(out, static_cast<size_t>(capacity), "LAN");
  } else if (WideCharToMultiByte(CP_UTF8, 0, connection.name, -1, out, capacity, nullptr,
                                 nullptr) <= 0) {
    snprintf(out, static_cast<size_t>(capacity), "(a name that cannot be shown)");
  }
}

}  // namespace

ConnectionsBackup* connections_new() {
  ConnectionsBackup* connections =
      static_cast<ConnectionsBackup*>(malloc(sizeof(ConnectionsBackup)));
  if (connections != nullptr) memset(connections, 0, sizeof(*connections));
  return connections;
}

void connections_free(ConnectionsBackup* connections) {
  if (connections == nullptr) return;
  for (int i = 0; i < connections->count; ++i) {
    free(connections->connections[i].data);
    free(connections->connections[i].written_data);
  }
  free(connections->connections);
  free(connections);
}

int connections_list(ConnectionsBackup* connections) {
  connections->count = 0;
  RasEntryList entries;
  if (!ras_list_entries(&entries)) {
    // Without the list only the LAN is covered, as on a machine with no entries.
    console_write_line(kRasEntriesUnreadableLine);
  }
  int listed = connections_reserve(connections, 2 + static_cast<size_t>(entries.count));
  if (listed) {
    add_connection(connections, kLanValue, 0);
    add_connection(connections, kSavedLegacyValue, 0);
    for (int i = 0; i < entries.count; ++i) {
      const wchar_t* name = entries.names[i];
      // An entry named like the LAN's values would share them.
      if (name[0] == L'\0' || wcscmp(name, kLanValue) == 0 ||
          wcscmp(name, kSavedLegacyValue) == 0) {
        continue;
      }
      add_connection(connections, name, 1);
    }
  }
  ras_entries_free(&entries);
  return listed;
}

int connections_save(HKEY backup, ConnectionsBackup* connections) {
  HKEY store = nullptr;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_QUERY_VALUE, &store);
  // No Connections key: the user has none of the values.
  if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) return 0;
  int saved = 1;
  for (int i = 0; i < connections->count && saved; ++i) {
    SavedConnection* connection = &connections->connections[i];
    LONG read = read_whole(store, connection->name, &connection->type, &connection->data,
                           &connection->size);
    // Recorded as absent, an unreadable value would be deleted by the restore.
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) {
      saved = 0;
      break;
    }
    connection->present = read == ERROR_SUCCESS;
    const RecordNames names = record_names(i);
    saved = write_checked(backup, names.name, REG_SZ,
                          reinterpret_cast<const BYTE*>(connection->name),
                          static_cast<DWORD>((wcslen(connection->name) + 1) * sizeof(wchar_t))) &&
            write_dword_checked(backup, names.kind, connection->is_ras) &&
            write_copy_checked(backup, names.present, names.value, connection->present,
                               connection->type, connection->data, connection->size);
  }
  if (store != nullptr) RegCloseKey(store);
  return saved &&
         write_dword_checked(backup, kCountValue, static_cast<DWORD>(connections->count)) &&
         write_dword_checked(backup, kFormatValue, kBackupFormatWithScriptUrl);
}

int connections_apply(const ConnectionsBackup* connections, const char* server,
                      const char* bypass) {
  wchar_t server_wide[256];
  wchar_t bypass_wide[kConnectionBypassCapacity];
  if (MultiByteToWideChar(CP_ACP, 0, server, -1, server_wide, 256) == 0 ||
      MultiByteToWideChar(CP_ACP, 0, bypass, -1, bypass_wide, kConnectionBypassCapacity) == 0) {
    return 0;
  }
  HKEY store = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &store, nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  int applied = 1;
  for (int i = 0; i < connections->count && applied; ++i) {
    const SavedConnection& connection = connections->connections[i];
    // SavedLegacySettings is WinINet's own copy, never written here.
    if (wcscmp(connection.name, kSavedLegacyValue) == 0) continue;
    applied = connection_store_set_proxy(connection.is_ras ? connection.name : nullptr, server_wide,
                                         bypass_wide);
    // Some WinINet versions (Wine's) keep only the legacy values: the store,
    // which WinHTTP and the programs using it read, is written here then.
    const int store_written = applied && !store_holds(store, connection.name, server, bypass);
    if (store_written) applied = store_write(store, connection.name, server, bypass);
    if (run_log_enabled) {
      char name[3 * kRasEntryNameCapacity];
      connection_log_name(connection, name, sizeof(name));
      run_log_printf("Settings written: %s: proxy %s through WinINet%s: %s", name, server,
                     store_written ? " and its stored value" : "", applied ? "ok" : "FAILED");
    }
  }
  RegCloseKey(store);
  return applied;
}

int connections_confirm(const ConnectionsBackup* connections, uint16_t port, const char* bypass) {
  for (int i = 0; i < connections->count; ++i) {
    const SavedConnection& connection = connections->connections[i];
    if (wcscmp(connection.name, kSavedLegacyValue) == 0) continue;
    ConnectionView view;
    const int read = connection_store_query(connection.is_ras ? connection.name : nullptr, &view);
    const int confirmed = read && (view.flags & kConnectionFlagProxy) != 0 &&
                          view_is_local(view, port);
    if (run_log_enabled) {
      char name[3 * kRasEntryNameCapacity];
      connection_log_name(connection, name, sizeof(name));
      run_log_printf(
          "Read-back: %s: %s, flags 0x%lx, proxy %s, automatic detection %s, setup "
          "script %s",
          name, confirmed ? "ours" : "NOT ours", read ? view.flags : 0UL,
          read ? view.proxy : "(unread)", read && view.auto_detect ? "on" : "off",
          read && view.has_script_url ? "set" : "none");
    }
    if (!confirmed) return 0;
  }
  ConnectionView view;
  const int read = winhttp_view_query(&view);
  const int confirmed = read && view_is_local(view, port) && strcmp(view.bypass, bypass) == 0;
  run_log_printf("Read-back: WinHTTP: %s, proxy %s, bypass %s", confirmed ? "ours" : "NOT ours",
                 read ? view.proxy : "(unread)", read ? view.bypass : "(unread)");
  return confirmed;
}

LONG connections_read(HKEY backup, ConnectionsBackup* connections) {
  connections->count = 0;
  connections->format = 0;
  connections->with_written = 0;
  DWORD format = 0;
  LONG result = registry_read_dword(backup, kFormatValue, &format);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) return result;
  if (format < kBackupFormatWithConnections || format > kBackupFormatWithWritten) {
    return ERROR_INVALID_DATA;
  }
  connections->format = format;
  DWORD count = 0;
  result = registry_read_dword(backup, kCountValue, &count);
  if (result != ERROR_SUCCESS) return result;
  if (count > kConnectionCountLimit) return ERROR_INVALID_DATA;
  if (!connections_reserve(connections, count)) return ERROR_NOT_ENOUGH_MEMORY;
  for (DWORD i = 0; i < count; ++i) {
    SavedConnection* connection = add_connection(connections, L"", 0);
    const RecordNames names = record_names(static_cast<int>(i));
    DWORD type = 0;
    // The longest name with its terminator fills the buffer exactly.
    DWORD size = sizeof(connection->name);
    result = registry_query_value(backup, names.name, &type,
                                  reinterpret_cast<BYTE*>(connection->name), &size);
    if (result == ERROR_SUCCESS && (type != REG_SZ || size < 2 * sizeof(wchar_t))) {
      result = ERROR_INVALID_DATA;
    }
    if (result == ERROR_SUCCESS)
      result = registry_read_flag(backup, names.kind, &connection->is_ras);
    if (result == ERROR_SUCCESS)
      result = registry_read_flag(backup, names.present, &connection->present);
    if (result != ERROR_SUCCESS) return result;
    connection->name[size / sizeof(wchar_t) - 1] = L'\0';
    if (!connection->present) continue;
    result =
        read_whole(backup, names.value, &connection->type, &connection->data, &connection->size);
    // A saved copy that is missing cannot come back: put_back switches the
    // launcher's proxy off there instead.
    if (result == ERROR_FILE_NOT_FOUND) {
      connection->saved_missing = 1;
    } else if (result != ERROR_SUCCESS) {
      return result;
    }
  }
  if (format >= kBackupFormatWithWritten)
    connections->with_written = read_written(backup, connections);
  return ERROR_SUCCESS;
}

int connections_put_back(const ConnectionsBackup* connections, int keep_saved_legacy, char* kept,
                         size_t kept_capacity, HKEY record) {
  if (connections->count == 0) return 1;
  RegistryKey store;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, &store.key);
  if (opened == ERROR_FILE_NOT_FOUND) {
    opened = RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                             &store.key, nullptr);
  }
  if (opened != ERROR_SUCCESS) return 0;
  int restored = 1;
  // WinINet's copy of the legacy values first, the stores that programs read
  // last: a reader in between sees the user's legacy values beside their copy.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < connections->count; ++i) {
      const SavedConnection& connection = connections->connections[i];
      const int saved_legacy = is_saved_legacy(connection);
      if (saved_legacy != (pass == 0)) continue;
      if (saved_legacy && keep_saved_legacy) {
        restored = 0;
      } else if (!put_back_one(store.key, connection, connections->with_written, kept,
                               kept_capacity)) {
        restored = 0;
        switch_off_one(store.key, connection);
        if (record != nullptr && connections->with_written && !saved_legacy) {
          record_written_now(record, store.key, i, connection);
        }
      }
    }
  }
  return restored;
}

int connections_switch_off(LocalProxyFilter* filter, char* names, size_t capacity) {
  RegistryKey store;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, &store.key);
  if (opened == ERROR_FILE_NOT_FOUND) return 1;
  if (opened != ERROR_SUCCESS) return 0;
  int off = 1;
  // Every value, not only the entries listed now: the backup that named
  // them is gone, and an entry may have been removed from its list since.
  wchar_t name[16384];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof(name) / sizeof(name[0]);
    LONG listed =
        RegEnumValueW(store.key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed != ERROR_SUCCESS) return 0;
    StoredValue value;
    LONG read = stored_value_read(store.key, name, &value);
    if (read == ERROR_FILE_NOT_FOUND) continue;
    if (read != ERROR_SUCCESS) {
      off = 0;
      continue;
    }
    ConnectionSettings settings;
    uint16_t port = 0;
    if (value.type != REG_BINARY ||
        !connection_settings_decode(value.data, value.size, &settings) ||
        (settings.flags & kConnectionFlagProxy) == 0 ||
        !settings_parse_proxy_server(settings.proxy, settings.proxy_length, &port) ||
        !local_proxy_filter_takes(filter, port)) {
      continue;
    }
    if (!connection_settings_switch_to_direct(value.data, value.size) ||
        !stored_value_write(store.key, name, &value)) {
      off = 0;
      continue;
    }
    place_names_add(names, capacity, name);
  }
  return off;
}

int connections_save_written(HKEY backup, const ConnectionsBackup* connections) {
  RegistryKey store;
  LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_QUERY_VALUE, &store.key);
  if (opened != ERROR_SUCCESS) return 0;
  for (int i = 0; i < connections->count; ++i) {
    const SavedConnection& connection = connections->connections[i];
    if (is_saved_legacy(connection)) continue;
    StoredValue now;
    const LONG read = stored_value_read(store.key, connection.name, &now);
    if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return 0;
    const RecordNames names = record_names(i);
    if (!write_copy_checked(backup, names.written_present, names.written_value,
                            read == ERROR_SUCCESS, now.type, now.data, now.size)) {
      return 0;
    }
  }
  return write_dword_checked(backup, kFormatValue, kBackupFormatWithWritten);
}

void connections_look_for_changes(const ConnectionsBackup* connections, char* names,
                                  size_t capacity, uint64_t* hash, int log) {
  if (!connections->with_written) return;
  RegistryKey store;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_QUERY_VALUE, &store.key) !=
      ERROR_SUCCESS) {
    store.key = nullptr;
  }
  for (int i = 0; i < connections->count; ++i) {
    const SavedConnection& connection = connections->connections[i];
    if (is_saved_legacy(connection)) continue;
    StoredValue now;
    const LONG read = store.key != nullptr ? stored_value_read(store.key, connection.name, &now)
                                           : ERROR_FILE_NOT_FOUND;
    if ((read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) ||
        connection_changes(connection, read, now, 0) == 0) {
      continue;
    }
    connection_place_name_add(names, capacity, connection);
    *hash = change_hash_add(*hash, connection.name, wcslen(connection.name) * sizeof(wchar_t));
    *hash = hash_store_meaning(*hash, read == ERROR_SUCCESS, now);
    if (!log) continue;
    char name[3 * kRasEntryNameCapacity];
    connection_log_name(connection, name, sizeof(name));
    char was[1024];
    char is[1024];
    log_store_meaning("was", connection.written_type, connection.written_data,
                      connection.written_size, connection.written_present, was, sizeof(was));
    log_store_meaning("now", now.type, now.data, now.size, read == ERROR_SUCCESS, is, sizeof(is));
    run_log_printf("Changed by another program: %s: %s; %s", name, was, is);
  }
}
