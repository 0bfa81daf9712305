#include "BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "aFile.h"

namespace {

uint32_t GetInt(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t GetShort(const uint8_t* p) {
    return (uint32_t{p[0]} << 8) | p[1];
}

uint32_t _getLittleInt(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void _putLittleInt(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Image bytes of a loader or firmware block: the payload after its 4 address bytes.
constexpr uint32_t kAddressSize = 4;

// Target addresses [A, E) covered by the image bytes of `block`, in 64 bits so that an image near
// the top of the address space cannot wrap around and pass a bounds check.
struct ImageRange {
    uint64_t begin;
    uint64_t end;
    bool holds(uint64_t address, uint64_t size) const {
        return begin <= address && address + size <= end;
    }
};

ImageRange _imageRange(const BirdBlock& block) {
    uint64_t imageSize = block.length >= kAddressSize ? block.length - kAddressSize : 0;
    return {block.address, uint64_t{block.address} + imageSize};
}

// Unsigned number from the leading digits of `text` (after leading spaces), modulo 2^32.
uint32_t _parseLeadingNumber(const char* text, unsigned base) {
    while (*text == ' ') ++text;
    uint32_t value = 0;
    for (; *text; ++text) {
        int c = static_cast<unsigned char>(*text);
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        if (digit >= base) break;
        value = value * base + digit;
    }
    return value;
}

}  // namespace

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    moveFrom(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this != &other) moveFrom(other);
    return *this;
}

void BirdFile::moveFrom(BirdFile& other) noexcept {
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);  // records keep pointing into the buffer moved below
    hasSerialOffsets = other.hasSerialOffsets;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    data = std::move(other.data);
    dataSize = other.dataSize;
    other.path.clear();
    other.reset();
}

void BirdFile::reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    data.reset();
    dataSize = 0;
}

bool BirdFile::Load() {
    reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFileRef file = aFile_Open(path.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t fileSize = 0;
    aErr err = aFile_GetSize(file, &fileSize);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), path.c_str());
        aFile_Close(&file);
        return false;
    }

    bool loaded = false;
    std::vector<uint8_t> bytes;
    size_t bytesRead = 0;
    try {
        bytes.resize(fileSize);
        err = fileSize ? aFile_Read(file, bytes.data(), fileSize, &bytesRead) : aErrNone;
    } catch (const std::bad_alloc&) {
        err = aErrMemory;  // a file too large to hold fails like a read error
    }
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err),
                 path.c_str());
    } else if (bytesRead != fileSize) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), bytesRead, fileSize);
    } else {
        if (fileSize > BIRD_FILE_HEADER_SIZE) {
            signature = GetInt(bytes.data());
            version = GetShort(bytes.data() + 4);
        }
        // A file of the header size or less has no body: inflating nothing fails.
        size_t bodySize = fileSize > BIRD_FILE_HEADER_SIZE ? fileSize - BIRD_FILE_HEADER_SIZE : 0;
        const uint8_t* body = bytes.data() + (fileSize - bodySize);
        if (bodySize > UINT32_MAX) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n",
                     Z_BUF_ERROR);
        } else if (DecompressData(body, static_cast<uint32_t>(bodySize))) {
            ScanBlocks(data.get(), dataSize);  // a mismatch is logged, not fatal
            FindSerialNumberOffsets();
            loaded = true;
        }
    }

    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    aFile_Close(&file);
    return loaded;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
    aFileRef file = aFile_Open(filePath.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath.c_str());
        return false;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof(header), &count);
    aFile_Close(&file);
    return err == aErrNone && count == sizeof(header) && GetInt(header) == BIRD_FILE_SIGNATURE &&
           header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* body, uint32_t length) {
    blocks.clear();
    blockCount = 0;
    dataSize = 0;
    // The capacity is 8 times the body, computed in 32 bits; a body too large for that cannot be
    // inflated at all instead of getting a wrapped, far too small buffer.
    uLongf capacity = 8u * length;
    int result = Z_BUF_ERROR;
    data.reset();
    if (body && length <= UINT32_MAX / 8) {
        data.reset(new (std::nothrow) uint8_t[capacity]);
        result = data ? uncompress(data.get(), &capacity, body, length) : Z_MEM_ERROR;
    }
    if (result != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", result);
        data.reset();
        return false;
    }
    dataSize = static_cast<uint32_t>(capacity);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* content, uint32_t size) {
    blocks.clear();
    blockCount = 0;
    checksum = 0;
    if (!content && size) return false;
    if (content == data.get() && size > dataSize) size = dataSize;
    if (content != data.get()) {
        // Keep the invariant: records only ever point into this object's own buffer.
        std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[size ? size : 1]);
        if (!copy) return false;
        if (size) memcpy(copy.get(), content, size);
        data = std::move(copy);
        dataSize = size;
        content = data.get();
    }

    if (size < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size));
        return false;
    }
    const uint32_t reported = GetInt(content);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    uint8_t* cursor = data.get() + 4;
    uint32_t remaining = size - 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    bool sizeMismatch = false;
    while (remaining > 4) {
        const uint32_t length = GetInt(cursor + 1);
        if (length > remaining - BIRD_BLOCK_HEADER_SIZE) {
            sizeMismatch = true;  // the payload would run past the end of the content
            break;
        }
        BirdBlock block;
        block.type = cursor[0] & BIRD_FILE_TYPE_MASK;
        block.flags =
            static_cast<uint8_t>((cursor[0] & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
        block.length = length;
        block.data = cursor + BIRD_BLOCK_HEADER_SIZE;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && length >= kAddressSize)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(length));
        if (block.type == BLOCK_INFO) {
            for (uint32_t field = 0; (field + 1) * BIRD_INFO_FIELD_SIZE <= length; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field * BIRD_INFO_FIELD_SIZE));
        }
        cursor += BIRD_BLOCK_HEADER_SIZE + length;
        remaining -= static_cast<uint32_t>(BIRD_BLOCK_HEADER_SIZE + length);
        ++blockCount;
        blocks.push_back(block);
    }

    if (!sizeMismatch && remaining == 4) {
        checksum = GetInt(cursor);
        remaining = 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    } else {
        sizeMismatch = true;  // no room for the checksum after the last record
    }
    bool ok = true;
    if (sizeMismatch) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        ok = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(reported));
        ok = false;
    }
    return ok;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type) found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    std::vector<BirdBlock> found = FindBlocks(BLOCK_SERIAL_OFFSETS);
    if (found.empty() || !found[0].data || found[0].length < 8) return false;
    serialNumberOffset = GetInt(found[0].data);
    descriptorOffset = GetInt(found[0].data + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char digits[9];
    snprintf(digits, sizeof(digits), "%08X", serial);
    constexpr uint32_t kDescriptorBytes = 16;  // 8 UTF-16LE code units
    bool written = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize) continue;
        const ImageRange range = _imageRange(block);
        uint8_t* image = block.data + kAddressSize;
        if (serialNumberOffset != 0 && range.holds(serialNumberOffset, 4)) {
            uint8_t* word = image + (serialNumberOffset - block.address);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                     _getLittleInt(word), serial);
            _putLittleInt(word, serial);
            written = true;
        }
        if (descriptorOffset != 0 && range.holds(descriptorOffset, kDescriptorBytes)) {
            uint8_t* text = image + (descriptorOffset - block.address);
            for (int i = 0; i < 8; ++i) text[2 * i] = static_cast<uint8_t>(digits[i]);
            written = true;
        }
    }
    return written;
}

