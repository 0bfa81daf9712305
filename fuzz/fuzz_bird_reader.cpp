// Fuzzes the BIRD file reader with arbitrary bytes, read two ways:
//   1. as a whole file (signature check, load, inflate, scan);
//   2. as decompressed content, which the harness compresses and wraps in a valid container,
//      so that mutations reach the block scanner instead of dying in zlib.
// Every loaded file is then driven through its accessors, patching, decoding and searching.
//
// Besides memory safety it checks what the reader promises: every block lies inside the owned
// buffer; a wrapped content that fits the 8x rule always loads and yields back exactly that
// content; patching and decoding change only firmware image bytes; decoding and the serial number
// patch keep the block list; a moved file keeps its records.
//
// Seeds (fuzz/corpus/bird_reader) were made with sim/bird's bird-writer: whole files, and their
// decompressed contents for the second reading.

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"

namespace {

std::string gPath;  // a memory file, rewritten for every input
int gFd = -1;

void Check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

void WriteInput(const uint8_t* bytes, size_t size) {
    Check(ftruncate(gFd, 0) == 0, "truncate memory file");
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(gFd, bytes + done, size - done, static_cast<off_t>(done));
        Check(n > 0, "write memory file");
        done += static_cast<size_t>(n);
    }
}

uint32_t Word(const uint8_t* bytes, size_t size, size_t at) {
    uint32_t w = 0;
    for (size_t i = 0; i < 4; ++i) w = (w << 8) | (at + i < size ? bytes[at + i] : 0);
    return w;
}

void CheckBlocksInside(const BirdFile& file) {
    Check(file.blockCount == file.blocks.size(), "block count matches the records");
    const uint8_t* begin = file.data.get();
    for (const BirdBlock& block : file.blocks) {
        Check(begin && block.data >= begin &&
                  static_cast<size_t>(block.data - begin) + block.length <= file.dataSize,
              "block inside the buffer");
        Check(block.type <= BIRD_FILE_TYPE_MASK && block.flags <= 7, "type and flags in range");
    }
}

// True for every content byte that belongs to the image of a firmware block.
std::vector<bool> FirmwareImageMask(const BirdFile& file) {
    std::vector<bool> mask(file.dataSize, false);
    for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        if (block.length <= 4) continue;
        size_t start = static_cast<size_t>(block.data - file.data.get()) + 4;
        for (size_t i = 0; i < block.length - 4; ++i) mask[start + i] = true;
    }
    return mask;
}

// Runs `change` and checks that it touched only firmware image bytes and kept the records.
template <typename Change>
void CheckOnlyFirmwareChanges(BirdFile& file, Change change) {
    std::vector<uint8_t> before(file.data.get(), file.data.get() + file.dataSize);
    std::vector<BirdBlock> blocks = file.blocks;
    std::vector<bool> mask = FirmwareImageMask(file);
    change();
    Check(file.blocks.size() == blocks.size(), "records kept");
    for (size_t i = 0; i < blocks.size(); ++i)
        Check(file.blocks[i].data == blocks[i].data && file.blocks[i].length == blocks[i].length,
              "record kept");
    for (size_t i = 0; i < before.size(); ++i)
        Check(mask[i] || before[i] == file.data[i], "only firmware image bytes change");
}

void Exercise(BirdFile& file, const uint8_t* input, size_t size) {
    CheckBlocksInside(file);
    for (unsigned type = 0; type <= BIRD_FILE_TYPE_MASK; ++type)
        file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
    file.GetBuild();
    Check(file.GetVersion().size() <= 15, "version of at most 15 characters");
    file.ValidateSerialNumber(file.GetSerialNumber());
    std::string name(reinterpret_cast<const char*>(input), size < 20 ? size : 20);
    file.ValidateModel(name.c_str());
    file.ValidateModel("Topaz");
    file.ValidateData(input, static_cast<uint32_t>(size < 6 ? size : 6));
    if (file.dataSize < 4096) file.DumpBlocks(BirdFile::BLOCK_FIRMWARE);

    BirdFile moved(std::move(file));
    CheckBlocksInside(moved);
    Check(file.blocks.empty() && !file.data, "moved-from file is empty");

    const uint32_t serial = Word(input, size, 0);
    CheckOnlyFirmwareChanges(moved, [&] {
        bool written = moved.ReplaceSerialNumber(serial);
        Check(!written || moved.serialNumberOffset || moved.descriptorOffset,
              "a serial number is written only at an offset");
    });
    CheckOnlyFirmwareChanges(moved, [&] {
        moved.DecodeFirmwareBlocks(Word(input, size, 4), Word(input, size, 8),
                                   Word(input, size, 12), Word(input, size, 16));
    });
    CheckOnlyFirmwareChanges(moved, [&] { moved.ReplaceVectorChecksum(); });
    file = std::move(moved);
    CheckBlocksInside(file);
}

void ReadAsFile(const uint8_t* bytes, size_t size) {
    WriteInput(bytes, size);
    bool verified = BirdFile::VerifyFile(gPath);
    Check(verified == (size >= 6 && memcmp(bytes, "bird", 4) == 0 && bytes[4] && bytes[5]),
          "VerifyFile checks exactly the signature and the version bytes");
    try {
        BirdFile file(gPath);
        Check(size > 6, "a file of 6 bytes or fewer never loads");
        Exercise(file, bytes, size);
    } catch (const std::runtime_error& e) {
        Check(strcmp(e.what(), "Failed to load bird data") == 0, "the load error text");
    }
}

void ReadAsContent(const uint8_t* content, size_t size) {
    uLongf capacity = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1};
    file.resize(6 + capacity);
    Check(compress(file.data() + 6, &capacity, content, static_cast<uLong>(size)) == Z_OK,
          "compress");
    file.resize(6 + capacity);
    WriteInput(file.data(), file.size());

    BirdFile loaded;
    loaded.path = gPath;
    bool fits = size <= 8 * capacity;
    Check(loaded.Load() == fits, "a content loads exactly when it fits the 8x rule");
    if (!fits) return;
    Check(loaded.signature == BIRD_FILE_SIGNATURE && loaded.version == BIRD_FILE_VERSION,
          "container header read");
    Check(loaded.dataSize == size && memcmp(loaded.data.get(), content, size) == 0,
          "the content comes back unchanged");
    Check(loaded.hasSerialOffsets == !loaded.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS).empty(),
          "generic exactly with a serial-offsets block");
    Exercise(loaded, content, size);

    // The same content scanned from a foreign buffer gives the same records.
    BirdFile scanned;
    bool scannedOk = scanned.ScanBlocks(content, static_cast<uint32_t>(size));
    Check(scanned.blockCount == loaded.blockCount, "scan of a copy agrees");
    Check(scanned.data.get() != content, "scan keeps its own copy");
    CheckBlocksInside(scanned);
    (void)scannedOk;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gFd = memfd_create("bird", 0);
    if (gFd < 0) abort();
    gPath = "/proc/self/fd/" + std::to_string(gFd);
    // Format every debug line the reader writes, into nowhere; DumpBlocks prints to stdout.
    Log::SetOutput(fopen("/dev/null", "w"));
    Log::ActivatePackage(DEBUG_BirdFile);
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return -1;
    ReadAsFile(data, size);
    ReadAsContent(data, size);
    return 0;
}
