#include "platform/credentials.h"

#include <windows.h>
// wincred.h needs the types of windows.h first.
#include <wincred.h>

#include <cstring>

namespace {

// A target of the longest user name and host: prefix, 255 + 255 + 15 bytes.
constexpr int kTargetWideMax = 1024;
constexpr int kUserWideMax = 256;

int to_wide(const char* text, wchar_t* out, int capacity) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, capacity) > 0;
}

}  // namespace

int credential_save(const char* target, const char* user, const char* secret, size_t length,
                    unsigned long* error) {
  *error = ERROR_INVALID_PARAMETER;
  wchar_t wide_target[kTargetWideMax];
  wchar_t wide_user[kUserWideMax];
  if (!to_wide(target, wide_target, kTargetWideMax) || !to_wide(user, wide_user, kUserWideMax) ||
      length > CRED_MAX_CREDENTIAL_BLOB_SIZE) {
    return 0;
  }
  CREDENTIALW credential;
  memset(&credential, 0, sizeof(credential));
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = wide_target;
  credential.UserName = wide_user;
  // The blob points at the caller's buffer: no copy of the secret is made.
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(const_cast<char*>(secret));
  credential.CredentialBlobSize = static_cast<DWORD>(length);
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (CredWriteW(&credential, 0)) {
    *error = 0;
    return 1;
  }
  *error = GetLastError();
  return 0;
}

int credential_read(const char* target, char* out, size_t capacity, size_t* length) {
  out[0] = '\0';
  *length = 0;
  wchar_t wide_target[kTargetWideMax];
  if (!to_wide(target, wide_target, kTargetWideMax)) return 0;
  PCREDENTIALW credential = nullptr;
  if (!CredReadW(wide_target, CRED_TYPE_GENERIC, 0, &credential)) return 0;
  const size_t size = credential->CredentialBlobSize;
  const unsigned char* blob = credential->CredentialBlob;
  // A NUL inside would cut the password short without a word: such a blob,
  // like an empty or oversized one, is not a password this program kept.
  int usable = blob != nullptr && size >= 1 && size < capacity && memchr(blob, 0, size) == nullptr;
  if (usable) {
    memcpy(out, blob, size);
    out[size] = '\0';
    *length = size;
  }
  if (blob != nullptr) SecureZeroMemory(credential->CredentialBlob, size);
  CredFree(credential);
  return usable;
}

CredentialDeleteResult credential_delete(const char* target, unsigned long* error) {
  *error = 0;
  wchar_t wide_target[kTargetWideMax];
  if (!to_wide(target, wide_target, kTargetWideMax)) {
    *error = ERROR_INVALID_PARAMETER;
    return kCredentialNotRemoved;
  }
  if (CredDeleteW(wide_target, CRED_TYPE_GENERIC, 0)) return kCredentialRemoved;
  DWORD failure = GetLastError();
  if (failure == ERROR_NOT_FOUND) return kCredentialAbsent;
  *error = failure;
  return kCredentialNotRemoved;
}
