#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr uint8_t kInvalid = 0xFF;

// 6-bit value of every byte, kInvalid for bytes outside the alphabet.
constexpr std::array<uint8_t, 256> sReverseTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (uint8_t value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(kAlphabet[value])] = value;
    return table;
}

constexpr std::array<uint8_t, 256> kReverse = sReverseTable();

// Number of pad characters ending the text (0 to 2), or -1 when "=" stands anywhere else: a
// pad in the middle would otherwise decode silently to wrong bytes.
int sPadCount(const char* text, size_t length) {
    int pads = 0;
    if (length >= 1 && text[length - 1] == kPad) ++pads;
    if (pads == 1 && length >= 2 && text[length - 2] == kPad) ++pads;
    for (size_t i = 0; i < length - pads; ++i)
        if (kReverse[static_cast<unsigned char>(text[i])] == kInvalid) return -1;
    return pads;
}

}  // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* decoded_length) {
    if (length % 4 != 0 || (length > 0 && text == nullptr)) return nullptr;
    const int pads = sPadCount(text, length);
    if (pads < 0) return nullptr;

    const size_t out_length = length / 4 * 3 - static_cast<size_t>(pads);
    auto* out = static_cast<unsigned char*>(malloc(out_length + 1));
    if (!out) return nullptr;

    size_t emitted = 0;
    for (size_t group = 0; group < length; group += 4) {
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            const char c = text[group + i];
            bits = (bits << 6) | (c == kPad ? 0u : kReverse[static_cast<unsigned char>(c)]);
        }
        for (int shift = 16; shift >= 0 && emitted < out_length; shift -= 8)
            out[emitted++] = static_cast<unsigned char>(bits >> shift);
    }
    out[out_length] = '\0';
    if (decoded_length) *decoded_length = out_length;
    return out;
}
