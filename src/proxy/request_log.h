// The words of a request line as the run's log may hold them: never a
// password that a client wrote into a URL or a CONNECT target.
#pragma once

#include <cstddef>

// Copies the first two words of the NUL-terminated head (its text as
// received, up to the first NUL) into method and target, each cut to its
// capacity less one and NUL-terminated. Words are split on the white space of
// the head's scan (space, tab, CR, LF, vertical tab, form feed). In each word
// that holds an "@" before its first "?" or "#", everything between the
// scheme's "//" (or the word's start when it has no scheme) and the last such
// "@" becomes "...": "http://...@a.example/". A word that runs to the text's
// end without a "?" or "#" may have been cut before its "@", so all of it
// after the scheme becomes "...". A missing word is empty.
void request_log_words(const char* head, char* method, size_t method_capacity, char* target,
                       size_t target_capacity);
