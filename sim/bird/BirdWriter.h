#pragma once
// Producer of BIRD firmware files, for everything that stands in for the update server side:
// the simulated update server, test fixtures and the demo.
//
// The file is "bird", a 2-byte big-endian format version and the zlib stream (as zlib's
// `compress` writes it) of the content: a 4-byte block count, the block records (1 header byte:
// type in bits 0-4, flags in bits 5-7; 4-byte payload length; payload) and a trailing 4-byte
// checksum. All numbers are big-endian. The checksum algorithm is ours to choose: the reader
// records it without checking; this writer stores the CRC-32 of the content before it.
//
// This writer is deliberately independent of the reader in store/, so that each checks the other.

#include <cstdint>
#include <string>
#include <vector>

namespace birdsim {

using Bytes = std::vector<uint8_t>;

// Block type values.
enum BirdBlockType : uint8_t {
    kBlockLoader = 0,
    kBlockFirmware = 1,
    kBlockSerialOffsets = 2,
    kBlockInfo = 4,
    kBlockLoaderStart = 5,
};

inline constexpr uint16_t kBirdFormatVersion = 0x0101;

// Identity of an image, written as four 16-byte ASCII fields padded with spaces.
struct BirdInfo {
    uint32_t build = 0;   // decimal
    std::string version;  // at most 15 characters (the reader cuts it at the first space)
    uint32_t serial = 0;  // "%08X"
    std::string model;    // at most 16 characters
};

// The 64-byte payload of an info block. Throws std::invalid_argument for a version longer than
// 15 or a model longer than 16 characters.
Bytes InfoPayload(const BirdInfo& info);

// Binds one image to a device: the exact inverse of the reader's decoding. With key bytes K (the
// four words, most significant byte first) and d the plain bytes, c[j] = d[j] ^ K[j % 16] ^
// d[j - 1] (d[-1] = 0).
Bytes BindImage(const Bytes& image, const uint32_t fingerprint[4]);

// The container around `content`: signature, `version` and the zlib stream of the content.
// Throws std::runtime_error when zlib fails.
Bytes PackContainer(const Bytes& content, uint16_t version = kBirdFormatVersion);

// Collects blocks in the order they are added and produces the content and the whole file.
class BirdWriter {
public:
    // A loader or firmware image to be placed at `address`; `flags` 0-7.
    BirdWriter& AddLoader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdWriter& AddFirmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // Marks a generic image: where the serial-number word and the 8-character serial descriptor
    // (UTF-16LE) sit in the firmware; 0 means absent.
    BirdWriter& AddSerialOffsets(uint32_t serialNumberOffset, uint32_t descriptorOffset);
    BirdWriter& AddInfo(const BirdInfo& info);
    BirdWriter& AddLoaderStart(uint32_t entry);
    // Any block, payload as given (also for malformed files in tests). Type 0-31, flags 0-7,
    // else std::invalid_argument.
    BirdWriter& AddBlock(uint8_t type, const Bytes& payload, uint8_t flags = 0);

    // Firmware images are bound to the device with this fingerprint when the content is made.
    BirdWriter& BindToFingerprint(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3);

    // Deliberate faults for tests of the reader: a block count that differs from the records,
    // a fixed checksum, another format version.
    BirdWriter& SetReportedBlockCount(uint32_t count);
    BirdWriter& SetChecksum(uint32_t checksum);
    BirdWriter& SetFormatVersion(uint16_t version);

    // The uncompressed content: count, records, checksum.
    Bytes Content() const;
    // The whole file.
    Bytes Build() const;
    // Writes the whole file to `path`, replacing it atomically (temporary file in the same folder,
    // then rename). Throws std::runtime_error on failure.
    void WriteTo(const std::string& path) const;

private:
    struct Block {
        uint8_t type;
        uint8_t flags;
        Bytes payload;
    };
    BirdWriter& addImage(uint8_t type, uint32_t address, const Bytes& image, uint8_t flags);

    std::vector<Block> blocks_;
    bool bound_ = false;
    uint32_t fingerprint_[4] = {};
    bool hasReportedCount_ = false;
    uint32_t reportedCount_ = 0;
    bool hasChecksum_ = false;
    uint32_t checksum_ = 0;
    uint16_t version_ = kBirdFormatVersion;
};

}  // namespace birdsim
