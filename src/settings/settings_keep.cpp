#include "settings/settings_keep.h"

#include <cstring>

namespace {

constexpr uint32_t kFlagsOfValues = kConnectionFlagScriptUrl | kConnectionFlagAutoDetect;

int texts_differ(const char* a, uint32_t a_length, const char* b, uint32_t b_length) {
  return a_length != b_length || (a_length != 0 && memcmp(a, b, a_length) != 0);
}

// The flags of the store's switch, or the one flag of a value, taken from
// settings.
uint32_t flags_of(const ConnectionSettings* settings, uint32_t value) {
  if (value == kStoreSwitch) return settings->flags & ~kFlagsOfValues;
  return settings->flags &
         (value == kStoreScript ? kConnectionFlagScriptUrl : kConnectionFlagAutoDetect);
}

}  // namespace

uint32_t keep_changed_values(uint32_t changed) { return changed != 0 ? changed | 0x1 : 0; }

uint32_t connection_settings_changed(const ConnectionSettings* written,
                                     const ConnectionSettings* now, uint16_t port) {
  uint32_t changed = 0;
  if (flags_of(written, kStoreSwitch) != flags_of(now, kStoreSwitch)) changed |= kStoreSwitch;
  if (texts_differ(written->proxy, written->proxy_length, now->proxy, now->proxy_length) &&
      !connection_proxy_is_local(now->proxy, now->proxy_length, port)) {
    changed |= kStoreProxy;
  }
  if (texts_differ(written->bypass, written->bypass_length, now->bypass, now->bypass_length)) {
    changed |= kStoreBypass;
  }
  if (flags_of(written, kStoreScript) != flags_of(now, kStoreScript) ||
      texts_differ(written->script_url, written->script_url_length, now->script_url,
                   now->script_url_length)) {
    changed |= kStoreScript;
  }
  if (flags_of(written, kStoreAutoDetect) != flags_of(now, kStoreAutoDetect)) {
    changed |= kStoreAutoDetect;
  }
  return changed;
}

size_t connection_settings_keep(const ConnectionSettings* user, const uint8_t* user_tail,
                                size_t user_tail_length, const ConnectionSettings* now,
                                uint32_t keep, uint8_t* buffer, size_t capacity) {
  const ConnectionSettings none = {
      kConnectionSettingsVersion, 0, kConnectionFlagDirect, "", 0, "", 0, "", 0};
  if (user == nullptr) user = &none;
  ConnectionSettings settings = *user;
  settings.counter = (user->counter > now->counter ? user->counter : now->counter) + 1;
  settings.flags = 0;
  const uint32_t kFlagValues[] = {kStoreSwitch, kStoreScript, kStoreAutoDetect};
  for (uint32_t value : kFlagValues) {
    settings.flags |= flags_of((keep & value) != 0 ? now : user, value);
  }
  if ((keep & kStoreProxy) != 0) {
    settings.proxy = now->proxy;
    settings.proxy_length = now->proxy_length;
  }
  if ((keep & kStoreBypass) != 0) {
    settings.bypass = now->bypass;
    settings.bypass_length = now->bypass_length;
  }
  if ((keep & kStoreScript) != 0) {
    settings.script_url = now->script_url;
    settings.script_url_length = now->script_url_length;
  }
  const size_t size = connection_settings_encode(&settings, buffer, capacity);
  if (size == 0 || user_tail == nullptr) return size;
  // The user's own bytes after the texts replace the zeros written there.
  const size_t texts_end = size - kConnectionSettingsTrailerBytes;
  if (capacity - texts_end < user_tail_length) return 0;
  if (user_tail_length != 0) memcpy(buffer + texts_end, user_tail, user_tail_length);
  return texts_end + user_tail_length;
}

uint64_t change_hash_add(uint64_t hash, const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

int change_memory_note(ChangeMemory* memory, uint64_t hash) {
  for (int i = 0; i < memory->count; ++i) {
    if (memory->said[i] == hash) return 0;
  }
  if (memory->count == kChangeMemoryCapacity) {
    memmove(memory->said, memory->said + 1, sizeof(memory->said) - sizeof(memory->said[0]));
    --memory->count;
  }
  memory->said[memory->count++] = hash;
  return 1;
}
