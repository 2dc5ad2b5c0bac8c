// The Connections values of the user's proxy settings in the backup: the
// per-connection store of the LAN (DefaultConnectionSettings, with the copy
// SavedLegacySettings that Windows keeps beside it) and of every VPN or
// dial-up entry. Saved with their exact type and bytes, or as absent; applied
// through WinINet per connection, with the store value written where WinINet
// leaves it unchanged; read back through WinINet and WinHTTP; put back byte
// for byte. proxy_settings_win32.cpp calls these under its lock, with the
// backup key open.
#pragma once

#include <windows.h>

#include <cstdint>

#include "settings/connection_store.h"
#include "settings/settings_keep.h"

// The backup's format number (the value Format): a backup without one was
// written by an earlier version and holds only the three legacy values; format
// 2 adds the Connections values, and format 3, which apply writes, the legacy
// AutoConfigURL beside the three.
constexpr DWORD kBackupFormatWithConnections = 2;
constexpr DWORD kBackupFormatWithScriptUrl = 3;
// Format 4 adds what the launcher's apply left in each place (the values
// named *Written*), so that every restore keeps what another program set
// since. Apply writes format 3 first and goes up to 4 once that record stands.
constexpr DWORD kBackupFormatWithWritten = 4;
// More Connections values than any machine has: a backup that counts more is
// not one this program wrote.
constexpr DWORD kConnectionCountLimit = 65536;

struct SavedConnection {
  wchar_t name[kRasEntryNameCapacity];  // the value's name under Connections
  DWORD is_ras;                         // 1 for a VPN or dial-up entry's value
  DWORD present;                        // 1 when the user had the value
  DWORD saved_missing;                  // restore: present, but the backup lost its copy
  DWORD type;                           // with present: its type and bytes (data on the heap)
  DWORD size;
  BYTE* data;
  DWORD written_present;  // format 4: what the launcher's apply left there, as above
  DWORD written_type;
  DWORD written_size;
  BYTE* written_data;
};

// The values apply may change, with what the backup holds for each (count of
// them in connections, an array of capacity on the heap), and the backup's
// format number as connections_read found it (0: none).
struct ConnectionsBackup {
  int count;
  int capacity;
  SavedConnection* connections;
  DWORD format;
  int with_written;  // 1 when the backup holds what the launcher wrote, whole
};

// An empty record on the heap, or nullptr; connections_free releases it.
ConnectionsBackup* connections_new();
void connections_free(ConnectionsBackup* connections);

// Names the values of the LAN and of every listed VPN or dial-up entry,
// however many. Entries that cannot be listed leave only the LAN's, and the
// console says that VPN and dial-up connections keep their own settings for
// this run. Returns 1; 0 when memory ran out.
int connections_list(ConnectionsBackup* connections);

// Saves each named value of the user into the backup (its presence, type and
// bytes) with the count and the format number, each written and read back.
// Returns 1 when the backup holds them exactly; 0 when a value could not be
// read for any reason but its absence, or a write or read-back failed.
int connections_save(HKEY backup, ConnectionsBackup* connections);

// Points every connection at the proxy server (8-bit texts): the per-
// connection call for the LAN and each entry, then the store value written
// (and read back) wherever it does not hold the server and the bypass list
// (at most kConnectionBypassCapacity - 1 characters) yet. Returns 1 when all
// of it succeeded.
int connections_apply(const ConnectionsBackup* connections, const char* server, const char* bypass);

// Returns 1 when WinINet, for every connection, and WinHTTP report the local
// proxy at port, with automatic detection and setup scripts off, and WinHTTP
// reports bypass as its bypass list.
int connections_confirm(const ConnectionsBackup* connections, uint16_t port, const char* bypass);

// Reads what the backup holds for the Connections values, and its format
// number, into *connections: none for a backup without a format number.
// Returns ERROR_SUCCESS, or the error that must stop the restore before any
// change: a read that failed, a record value missing (but a saved copy, which
// is marked saved_missing), ERROR_INVALID_DATA for a value of another type, a
// count past kConnectionCountLimit or a format this version does not know,
// and ERROR_NOT_ENOUGH_MEMORY.
LONG connections_read(HKEY backup, ConnectionsBackup* connections);

// Puts the read values back, each on its own: SavedLegacySettings first (not
// with keep_saved_legacy, while the launcher's legacy values still stand: a
// copy that differs from them would have WinINet fold them into the stores),
// then the LAN's and every entry's. Those the user had come back byte for byte,
// those they had not are deleted; a VPN or dial-up entry whose value is gone
// was removed during the run and is skipped. A value that cannot be put back,
// or whose saved copy is missing, is switched to a direct connection where it
// still holds the launcher's proxy (its texts kept), so that no program
// follows it to a port that dies with the launcher. Returns 1 when every value
// is back, or switched off where its copy is missing; 0 when any write or
// deletion failed (the others still went ahead).
//
// With a backup that holds what the launcher wrote (with_written), a store
// that another program changed since is written back with the user's values
// only where it still holds the launcher's (keep_changed_values), or left
// as it stands when it is gone or changed in full; its place's name ("LAN
// connection", "connection \"NAME\"") is appended to kept (kept_capacity
// bytes). A store that one of them cannot be put back in is switched to
// direct; with record (the backup key, open for setting values, or nullptr)
// that switch is recorded as the launcher's write, for the next try.
int connections_put_back(const ConnectionsBackup* connections, int keep_saved_legacy, char* kept,
                         size_t kept_capacity, HKEY record);

// Records in the backup what stands now in each store that apply wrote (its
// presence, type and bytes, each read back), for the keeping at restore, and
// then raises the format to kBackupFormatWithWritten. Returns 1 when the
// record is whole and the format raised.
int connections_save_written(HKEY backup, const ConnectionsBackup* connections);

// For the watch, with a backup read with its record of what the launcher
// wrote: appends the place name of each store another program changed since
// to names (capacity bytes), adds its name and what stands there now to
// *hash (change_hash_add), and with log set writes its old and new meaning
// to the log.
void connections_look_for_changes(const ConnectionsBackup* connections, char* names,
                                  size_t capacity, uint64_t* hash, int log);

struct LocalProxyFilter;

// Switches to a direct connection every value under Connections (the LAN's,
// SavedLegacySettings and each entry's, listed or not) whose proxy is on and
// is the launcher's server text at a port that filter takes (flags and counter
// as connection_settings_switch_to_direct; the texts stay), and appends the
// names of those it switched to names (capacity bytes). Returns 1 when none of
// them is left on, 0 when the key or a value could not be read or written.
int connections_switch_off(LocalProxyFilter* filter, char* names, size_t capacity);
