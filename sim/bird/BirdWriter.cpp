#include "BirdWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace birdsim {

namespace {

constexpr size_t kInfoField = 16;

void _putBig32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void _putField(Bytes& out, const std::string& text) {
    size_t start = out.size();
    out.insert(out.end(), text.begin(), text.end());
    out.resize(start + kInfoField, ' ');
}

void _writeAll(int fd, const Bytes& bytes, const std::string& path) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
        done += static_cast<size_t>(n);
    }
}

}  // namespace

Bytes InfoPayload(const BirdInfo& info) {
    if (info.version.size() > kInfoField - 1)
        throw std::invalid_argument("version text longer than 15 characters: " + info.version);
    if (info.model.size() > kInfoField)
        throw std::invalid_argument("model name longer than 16 characters: " + info.model);
    char serial[9];
    snprintf(serial, sizeof(serial), "%08X", info.serial);
    Bytes payload;
    _putField(payload, std::to_string(info.build));
    _putField(payload, info.version);
    _putField(payload, serial);
    _putField(payload, info.model);
    return payload;
}

Bytes BindImage(const Bytes& image, const uint32_t fingerprint[4]) {
    uint8_t key[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            key[4 * w + b] = static_cast<uint8_t>(fingerprint[w] >> (24 - 8 * b));
    Bytes bound(image.size());
    uint8_t previousPlain = 0;
    for (size_t j = 0; j < image.size(); ++j) {
        bound[j] = static_cast<uint8_t>(image[j] ^ key[j % 16] ^ previousPlain);
        previousPlain = image[j];
    }
    return bound;
}

Bytes PackContainer(const Bytes& content, uint16_t version) {
    uLongf capacity = compressBound(static_cast<uLong>(content.size()));
    Bytes file = {
        'b', 'i', 'r', 'd', static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version)};
    file.resize(6 + capacity);
    int result =
        compress(file.data() + 6, &capacity, content.data(), static_cast<uLong>(content.size()));
    if (result != Z_OK) throw std::runtime_error("zlib compress failed: " + std::to_string(result));
    file.resize(6 + capacity);
    return file;
}

BirdWriter& BirdWriter::AddBlock(uint8_t type, const Bytes& payload, uint8_t flags) {
    if (type > 0x1F) throw std::invalid_argument("block type above 31");
    if (flags > 7) throw std::invalid_argument("block flags above 7");
    blocks_.push_back({type, flags, payload});
    return *this;
}

BirdWriter& BirdWriter::addImage(uint8_t type, uint32_t address, const Bytes& image,
                                 uint8_t flags) {
    Bytes payload;
    _putBig32(payload, address);
    payload.insert(payload.end(), image.begin(), image.end());
    return AddBlock(type, payload, flags);
}

BirdWriter& BirdWriter::AddLoader(uint32_t address, const Bytes& image, uint8_t flags) {
    return addImage(kBlockLoader, address, image, flags);
}

BirdWriter& BirdWriter::AddFirmware(uint32_t address, const Bytes& image, uint8_t flags) {
    return addImage(kBlockFirmware, address, image, flags);
}

BirdWriter& BirdWriter::AddSerialOffsets(uint32_t serialNumberOffset, uint32_t descriptorOffset) {
    Bytes payload;
    _putBig32(payload, serialNumberOffset);
    _putBig32(payload, descriptorOffset);
    return AddBlock(kBlockSerialOffsets, payload);
}

BirdWriter& BirdWriter::AddInfo(const BirdInfo& info) {
    return AddBlock(kBlockInfo, InfoPayload(info));
}

BirdWriter& BirdWriter::AddLoaderStart(uint32_t entry) {
    Bytes payload;
    _putBig32(payload, entry);
    return AddBlock(kBlockLoaderStart, payload);
}

BirdWriter& BirdWriter::BindToFingerprint(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
    bound_ = true;
    fingerprint_[0] = w0;
    fingerprint_[1] = w1;
    fingerprint_[2] = w2;
    fingerprint_[3] = w3;
    return *this;
}

BirdWriter& BirdWriter::SetReportedBlockCount(uint32_t count) {
    hasReportedCount_ = true;
    reportedCount_ = count;
    return *this;
}

BirdWriter& BirdWriter::SetChecksum(uint32_t checksum) {
    hasChecksum_ = true;
    checksum_ = checksum;
    return *this;
}

BirdWriter& BirdWriter::SetFormatVersion(uint16_t version) {
    version_ = version;
    return *this;
}

Bytes BirdWriter::Content() const {
    Bytes content;
    _putBig32(content, hasReportedCount_ ? reportedCount_ : static_cast<uint32_t>(blocks_.size()));
    for (const Block& block : blocks_) {
        Bytes payload = block.payload;
        if (bound_ && block.type == kBlockFirmware && payload.size() > 4) {
            Bytes image(payload.begin() + 4, payload.end());
            Bytes bound = BindImage(image, fingerprint_);
            std::copy(bound.begin(), bound.end(), payload.begin() + 4);
        }
        content.push_back(static_cast<uint8_t>(block.type | (block.flags << 5)));
        _putBig32(content, static_cast<uint32_t>(payload.size()));
        content.insert(content.end(), payload.begin(), payload.end());
    }
    uint32_t checksum =
        hasChecksum_
            ? checksum_
            : static_cast<uint32_t>(crc32(0L, content.data(), static_cast<uInt>(content.size())));
    _putBig32(content, checksum);
    return content;
}

Bytes BirdWriter::Build() const {
    return PackContainer(Content(), version_);
}

void BirdWriter::WriteTo(const std::string& path) const {
    Bytes file = Build();
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0)
        throw std::runtime_error("cannot create a file beside " + path + ": " + strerror(errno));
    try {
        _writeAll(fd, file, path);
        if (fchmod(fd, 0644) != 0 || fsync(fd) != 0)
            throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    } catch (...) {
        close(fd);
        unlink(temporary.c_str());
        throw;
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + strerror(error));
    }
}

}  // namespace birdsim
