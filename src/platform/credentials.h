// The current user's Windows credential store (Credential Manager): generic
// credentials that keep a secret under a target name. Built only for Windows.
#pragma once

#include <cstddef>

// Saves secret (length bytes, kept as the blob as they are) as a generic
// credential of the current user under target, with user as its user name,
// persisted on this computer; an earlier credential of that target is
// replaced. target and user are UTF-8. Returns 1 when it was written, 0
// otherwise with *error the Windows error code.
int credential_save(const char* target, const char* user, const char* secret, size_t length,
                    unsigned long* error);

// Copies the blob of the generic credential target (UTF-8) into out (capacity
// bytes, always NUL-terminated) and sets *length to its byte count. Returns 1
// when the credential exists and its blob is 1 to capacity - 1 bytes without a
// NUL; otherwise 0 with out empty and *length 0. The store's copy is wiped and
// freed before it returns.
int credential_read(const char* target, char* out, size_t capacity, size_t* length);

// What credential_delete found.
enum CredentialDeleteResult {
  kCredentialRemoved = 0,    // the credential existed and is gone
  kCredentialAbsent = 1,     // there was no credential of that target
  kCredentialNotRemoved = 2  // it could not be removed
};

// Deletes the generic credential target (UTF-8) of the current user; *error
// is the Windows error code of kCredentialNotRemoved, else 0.
CredentialDeleteResult credential_delete(const char* target, unsigned long* error);
