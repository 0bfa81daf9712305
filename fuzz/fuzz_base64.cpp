// Fuzzes base64_decode with arbitrary texts.
//
// Besides memory safety it checks the decoder's contract against an independent reading of the
// text: a text is accepted exactly when its length is a multiple of 4, every character is in
// the alphabet and "=" appears only as the last one or two characters; an accepted text decodes
// to length / 4 * 3 less its pad count bytes followed by a NUL, and encoding those bytes again
// reproduces the text up to the unused low bits of its last group.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool InAlphabet(char c) {
    return c != '\0' && strchr(kAlphabet, c) != nullptr;
}

size_t PadCount(const std::string& text) {
    size_t pads = 0;
    while (pads < 2 && pads < text.size() && text[text.size() - 1 - pads] == '=') ++pads;
    return pads;
}

bool WellFormed(const std::string& text) {
    if (text.size() % 4 != 0) return false;
    const size_t pads = PadCount(text);
    for (size_t i = 0; i < text.size() - pads; ++i)
        if (!InAlphabet(text[i])) return false;
    return true;
}

std::string Encode(const unsigned char* bytes, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = 0;
        const size_t n = length - i < 3 ? length - i : 3;
        for (size_t k = 0; k < 3; ++k) group = (group << 8) | (k < n ? bytes[i + k] : 0);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t length = 0;
    unsigned char* decoded = base64_decode(text.data(), text.size(), &length);
    if (!WellFormed(text)) {
        if (decoded) abort();
        return 0;
    }
    if (!decoded) abort();
    if (length != text.size() / 4 * 3 - PadCount(text) || decoded[length] != '\0') abort();
    const std::string again = Encode(decoded, length);
    // With padding, the last significant character may differ in the bits no byte uses.
    const size_t pads = PadCount(text);
    const size_t same = text.size() - (pads ? pads + 1 : 0);
    if (again.size() != text.size() || again.compare(0, same, text, 0, same) != 0 ||
        again.compare(text.size() - pads, pads, text, text.size() - pads, pads) != 0)
        abort();
    free(decoded);
    return 0;
}
