#pragma once
// Reader, validator and patcher of BIRD firmware files.
//
// A BIRD file is the 4-byte signature "bird", a 2-byte big-endian format version and a zlib
// stream. The stream inflates to the content: a 4-byte block count, the block records back to
// back (1 header byte: type in bits 0-4, flags in bits 5-7; 4-byte payload length; payload) and
// a trailing 4-byte checksum, which is recorded but never verified. Every number of the container,
// the content and the block headers is big-endian; words inside loader and firmware images are
// target memory and little-endian.
//
// A BirdFile owns its decompressed content; every BirdBlock in `blocks` points into that buffer.
// Patching and decoding change the buffer only; the file on disk is never written. Loading reads
// through the platform file functions and logs under DEBUG_BirdFile.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Container bytes 0-3 ("bird") read big-endian.
inline constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;
// Current format version, container bytes 4-5 (01 01).
inline constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
// Split of a block header byte: type in the low 5 bits, flags (0-7) in the high 3 bits.
inline constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
inline constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
inline constexpr unsigned BIRD_FILE_FLAG_SHIFT = 5;
// Size of the container header in front of the zlib stream.
inline constexpr size_t BIRD_FILE_HEADER_SIZE = 6;
// Size of a block record header (type/flags byte and payload length).
inline constexpr size_t BIRD_BLOCK_HEADER_SIZE = 5;
// Payload size of BLOCK_INFO: four 16-byte space-padded ASCII fields.
inline constexpr size_t BIRD_INFO_FIELD_SIZE = 16;
inline constexpr size_t BIRD_INFO_SIZE = 4 * BIRD_INFO_FIELD_SIZE;

// One parsed block record: a plain value, copied freely. `data` is not owned; it stays valid as
// long as the BirdFile it came from (including after that file was moved).
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;        // the 3 flag bits, 0-7
    uint32_t length = 0;      // payload length
    uint32_t address = 0;     // loader/firmware: target address (payload bytes 0-3); else 0
    uint8_t* data = nullptr;  // start of the payload (with the address bytes for images)
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,          // target address, then loader image bytes
        BLOCK_FIRMWARE = 1,        // target address, then firmware image bytes
        BLOCK_SERIAL_OFFSETS = 2,  // serial-number address, descriptor address (generic image)
        BLOCK_INFO = 4,            // build, version, serial, model (16 bytes each)
        BLOCK_LOADER_START = 5,    // loader entry address
    };

    // Empty: no blocks, all numbers 0, no buffer.
    BirdFile() = default;
    // Stores `path` and loads it; throws std::runtime_error("Failed to load bird data") when
    // Load fails.
    explicit BirdFile(const std::string& path);

    // Move-only: the blocks point into the buffer, which moves with them. A moved-from file is
    // empty.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile() = default;

    // Reads `path`, inflates the body and scans the blocks. True when the body inflated; block
    // count and size mismatches of the scan are logged only. Resets every earlier result first.
    bool Load();

    // True when `path` can be read and starts with "bird" followed by two nonzero version bytes.
    // Does not load the file.
    static bool VerifyFile(const std::string& path);

    // Parses `size` bytes of content into `blocks` (replacing earlier ones), `blockCount` and
    // `checksum`. Content that is not this file's own buffer is first copied into it, so the
    // records always point into the owned buffer. Never reads outside the content. True when the
    // records fill the content exactly and their number equals the reported count.
    bool ScanBlocks(const uint8_t* content, uint32_t size);

    // Inflates `length` body bytes into a new owned buffer of at most 8 x `length` bytes. Drops
    // earlier blocks (they pointed into the old buffer). False, with dataSize 0, on a zlib error
    // (a body expanding beyond 8 times its size gives zlib's buffer error -5).
    bool DecompressData(const uint8_t* body, uint32_t length);

    // Copies of every record of `type`, in file order; empty when there is none.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Sets serialNumberOffset and descriptorOffset from the first BLOCK_SERIAL_OFFSETS record.
    // False when there is none or its payload is shorter than the two 4-byte addresses.
    bool FindSerialNumberOffsets();

    // Writes `serial` into every firmware block that holds the serial-number word (little-endian)
    // or the 16-byte serial descriptor (8 digits "%08X" in the low bytes of UTF-16LE units).
    // Only fields lying wholly inside a block are written. True when at least one was written.
    bool ReplaceSerialNumber(uint32_t serial);

    // Undoes the binding of firmware images to a device: key bytes are k0..k3, each most
    // significant byte first; every image byte becomes c ^ K[i] ^ previous decoded byte, with the
    // chain restarting at each firmware block. Address bytes and other blocks stay. Always true.
    bool DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3);

    // For every firmware block at address 0 holding at least 8 vector words, stores in word 7
    // the two's complement of the sum of words 0-6, so that the first 8 words sum to zero (the
    // boot ROM's valid-image check). Always true.
    bool ReplaceVectorChecksum();

    // Identity fields of the first BLOCK_INFO record; 0, empty or false when it is missing (or too
    // short to hold the field).
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    // True when `name` (non-empty, at most 16 characters) equals the start of the stored model
    // name with its trailing spaces removed (so a prefix of the stored name matches too).
    bool ValidateModel(const char* name) const;

    // Hex and character dump of every block of `type` to standard output. Always true.
    bool DumpBlocks(BLOCK_TYPE type) const;

    // Logs every offset at which the `n` bytes of `pattern` occur in a firmware block's payload.
    // True when there was at least one; an empty pattern never matches.
    bool ValidateData(const uint8_t* pattern, uint32_t n) const;

    std::string path;
    uint32_t signature = 0;           // container bytes 0-3, big-endian (0 until loaded)
    uint32_t version = 0;             // container bytes 4-5, big-endian (0 until loaded)
    uint32_t checksum = 0;            // the content's trailing 4 bytes
    uint32_t blockCount = 0;          // records parsed
    std::vector<BirdBlock> blocks;    // records in file order, pointing into `data`
    bool hasSerialOffsets = false;    // at least one BLOCK_SERIAL_OFFSETS record: a generic image
    uint32_t serialNumberOffset = 0;  // target address of the serial-number word; 0 = absent
    uint32_t descriptorOffset = 0;    // target address of the serial descriptor text; 0 = absent
    std::unique_ptr<uint8_t[]> data;  // the decompressed content
    uint32_t dataSize = 0;            // valid bytes in `data`

private:
    void reset();
    void moveFrom(BirdFile& other) noexcept;
    // Payload of the first BLOCK_INFO record when it holds the whole 16-byte `field` (0-3).
    const uint8_t* infoField(unsigned field) const;
};
