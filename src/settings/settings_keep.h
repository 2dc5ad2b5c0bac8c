// What a restore keeps of another program's proxy settings: a VPN client, a
// company policy or the user in Windows Settings may rewrite them while the
// launcher serves, and the restore must neither undo that nor leave the
// launcher's proxy anywhere. Pure decisions on values already read, so they
// are tested natively; the registry side is in settings_watch_win32.cpp.
//
// A place is the legacy values of the Internet Settings key or one
// connection's store. Each place has values, bit 0 being its on/off switch;
// a value counts as changed when what stands now differs, by meaning, from
// what the launcher wrote there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/connection_settings.h"

// The legacy place's values, as bits of a change mask.
constexpr uint32_t kLegacyProxyEnable = 0x1;  // the switch
constexpr uint32_t kLegacyProxyServer = 0x2;
constexpr uint32_t kLegacyProxyOverride = 0x4;
constexpr uint32_t kLegacyAutoConfigUrl = 0x8;

// A store's values: the switch is its flags but for the setup-script and
// automatic-detection bits, which go with the values they switch on.
constexpr uint32_t kStoreSwitch = 0x1;
constexpr uint32_t kStoreProxy = 0x2;
constexpr uint32_t kStoreBypass = 0x4;
constexpr uint32_t kStoreScript = 0x8;  // the setup-script flag and its URL
constexpr uint32_t kStoreAutoDetect = 0x10;
constexpr uint32_t kStoreAllValues = 0x1F;

// The values of a place that a restore leaves as they stand, given the values
// another program changed: each of those, and the switch too when any value of
// the place changed, so that a VPN client's proxy stays on and a proxy the
// user switched off stays off. Every other value goes back to the user's.
uint32_t keep_changed_values(uint32_t changed);

// Compares a store as it stands now with what the launcher wrote there, by
// meaning: the change counter and the bytes after the three texts do not
// count. A proxy that is the launcher's loopback proxy at port, in any form
// connection_proxy_is_local takes, counts as the launcher's. Returns the
// kStore* bits that differ.
uint32_t connection_settings_changed(const ConnectionSettings* written,
                                     const ConnectionSettings* now, uint16_t port);

// Encodes the store a restore writes back: the user's settings (user, or a
// direct connection with no texts when user is nullptr: they had no value)
// with the kStore* values in keep taken from now. The version and the bytes
// after the texts are the user's (user_tail, user_tail_length; zeros without
// them), and the change counter is one past the higher of both, so that
// readers see a change. Returns the byte count, 0 when it does not fit.
size_t connection_settings_keep(const ConnectionSettings* user, const uint8_t* user_tail,
                                size_t user_tail_length, const ConnectionSettings* now,
                                uint32_t keep, uint8_t* buffer, size_t capacity);

// The changes said so far, by a hash of what was said; a change is said once.
constexpr int kChangeMemoryCapacity = 64;
struct ChangeMemory {
  uint64_t said[kChangeMemoryCapacity];
  int count;
};

// A running hash (64-bit FNV-1a) of the bytes that tell a change apart: start
// with kChangeHashStart and add each piece in order.
constexpr uint64_t kChangeHashStart = 0xcbf29ce484222325ULL;
uint64_t change_hash_add(uint64_t hash, const void* data, size_t length);

// Returns 1 when hash was not said before, and notes it (the oldest note
// gives way once the memory is full); 0 when it was said already.
int change_memory_note(ChangeMemory* memory, uint64_t hash);
