#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace {

// Failure messages name a table row by its name rather than dumping its bytes.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// The decoded bytes, or nothing when base64_decode refused the text.
std::optional<std::string> Decode(const std::string& text) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(
        base64_decode(text.data(), text.size(), &length), &free);
    if (!bytes) return std::nullopt;
    EXPECT_EQ(bytes.get()[length], '\0') << "decoded bytes are followed by a NUL";
    return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

// An encoder written independently of the decoder, for round trips.
std::string Encode(const std::string& bytes) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        const auto b2 = static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[b0 >> 2];
        out += alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += alphabet[((b1 & 15) << 2) | (b2 >> 6)];
        out += alphabet[b2 & 63];
    }
    if (bytes.size() - i == 1) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        out += std::string{alphabet[b0 >> 2], alphabet[(b0 & 3) << 4], '=', '='};
    } else if (bytes.size() - i == 2) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        out += std::string{alphabet[b0 >> 2], alphabet[((b0 & 3) << 4) | (b1 >> 4)],
                           alphabet[(b1 & 15) << 2], '='};
    }
    return out;
}

struct DecodeCase {
    const char* name;
    std::string text;
    std::optional<std::string> bytes;  // nothing: the text is refused
};

class Base64DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(Base64DecodeTest, DecodesOrRefuses) {
    EXPECT_EQ(Decode(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64DecodeTest,
    testing::Values(DecodeCase{"Empty", "", std::string()},
                    DecodeCase{"Man", "TWFu", std::string("Man")},
                    DecodeCase{"OnePad", "TWE=", std::string("Ma")},
                    DecodeCase{"TwoPads", "TQ==", std::string("M")},
                    DecodeCase{"Rfc4648Foobar", "Zm9vYmFy", std::string("foobar")},
                    DecodeCase{"Rfc4648Fooba", "Zm9vYmE=", std::string("fooba")},
                    DecodeCase{"Rfc4648Foob", "Zm9vYg==", std::string("foob")},
                    DecodeCase{"PlusAndSlash", "+/+/", std::string("\xfb\xff\xbf")},
                    DecodeCase{"ZeroBytes", "AAAA", std::string(3, '\0')},
                    DecodeCase{"LengthNotMultipleOf4", "TWFuT", std::nullopt},
                    DecodeCase{"MissingPad", "TWE", std::nullopt},
                    DecodeCase{"CharacterOutsideAlphabet", "TWF!", std::nullopt},
                    DecodeCase{"UrlSafeAlphabetRefused", "-_-_", std::nullopt},
                    DecodeCase{"CarriageReturnAtEnd", "TWF\r", std::nullopt},
                    DecodeCase{"LineBreakInside", "TWFu\nTWFu\n", std::nullopt},
                    DecodeCase{"NulInside", std::string("TW\0u", 4), std::nullopt},
                    DecodeCase{"HighByte", "TWF\xc3", std::nullopt},
                    DecodeCase{"PadInMiddle", "TQ==TWFu", std::nullopt},
                    DecodeCase{"PadBeforeData", "TW=u", std::nullopt},
                    DecodeCase{"ThreePads", "T===", std::nullopt},
                    DecodeCase{"OnlyPads", "====", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64RoundTripTest, EveryByteValueAndEveryTailLength) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t tail = 0; tail < 3; ++tail) {
        const std::string bytes = all + all.substr(0, tail);
        EXPECT_EQ(Decode(Encode(bytes)), bytes) << "tail " << tail;
    }
}

TEST(Base64DecodeLengthTest, NullLengthPointerIsAccepted) {
    unsigned char* bytes = base64_decode("TWFu", 4, nullptr);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes)), "Man");
    free(bytes);
}

}  // namespace
