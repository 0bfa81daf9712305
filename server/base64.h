#pragma once
// Decoding of the base64 text in which the update server delivers firmware files.

#include <cstddef>

// Decodes `length` characters of `text` (RFC 4648 standard alphabet, "=" padding) into a newly
// allocated buffer that the caller releases with free(). The buffer holds the decoded bytes
// followed by one NUL; `*decoded_length` (when not null) receives the number of decoded bytes.
// An empty text decodes to an empty buffer. Returns null when the length is not a multiple of
// 4, when a character lies outside the alphabet, when "=" appears anywhere but as the last one
// or two characters, or when memory runs out.
unsigned char* base64_decode(const char* text, size_t length, size_t* decoded_length);