bool BirdFile::DecodeFirmwareBlocks(uint32_t k0, uint32_t k1, uint32_t k2, uint32_t k3) {
    const uint32_t words[4] = {k0, k1, k2, k3};
    uint8_t key[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b) key[4 * w + b] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length <= kAddressSize) continue;
        uint8_t* image = block.data + kAddressSize;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < block.length - kAddressSize; ++j) {
            image[j] = static_cast<uint8_t>(image[j] ^ key[j % 16] ^ previous);
            previous = image[j];
        }
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    constexpr uint32_t kVectorWords = 8;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize + 4 * kVectorWords ||
            GetInt(block.data) != 0)
            continue;
        uint8_t* vectors = block.data + kAddressSize;
        uint32_t sum = 0;
        for (uint32_t w = 0; w < kVectorWords - 1; ++w) sum += _getLittleInt(vectors + 4 * w);
        uint32_t check = ~sum + 1;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 _getLittleInt(vectors + 28), check);
        _putLittleInt(vectors + 28, check);
    }
    return true;
}

const uint8_t* BirdFile::infoField(unsigned field) const {
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_INFO) continue;
        if (!block.data || block.length < (field + 1) * BIRD_INFO_FIELD_SIZE) return nullptr;
        return block.data + field * BIRD_INFO_FIELD_SIZE;
    }
    return nullptr;
}

uint32_t BirdFile::GetSerialNumber() const {
    const uint8_t* field = infoField(2);
    if (!field) return 0;
    char text[9] = {};
    memcpy(text, field, 8);
    return _parseLeadingNumber(text, 16);
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return serial == GetSerialNumber();
}

uint32_t BirdFile::GetBuild() const {
    const uint8_t* field = infoField(0);
    if (!field) return 0;
    char text[BIRD_INFO_FIELD_SIZE];
    memcpy(text, field, sizeof(text));
    text[15] = '\0';
    return _parseLeadingNumber(text, 10);
}

std::string BirdFile::GetVersion() const {
    const uint8_t* field = infoField(1);
    if (!field) return "";
    char text[BIRD_INFO_FIELD_SIZE];
    memcpy(text, field, sizeof(text));
    text[15] = '\0';
    for (char& c : text)
        if (c == ' ') c = '\0';
    return text;
}

bool BirdFile::ValidateModel(const char* name) const {
    const uint8_t* field = infoField(3);
    if (!field || !name) return false;
    size_t nameLength = strlen(name);
    // An empty name would be a prefix of every model: never accept it.
    if (nameLength == 0 || nameLength > BIRD_INFO_FIELD_SIZE) return false;
    char stored[BIRD_INFO_FIELD_SIZE + 1] = {};
    memcpy(stored, field, BIRD_INFO_FIELD_SIZE);
    for (size_t end = BIRD_INFO_FIELD_SIZE; end > 0 && stored[end - 1] == ' '; --end)
        stored[end - 1] = '\0';
    if (strncmp(stored, name, nameLength) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored, name);
    return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    constexpr uint32_t kBytesPerLine = 50;
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : blocks) {
        if (block.type != type) continue;
        std::string column;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % kBytesPerLine == 0) {
                printf(" %s\r\n%06d: ", column.c_str(), static_cast<int>(i));
                column.clear();
            }
            uint8_t byte = block.data[i];
            column += isprint(byte) ? static_cast<char>(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", column.c_str());
    }
    printf("\n");
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t n) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && n > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.length < n) continue;
            // Every start offset whose n bytes lie inside the payload, the last one included.
            for (uint32_t i = 0; i <= block.length - n; ++i) {
                if (memcmp(block.data + i, pattern, n) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}
