#include "BirdFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "Log.h"
#include "Process.h"
#include "LogCapture.h"

namespace {

using birdsim::BirdInfo;
using birdsim::BirdWriter;
using birdsim::Bytes;
using testing::HasSubstr;
using testsupport::LogCapture;
using testing::Not;

// Everything a block function writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() : file_(tmpfile()) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        restore();
        fclose(file_);
    }
    std::string text() {
        restore();
        std::string out;
        rewind(file_);
        for (int c; (c = fgetc(file_)) != EOF;) out += static_cast<char>(c);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    FILE* file_;
    int saved_ = -1;
};

std::string Field(const std::string& text) {
    std::string field = text;
    field.resize(16, ' ');
    return field;
}

Bytes InfoBytes(const std::string& build, const std::string& version, const std::string& serial,
                const std::string& model) {
    std::string all = Field(build) + Field(version) + Field(serial) + Field(model);
    return Bytes(all.begin(), all.end());
}

Bytes Sequence(size_t size, uint8_t first = 0) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

Bytes ImageOf(const BirdBlock& block) {
    return Bytes(block.data + 4, block.data + block.length);
}

void PutBig32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

// Content bytes built record by record, for malformed contents the writer will not make.
struct RawContent {
    Bytes bytes;
    explicit RawContent(uint32_t reportedCount) { PutBig32(bytes, reportedCount); }
    RawContent& record(uint8_t header, uint32_t length, const Bytes& payload) {
        bytes.push_back(header);
        PutBig32(bytes, length);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return *this;
    }
    RawContent& raw(const Bytes& tail) {
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return *this;
    }
};

bool PointsInto(const BirdFile& file, const BirdBlock& block) {
    const uint8_t* begin = file.data.get();
    return block.data >= begin && block.data + block.length <= begin + file.dataSize;
}

class BirdFileTest : public testing::Test {
protected:
    std::string Write(const std::string& name, const Bytes& bytes) {
        std::string path = dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    std::string Write(const std::string& name, const BirdWriter& writer) {
        std::string path = dir.path() + "/" + name;
        writer.WriteTo(path);
        return path;
    }
    BirdFile Load(const BirdWriter& writer) { return BirdFile(Write("image.bird", writer)); }

    testsupport::TempDir dir;
};

// ---- VerifyFile --------------------------------------------------------------------------

struct VerifyCase {
    const char* name;
    std::string bytes;
    bool expected;
};

class BirdFileVerify : public BirdFileTest, public testing::WithParamInterface<VerifyCase> {};

TEST_P(BirdFileVerify, ChecksSignatureAndNonzeroVersionBytes) {
    const std::string& bytes = GetParam().bytes;
    std::string path = Write("f.bird", Bytes(bytes.begin(), bytes.end()));
    EXPECT_EQ(BirdFile::VerifyFile(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BirdFileVerify,
    testing::Values(VerifyCase{"Version0101", std::string("bird\x01\x01xyz", 9), true},
                    VerifyCase{"HeaderOnly", std::string("bird\x01\x01", 6), true},
                    VerifyCase{"OtherVersion", std::string("bird\x02\x07", 6), true},
                    VerifyCase{"SecondVersionByteZero", std::string("bird\x01\x00zz", 8), false},
                    VerifyCase{"FirstVersionByteZero", std::string("bird\x00\x01zz", 8), false},
                    VerifyCase{"FiveBytes", std::string("bird\x01", 5), false},
                    VerifyCase{"Empty", std::string(), false},
                    VerifyCase{"UpperCaseSignature", std::string("BIRD\x01\x01", 6), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, VerifyFileRefusesMissingFileAndFolder) {
    LogCapture log(DEBUG_BirdFile);
    std::string missing = dir.path() + "/missing.bird";
    EXPECT_FALSE(BirdFile::VerifyFile(missing));
    EXPECT_THAT(log.Text(),
                HasSubstr("BIRDFILE: Error - cannot open bird file: '" + missing + "'\n"));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.path()));
}

// ---- Loading a well-formed file ----------------------------------------------------------

TEST_F(BirdFileTest, LoadsEveryBlockWithTypeFlagsLengthAddressAndPayload) {
    const Bytes loader1 = Sequence(10, 1), loader2 = Sequence(3, 50), firmware = Sequence(300);
    BirdWriter writer;
    writer.AddInfo({1234, "1.4.2", 0x0012ABCD, "Topaz"})
        .AddSerialOffsets(0x8010, 0x8020)
        .AddLoader(0x20000000, loader1, 5)
        .AddLoader(0x20001000, loader2)
        .AddLoaderStart(0x20000400)
        .AddFirmware(0x8000, firmware, 7)
        .AddBlock(9, {0xAA});  // a type with no meaning is kept like any other
    std::string path = Write("image.bird", writer);
    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path);

    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.signature, BIRD_FILE_SIGNATURE);
    EXPECT_EQ(file.version, BIRD_FILE_VERSION);
    Bytes content = writer.Content();
    EXPECT_EQ(file.dataSize, content.size());
    EXPECT_EQ(file.checksum, crc32(0L, content.data(), static_cast<uInt>(content.size() - 4)));
    ASSERT_EQ(file.blockCount, 7u);
    ASSERT_EQ(file.blocks.size(), 7u);

    struct Expected {
        uint8_t type, flags;
        uint32_t length, address;
    } expected[] = {{BirdFile::BLOCK_INFO, 0, 64, 0},
                    {BirdFile::BLOCK_SERIAL_OFFSETS, 0, 8, 0},
                    {BirdFile::BLOCK_LOADER, 5, 14, 0x20000000},
                    {BirdFile::BLOCK_LOADER, 0, 7, 0x20001000},
                    {BirdFile::BLOCK_LOADER_START, 0, 4, 0},
                    {BirdFile::BLOCK_FIRMWARE, 7, 304, 0x8000},
                    {9, 0, 1, 0}};
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        const BirdBlock& block = file.blocks[i];
        EXPECT_EQ(block.type, expected[i].type);
        EXPECT_EQ(block.flags, expected[i].flags);
        EXPECT_EQ(block.length, expected[i].length);
        EXPECT_EQ(block.address, expected[i].address);
        EXPECT_TRUE(PointsInto(file, block));
    }
    EXPECT_EQ(ImageOf(file.blocks[2]), loader1);
    EXPECT_EQ(ImageOf(file.blocks[5]), firmware);
    EXPECT_EQ(Bytes(file.blocks[4].data, file.blocks[4].data + 4), (Bytes{0x20, 0x00, 0x04, 0x00}));

    EXPECT_TRUE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialNumberOffset, 0x8010u);
    EXPECT_EQ(file.descriptorOffset, 0x8020u);
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "1.4.2");
    EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
    EXPECT_TRUE(file.ValidateSerialNumber(0x0012ABCD));
    EXPECT_FALSE(file.ValidateSerialNumber(0x0012ABCE));

    std::vector<BirdBlock> loaders = file.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(loaders.size(), 2u);
    EXPECT_EQ(loaders[0].address, 0x20000000u);
    EXPECT_EQ(loaders[1].address, 0x20001000u);
    EXPECT_TRUE(file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());

    std::string text = log.Text();
    EXPECT_THAT(text, HasSubstr("BIRDFILE: Loading File [" + path + "]\n"));
    EXPECT_THAT(text, HasSubstr("BIRDFILE:\t\t File reports 7 blocks\n"));
    EXPECT_THAT(text, HasSubstr("BIRDFILE:\t\t 00   05   14\n"));
    EXPECT_THAT(text, HasSubstr("BIRDFILE:\t\t \t[1.4.2           ]\n"));
    EXPECT_THAT(text, HasSubstr("BIRDFILE: Offsets: Serial number: 32784, Descriptor: 32800\n"));
    EXPECT_THAT(text, Not(HasSubstr("mismatch")));
}

TEST_F(BirdFileTest, ImageWithoutSerialOffsetsIsNotGeneric) {
    BirdFile file = Load(BirdWriter().AddInfo({1, "2.0", 7, "Opal"}).AddFirmware(0, Sequence(8)));
    EXPECT_FALSE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialNumberOffset, 0u);
    EXPECT_FALSE(file.FindSerialNumberOffsets());
    EXPECT_FALSE(file.ReplaceSerialNumber(0x1234));
}

TEST_F(BirdFileTest, ReportedCountAboveRecordsStillLoadsAndLogsTheMismatch) {
    std::string path = Write("f.bird", BirdWriter()
                                           .AddFirmware(0, Sequence(4))
                                           .AddFirmware(4, Sequence(4))
                                           .SetReportedBlockCount(3));
    LogCapture log(DEBUG_BirdFile);
    BirdFile file(path);
    EXPECT_EQ(file.blockCount, 2u);
    EXPECT_THAT(log.Text(),
                HasSubstr("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"));
}

TEST_F(BirdFileTest, LoadingAgainReplacesEarlierResults) {
    BirdFile file = Load(BirdWriter().AddSerialOffsets(4, 0).AddFirmware(0, Sequence(8)));
    ASSERT_TRUE(file.Load());
    EXPECT_EQ(file.blockCount, 2u);
    EXPECT_EQ(file.blocks.size(), 2u);
    EXPECT_TRUE(file.hasSerialOffsets);

    Write("image.bird", BirdWriter().AddFirmware(0, Sequence(8)));
    ASSERT_TRUE(file.Load());
    EXPECT_EQ(file.blocks.size(), 1u);
    EXPECT_FALSE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialNumberOffset, 0u);
}

// ---- Load failures -----------------------------------------------------------------------

struct LoadFailureCase {
    const char* name;
    Bytes bytes;
    const char* logged;  // expected debug-log line
};

Bytes Container(const Bytes& body) {
    Bytes file = {'b', 'i', 'r', 'd', 1, 1};
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

class BirdFileLoadFailure : public BirdFileTest,
                            public testing::WithParamInterface<LoadFailureCase> {};

TEST_P(BirdFileLoadFailure, ConstructorThrowsAndLogsTheCause) {
    std::string path = Write("f.bird", GetParam().bytes);
    LogCapture log(DEBUG_BirdFile);
    try {
        BirdFile file(path);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_THAT(log.Text(), HasSubstr(GetParam().logged));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BirdFileLoadFailure,
    testing::Values(LoadFailureCase{"HeaderOnly", Container({}), "decompressing bird file"},
                    LoadFailureCase{"ThreeBytes", {'b', 'i', 'r'}, "decompressing bird file"},
                    LoadFailureCase{"Empty", {}, "decompressing bird file"},
                    LoadFailureCase{"BodyNotZlib", Container({1, 2, 3, 4, 5, 6, 7, 8}),
                                    "BIRDFILE: Error (-3) decompressing bird file.\n"},
                    // 4000 zero bytes deflate to a few dozen: far beyond 8 times the body.
                    LoadFailureCase{"ExpandsBeyondEightTimes",
                                    birdsim::PackContainer(Bytes(4000, 0)),
                                    "BIRDFILE: Error (-5) decompressing bird file.\n"},
                    LoadFailureCase{"TruncatedStream",
                                    [] {
                                        Bytes file =
                                            BirdWriter().AddFirmware(0, Sequence(200)).Build();
                                        file.erase(file.end() - 10, file.end());
                                        return file;
                                    }(),
                                    "decompressing bird file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, MissingFileAndFolderFailToLoad) {
    LogCapture log(DEBUG_BirdFile);
    std::string missing = dir.path() + "/none.bird";
    EXPECT_THROW(BirdFile{missing}, std::runtime_error);
    EXPECT_THAT(log.Text(), HasSubstr("BIRDFILE: BIRD file not found [" + missing + "]\n"));
    EXPECT_THROW(BirdFile{dir.path()}, std::runtime_error);
}

TEST_F(BirdFileTest, ContentUpToEightTimesTheBodyLoadsAndNoMore) {
    // Zero fillers compress better the longer they are: find the last that still fits the 8x
    // rule and the first that does not.
    auto fileWithFiller = [](size_t filler) { return BirdWriter().AddBlock(9, Bytes(filler, 0)); };
    size_t lastFitting = 0, firstBeyond = 0;
    for (size_t filler = 1; filler < 4000 && !firstBeyond; ++filler) {
        BirdWriter writer = fileWithFiller(filler);
        size_t body = writer.Build().size() - BIRD_FILE_HEADER_SIZE;
        (writer.Content().size() <= 8 * body ? lastFitting : firstBeyond) = filler;
    }
    ASSERT_NE(lastFitting, 0u);
    ASSERT_NE(firstBeyond, 0u);
    EXPECT_EQ(BirdFile(Write("fits.bird", fileWithFiller(lastFitting))).blocks[0].length,
              lastFitting);
    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile(Write("beyond.bird", fileWithFiller(firstBeyond))), std::runtime_error);
    EXPECT_THAT(log.Text(), HasSubstr("BIRDFILE: Error (-5) decompressing bird file.\n"));
}

TEST_F(BirdFileTest, EmptyObjectHasNothing) {
    BirdFile file;
    EXPECT_EQ(file.blockCount, 0u);
    EXPECT_EQ(file.data, nullptr);
    EXPECT_EQ(file.GetBuild(), 0u);
    EXPECT_EQ(file.GetVersion(), "");
    EXPECT_EQ(file.GetSerialNumber(), 0u);
    EXPECT_FALSE(file.ValidateModel("Topaz"));
    EXPECT_FALSE(file.FindSerialNumberOffsets());
    EXPECT_FALSE(file.ReplaceSerialNumber(1));
    EXPECT_TRUE(file.DecodeFirmwareBlocks(1, 2, 3, 4));
    EXPECT_TRUE(file.ReplaceVectorChecksum());
}

// ---- Scanning: every record and the checksum must lie inside the content -------------------

struct ScanCase {
    const char* name;
    Bytes content;
    bool ok;
    uint32_t blockCount;
    uint32_t checksum;
    const char* logged;  // expected debug-log line, or "" for none
};

class BirdFileScan : public testing::TestWithParam<ScanCase> {};

TEST_P(BirdFileScan, StaysInsideTheContent) {
    const ScanCase& c = GetParam();
    BirdFile file;
    LogCapture log(DEBUG_BirdFile);
    // The reader copies foreign content into its own exactly sized buffer, so AddressSanitizer
    // sees any read past the end.
    EXPECT_EQ(file.ScanBlocks(c.content.data(), static_cast<uint32_t>(c.content.size())), c.ok);
    EXPECT_EQ(file.blockCount, c.blockCount);
    EXPECT_EQ(file.blocks.size(), c.blockCount);
    EXPECT_EQ(file.checksum, c.checksum);
    for (const BirdBlock& block : file.blocks) EXPECT_TRUE(PointsInto(file, block));
    EXPECT_THAT(log.Text(), HasSubstr(c.logged));
}

const Bytes kSum = {0xC0, 0xFF, 0xEE, 0x11};

INSTANTIATE_TEST_SUITE_P(
    Contents, BirdFileScan,
    testing::Values(
        ScanCase{"NoBlocks", RawContent(0).raw(kSum).bytes, true, 0, 0xC0FFEE11,
                 "BIRDFILE:\t\t File checksum C0FFEE11\n"},
        ScanCase{"TwoBlocks",
                 RawContent(2).record(1, 5, {0, 0, 0, 8, 9}).record(2, 0, {}).raw(kSum).bytes, true,
                 2, 0xC0FFEE11, ""},
        ScanCase{"Empty", {}, false, 0, 0, "mismatch in data size"},
        ScanCase{"ShorterThanCount", {0, 0, 0}, false, 0, 0, "mismatch in data size"},
        ScanCase{"CountWithoutChecksum", RawContent(0).bytes, false, 0, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (0 bytes remaining)\n"},
        ScanCase{"ChecksumCutShort", RawContent(1).record(2, 1, {7}).raw({1, 2}).bytes, false, 1, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"},
        ScanCase{"LastRecordWithoutChecksum", RawContent(1).record(1, 6, Sequence(6)).bytes, false,
                 1, 0, "mismatch in data size"},
        ScanCase{"PayloadPastTheEnd",
                 RawContent(2).record(2, 1, {7}).record(1, 100, Sequence(10)).bytes, false, 1, 0,
                 "mismatch in data size"},
        ScanCase{"PayloadOneBytePastTheChecksum",
                 RawContent(1).record(1, 5, Sequence(4)).raw(kSum).bytes, false, 1, 0,
                 "mismatch in data size"},
        ScanCase{"LengthWrapsThirtyTwoBits",
                 RawContent(1).record(1, 0xFFFFFFFB, Sequence(4)).raw(kSum).bytes, false, 0, 0,
                 "mismatch in data size"},
        ScanCase{"LengthAllOnes", RawContent(1).record(4, 0xFFFFFFFF, {}).raw(kSum).bytes, false, 0,
                 0, "mismatch in data size"},
        // Bytes beyond the checksum are taken for records: two empty ones, then 3 bytes left.
        ScanCase{"BytesAfterChecksum", RawContent(1).record(2, 0, {}).raw(Bytes(13, 0)).bytes,
                 false, 3, 0, "mismatch in number of blocks. (3 != 1)"},
        ScanCase{"GarbageAfterChecksum",
                 RawContent(1).record(2, 0, {}).raw(kSum).raw(Bytes(9, 0)).bytes, false, 1, 0,
                 "(13 bytes remaining)"},
        ScanCase{"FewerRecordsThanReported",
                 RawContent(3).record(2, 0, {}).record(2, 0, {}).raw(kSum).bytes, false, 2,
                 0xC0FFEE11, "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        ScanCase{"ShortImageBlockHasNoAddress",
                 RawContent(1).record(0x21, 2, {0xFF, 0xFF}).raw(kSum).bytes, true, 1, 0xC0FFEE11,
                 "BIRDFILE:\t\t 01   01   2\n"},
        ScanCase{"ShortInfoBlockLogsOnlyWholeFields",
                 RawContent(1).record(4, 20, Sequence(20, 'a')).raw(kSum).bytes, true, 1,
                 0xC0FFEE11, "BIRDFILE:\t\t \t[abcdefghijklmnop]\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BirdFileScanDetails, ShortImageBlockAddressIsZeroAndFlagsAreShifted) {
    Bytes content = RawContent(1).record(0xE1, 2, {0xFF, 0xFF}).raw(kSum).bytes;
    BirdFile file;
    ASSERT_TRUE(file.ScanBlocks(content.data(), static_cast<uint32_t>(content.size())));
    EXPECT_EQ(file.blocks[0].type, BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(file.blocks[0].flags, 7);
    EXPECT_EQ(file.blocks[0].address, 0u);
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    EXPECT_TRUE(file.DecodeFirmwareBlocks(1, 2, 3, 4));
}

TEST(BirdFileScanDetails, SerialOffsetsBlockTooShortGivesNoOffsets) {
    Bytes content = RawContent(1).record(2, 6, {0, 0, 0x10, 0, 0, 0}).raw(kSum).bytes;
    BirdFile file;
    ASSERT_TRUE(file.ScanBlocks(content.data(), static_cast<uint32_t>(content.size())));
    EXPECT_FALSE(file.FindSerialNumberOffsets());
    EXPECT_EQ(file.serialNumberOffset, 0u);
}

TEST(BirdFileScanDetails, RecordsAlwaysPointIntoTheOwnBuffer) {
    Bytes content = RawContent(1).record(1, 6, Sequence(6)).raw(kSum).bytes;
    BirdFile file;
    ASSERT_TRUE(file.ScanBlocks(content.data(), static_cast<uint32_t>(content.size())));
    EXPECT_NE(file.data.get(), content.data());
    EXPECT_EQ(file.dataSize, content.size());
    EXPECT_TRUE(PointsInto(file, file.blocks[0]));
    // The own buffer again, with a size beyond its content: only the content is scanned.
    EXPECT_TRUE(file.ScanBlocks(file.data.get(), file.dataSize + 100));
    EXPECT_EQ(file.blockCount, 1u);
    EXPECT_TRUE(PointsInto(file, file.blocks[0]));
    EXPECT_EQ(ImageOf(file.blocks[0]), (Bytes{4, 5}));
}

// ---- Identity fields of the info block -----------------------------------------------------

struct InfoCase {
    const char* name;
    Bytes payload;
    uint32_t build;
    const char* version;
    uint32_t serial;
};

class BirdFileInfo : public BirdFileTest, public testing::WithParamInterface<InfoCase> {};

TEST_P(BirdFileInfo, ReadsBuildVersionAndSerial) {
    const InfoCase& c = GetParam();
    BirdFile file = Load(BirdWriter().AddBlock(BirdFile::BLOCK_INFO, c.payload));
    EXPECT_EQ(file.GetBuild(), c.build);
    EXPECT_EQ(file.GetVersion(), c.version);
    EXPECT_EQ(file.GetSerialNumber(), c.serial);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BirdFileInfo,
    testing::Values(
        InfoCase{"Example", InfoBytes("1234", "1.4.2 beta", "0012ABCD", "Topaz"), 1234, "1.4.2",
                 0x0012ABCD},
        InfoCase{"LowerCaseHex", InfoBytes("7", "v", "deadbeef", "X"), 7, "v", 0xDEADBEEF},
        InfoCase{"VersionOfSixteenCharactersKeepsFifteen",
                 InfoBytes("0", "123456789ABCDEFG", "00000001", "X"), 0, "123456789ABCDEF", 1},
        InfoCase{"BuildWithSixteenDigitsReadsFifteen", InfoBytes("1234567890123456", "", "", ""),
                 static_cast<uint32_t>(123456789012345ull), "", 0},
        InfoCase{"BuildNotANumber", InfoBytes("abc", "2.0", "zz", ""), 0, "2.0", 0},
        InfoCase{"SerialDigitsStopAtTheEighth", InfoBytes("1", "1", "0000000F12", ""), 1, "1", 0xF},
        InfoCase{"ShortBlockHoldsOnlyTheBuild",
                 Bytes{'4', '2', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                       ' ', '9'},
                 42, "", 0},
        InfoCase{"EmptyBlock", Bytes{}, 0, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct ModelCase {
    const char* label;
    const char* stored;
    const char* name;
    bool matches;
};

class BirdFileModel : public BirdFileTest, public testing::WithParamInterface<ModelCase> {};

TEST_P(BirdFileModel, ComparesAPrefixOfTheStoredNameWithoutTrailingSpaces) {
    BirdFile file = Load(
        BirdWriter().AddBlock(BirdFile::BLOCK_INFO, InfoBytes("1", "1", "1", GetParam().stored)));
    LogCapture log(DEBUG_BirdFile);
    EXPECT_EQ(file.ValidateModel(GetParam().name), GetParam().matches);
    if (GetParam().matches) {
        EXPECT_THAT(log.Text(), HasSubstr(std::string("Model matches model number ([") +
                                          GetParam().stored + "] == [" + GetParam().name + "])\n"));
    } else {
        EXPECT_THAT(log.Text(), Not(HasSubstr("Model matches")));
    }
}

INSTANTIATE_TEST_SUITE_P(Names, BirdFileModel,
                         testing::Values(ModelCase{"Same", "Topaz", "Topaz", true},
                                         ModelCase{"Prefix", "Topaz", "Top", true},
                                         ModelCase{"Longer", "Topaz", "Topaz2", false},
                                         ModelCase{"OtherCase", "Topaz", "topaz", false},
                                         ModelCase{"Other", "Topaz", "Opal", false},
                                         ModelCase{"TrailingSpace", "Topaz", "Topaz ", false},
                                         ModelCase{"EmptyName", "Topaz", "", false},
                                         ModelCase{"SixteenCharacters", "ABCDEFGHIJKLMNOP",
                                                   "ABCDEFGHIJKLMNOP", true},
                                         ModelCase{"SeventeenCharacters", "ABCDEFGHIJKLMNOP",
                                                   "ABCDEFGHIJKLMNOPQ", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(BirdFileTest, ModelCheckFailsWithoutInfoBlockOrName) {
    BirdFile file = Load(BirdWriter().AddFirmware(0, Sequence(4)));
    EXPECT_FALSE(file.ValidateModel("Topaz"));
    BirdFile withInfo = Load(BirdWriter().AddInfo({1, "1", 1, "Topaz"}));
    EXPECT_FALSE(withInfo.ValidateModel(nullptr));
}

// ---- Serial number patching ----------------------------------------------------------------

struct SerialCase {
    const char* name;
    uint32_t serialOffset;
    uint32_t descriptorOffset;
    bool written;
    int changedBlock;  // -1: none, else the firmware block (0 or 1) that changes
};

class BirdFileSerial : public BirdFileTest, public testing::WithParamInterface<SerialCase> {};

// Two firmware images: 64 bytes at 0x1000 and 64 bytes at 0x2000, filled with 0xEE.
TEST_P(BirdFileSerial, WritesOnlyFieldsWhollyInsideAFirmwareBlock) {
    const SerialCase& c = GetParam();
    BirdFile file = Load(BirdWriter()
                             .AddSerialOffsets(c.serialOffset, c.descriptorOffset)
                             .AddLoader(0x1000, Bytes(64, 0xEE))
                             .AddFirmware(0x1000, Bytes(64, 0xEE))
                             .AddFirmware(0x2000, Bytes(64, 0xEE)));
    ASSERT_TRUE(file.hasSerialOffsets);
    EXPECT_EQ(file.ReplaceSerialNumber(0x1A2B3C4D), c.written);
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    for (int b = 0; b < 2; ++b)
        EXPECT_EQ(ImageOf(firmware[b]) != Bytes(64, 0xEE), b == c.changedBlock) << "block " << b;
    EXPECT_EQ(ImageOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), Bytes(64, 0xEE));
    EXPECT_EQ(Bytes(firmware[1].data, firmware[1].data + 4), (Bytes{0, 0, 0x20, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, BirdFileSerial,
    testing::Values(SerialCase{"SerialInSecondBlock", 0x2010, 0, true, 1},
                    SerialCase{"DescriptorInFirstBlock", 0, 0x1004, true, 0},
                    SerialCase{"SerialInLastFourBytes", 0x103C, 0, true, 0},
                    SerialCase{"DescriptorInLastSixteenBytes", 0, 0x2030, true, 1},
                    SerialCase{"BothOutside", 0x3000, 0x0800, false, -1},
                    SerialCase{"BothAbsent", 0, 0, false, -1},
                    SerialCase{"SerialStraddlesTheEnd", 0x103D, 0, false, -1},
                    SerialCase{"SerialStraddlesTheStart", 0x0FFE, 0, false, -1},
                    SerialCase{"DescriptorStraddlesTheEnd", 0, 0x2031, false, -1},
                    SerialCase{"SerialAddressWrapsAround", 0xFFFFFFFE, 0, false, -1},
                    SerialCase{"DescriptorAddressWrapsAround", 0, 0xFFFFFFF8, false, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, SerialWordIsLittleEndianAndDescriptorKeepsHighBytes) {
    Bytes image(64);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0x80 + i);
    BirdFile file = Load(BirdWriter().AddSerialOffsets(0x8008, 0x8010).AddFirmware(0x8000, image));
    LogCapture log(DEBUG_BirdFile);
    ASSERT_TRUE(file.ReplaceSerialNumber(0x1A2B3C4D));
    Bytes patched = ImageOf(file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
    EXPECT_EQ(Bytes(patched.begin() + 8, patched.begin() + 12), (Bytes{0x4D, 0x3C, 0x2B, 0x1A}));
    const char digits[] = "1A2B3C4D";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(patched[16 + 2 * i], digits[i]) << i;
        EXPECT_EQ(patched[17 + 2 * i], image[17 + 2 * i]) << i;
    }
    EXPECT_EQ(Bytes(patched.begin() + 32, patched.end()), Bytes(image.begin() + 32, image.end()));
    EXPECT_THAT(log.Text(),
                HasSubstr("BIRDFILE: updating serial number from 8B8A8988 ==> 1A2B3C4D\n"));
}

TEST_F(BirdFileTest, ImageNearTheTopOfTheAddressSpaceIsPatchedWithoutWrapping) {
    BirdFile file =
        Load(BirdWriter().AddSerialOffsets(0xFFFFFFFC, 0).AddFirmware(0xFFFFFFF0, Bytes(16, 0)));
    ASSERT_TRUE(file.ReplaceSerialNumber(0x01020304));
    Bytes image = ImageOf(file.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]);
    EXPECT_EQ(Bytes(image.begin() + 12, image.end()), (Bytes{4, 3, 2, 1}));
}

// ---- Device binding ------------------------------------------------------------------------

TEST_F(BirdFileTest, DecodingWithZeroKeyChainsEachBlockFromItsFirstByte) {
    BirdFile file = Load(BirdWriter()
                             .AddLoader(0, {1, 2, 4})
                             .AddFirmware(0x100, {1, 2, 4})
                             .AddFirmware(0x200, {0x10, 0x01}));
    EXPECT_TRUE(file.DecodeFirmwareBlocks(0, 0, 0, 0));
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(ImageOf(firmware[0]), (Bytes{1, 3, 7}));
    EXPECT_EQ(ImageOf(firmware[1]), (Bytes{0x10, 0x11}));
    EXPECT_EQ(firmware[1].address, 0x200u);
    EXPECT_EQ(Bytes(firmware[1].data, firmware[1].data + 4), (Bytes{0, 0, 2, 0}));
    EXPECT_EQ(ImageOf(file.FindBlocks(BirdFile::BLOCK_LOADER)[0]), (Bytes{1, 2, 4}));
}

TEST_F(BirdFileTest, KeyBytesAreTheWordsMostSignificantByteFirst) {
    BirdFile file = Load(BirdWriter().AddFirmware(0, Bytes(4, 0)));
    file.DecodeFirmwareBlocks(0xA1B2C3D4, 0, 0, 0);
    // d0 = A1, d1 = B2 ^ A1, d2 = C3 ^ d1, d3 = D4 ^ d2
    EXPECT_EQ(ImageOf(file.blocks[0]), (Bytes{0xA1, 0x13, 0xD0, 0x04}));
}

TEST_F(BirdFileTest, WriterBindingIsUndoneByTheMatchingFingerprintOnly) {
    const uint32_t key[4] = {0x0123ABCD, 0xFEDC3210, 0x55AA55AA, 0x00000001};
    const Bytes first = Sequence(100, 7), second = Sequence(37, 200), loader = Sequence(20);
    BirdWriter writer;
    writer.AddLoader(0x20000000, loader).AddFirmware(0, first).AddFirmware(0x4000, second);
    writer.BindToFingerprint(key[0], key[1], key[2], key[3]);

    BirdFile bound = Load(writer);
    std::vector<BirdBlock> firmware = bound.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_NE(ImageOf(firmware[0]), first);
    EXPECT_EQ(ImageOf(bound.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loader);

    bound.DecodeFirmwareBlocks(key[0], key[1], key[2], key[3]);
    EXPECT_EQ(ImageOf(firmware[0]), first);
    EXPECT_EQ(ImageOf(firmware[1]), second);
    EXPECT_EQ(firmware[1].address, 0x4000u);

    BirdFile wrong = Load(writer);
    wrong.DecodeFirmwareBlocks(key[0], key[1], key[2], key[3] ^ 0x100);
    EXPECT_NE(ImageOf(wrong.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), first);
}

// ---- Vector checksum -----------------------------------------------------------------------

Bytes VectorTable(const std::vector<uint32_t>& words) {
    Bytes bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

uint32_t LittleWord(const Bytes& bytes, size_t index) {
    uint32_t w = 0;
    for (int i = 3; i >= 0; --i) w = (w << 8) | bytes[4 * index + i];
    return w;
}

TEST_F(BirdFileTest, VectorChecksumMakesTheFirstEightWordsSumToZero) {
    const std::vector<uint32_t> words = {0x10008000, 0x000001C1, 0x000001C9, 0x000001CB, 0x000001CD,
                                         0x000001CF, 0x000001D1, 0x12345678, 0xCAFEBABE};
    BirdFile file = Load(BirdWriter()
                             .AddFirmware(0, VectorTable(words))
                             .AddFirmware(0x1000, VectorTable(words))
                             .AddFirmware(0, VectorTable({1, 2, 3})));  // too short: kept
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    Bytes image = ImageOf(firmware[0]);
    uint32_t sum = 0;
    for (size_t i = 0; i < 8; ++i) sum += LittleWord(image, i);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(LittleWord(image, 8), 0xCAFEBABEu);
    EXPECT_EQ(ImageOf(firmware[1]), VectorTable(words));
    EXPECT_EQ(ImageOf(firmware[2]), VectorTable({1, 2, 3}));
    char expected[80];
    snprintf(expected, sizeof(expected),
             "BIRDFILE: updating vector checksum from 12345678 ==> %08X\n", LittleWord(image, 7));
    EXPECT_THAT(log.Text(), HasSubstr(expected));
}

// ---- Pattern search ------------------------------------------------------------------------

struct PatternCase {
    const char* name;
    Bytes pattern;
    bool found;
    const char* logged;
};

class BirdFilePattern : public BirdFileTest, public testing::WithParamInterface<PatternCase> {};

// Firmware payload: address 00 00 10 00, then bytes 10..19. Loader image: AA BB.
TEST_P(BirdFilePattern, SearchesEveryWholePositionOfTheFirmwarePayloads) {
    BirdFile file =
        Load(BirdWriter().AddLoader(0, {0xAA, 0xBB}).AddFirmware(0x1000, Sequence(10, 10)));
    LogCapture log(DEBUG_BirdFile);
    const Bytes& pattern = GetParam().pattern;
    EXPECT_EQ(file.ValidateData(pattern.data(), static_cast<uint32_t>(pattern.size())),
              GetParam().found);
    std::string text = log.Text();
    EXPECT_THAT(text, HasSubstr("BIRDFILE: looking for data pattern in ["));
    EXPECT_THAT(text, HasSubstr(GetParam().logged));
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, BirdFilePattern,
    testing::Values(PatternCase{"AddressBytes", {0, 0, 0x10, 0}, true, "Found data at 0\n"},
                    PatternCase{"Middle", {12, 13}, true, "Found data at 6\n"},
                    PatternCase{"LastPosition", {18, 19}, true, "Found data at 12\n"},
                    PatternCase{"WholePayload",
                                {0, 0, 0x10, 0, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19},
                                true,
                                "Found data at 0\n"},
                    PatternCase{"LongerThanPayload",
                                {0, 0, 0x10, 0, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20},
                                false,
                                ""},
                    PatternCase{"OnlyInLoader", {0xAA, 0xBB}, false, ""},
                    PatternCase{"Absent", {13, 12}, false, ""},
                    PatternCase{"Empty", {}, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Dump ----------------------------------------------------------------------------------

TEST_F(BirdFileTest, DumpPrintsFiftyBytesPerLineWithTheirCharacters) {
    Bytes image(47, 'x');
    image[0] = 'A';
    image[1] = 0x01;
    BirdFile file = Load(BirdWriter().AddFirmware(0x41424344, image).AddLoader(0, {1}));
    StdoutCapture out;
    EXPECT_TRUE(file.DumpBlocks(BirdFile::BLOCK_FIRMWARE));
    std::string text = out.text();

    std::string column = "ABCDA " + std::string(44, 'x');
    std::string expected =
        "BIRDFILE: BLOCK DUMP [" + file.path + "]\n \r\n000000: 41 42 43 44 41 01 ";
    for (int i = 0; i < 44; ++i) expected += "78 ";
    expected += " " + column + "\r\n000050: 78  x\n\n";
    EXPECT_EQ(text, expected);
}

// ---- Ownership -----------------------------------------------------------------------------

TEST_F(BirdFileTest, MovingKeepsRecordsValidAndEmptiesTheSource) {
    BirdFile loaded = Load(BirdWriter()
                               .AddInfo({5, "5.0", 0x55, "Mica"})
                               .AddSerialOffsets(0x10, 0)
                               .AddFirmware(0, Bytes(32, 0)));
    const uint8_t* buffer = loaded.data.get();
    const uint8_t* firmware = loaded.blocks[2].data;

    BirdFile moved(std::move(loaded));
    EXPECT_EQ(moved.data.get(), buffer);
    EXPECT_EQ(moved.blocks[2].data, firmware);
    EXPECT_TRUE(moved.hasSerialOffsets);
    EXPECT_EQ(moved.GetVersion(), "5.0");
    EXPECT_EQ(loaded.blockCount, 0u);
    EXPECT_TRUE(loaded.blocks.empty());
    EXPECT_EQ(loaded.data, nullptr);
    EXPECT_FALSE(loaded.hasSerialOffsets);
    EXPECT_EQ(loaded.path, "");

    BirdFile target = Load(BirdWriter().AddFirmware(0, Bytes(4, 1)));
    target = std::move(moved);
    EXPECT_EQ(target.blocks[2].data, firmware);
    EXPECT_TRUE(target.ReplaceSerialNumber(0xAABBCCDD));
    EXPECT_EQ(target.blocks[2].data[4 + 0x10], 0xDD);
    EXPECT_EQ(moved.data, nullptr);
}

// ---- Writer --------------------------------------------------------------------------------

TEST(BirdWriter, RefusesWhatTheFormatCannotHold) {
    EXPECT_THROW(birdsim::InfoPayload({1, std::string(16, 'v'), 1, "M"}), std::invalid_argument);
    EXPECT_THROW(birdsim::InfoPayload({1, "v", 1, std::string(17, 'm')}), std::invalid_argument);
    EXPECT_NO_THROW(birdsim::InfoPayload({1, std::string(15, 'v'), 1, std::string(16, 'm')}));
    EXPECT_THROW(BirdWriter().AddBlock(32, {}), std::invalid_argument);
    EXPECT_THROW(BirdWriter().AddBlock(1, {}, 8), std::invalid_argument);
}

TEST(BirdWriter, InfoFieldsArePaddedWithSpaces) {
    Bytes info = birdsim::InfoPayload({42, "1.0", 0xAB, "Opal"});
    EXPECT_EQ(info, InfoBytes("42", "1.0", "000000AB", "Opal"));
}

TEST(BirdWriter, ContentLayoutIsCountRecordsAndChecksum) {
    BirdWriter writer;
    writer.AddFirmware(0x01020304, {0xAA}, 3).SetChecksum(0x0A0B0C0D);
    EXPECT_EQ(writer.Content(),
              (Bytes{0, 0, 0, 1, 0x61, 0, 0, 0, 5, 1, 2, 3, 4, 0xAA, 0x0A, 0x0B, 0x0C, 0x0D}));
    Bytes file = writer.SetFormatVersion(0x0203).Build();
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{'b', 'i', 'r', 'd', 2, 3}));
}

TEST_F(BirdFileTest, WriteToReplacesTheFileAndLeavesNoTemporaryFile) {
    std::string path = Write("a.bird", BirdWriter().AddFirmware(0, {1}));
    Write("a.bird", BirdWriter().AddFirmware(0, {2}));
    EXPECT_EQ(ImageOf(BirdFile(path).blocks[0]), Bytes{2});
    EXPECT_EQ(testsupport::RunProcess({"/bin/ls", dir.path()}).out, "a.bird\n");
    EXPECT_THROW(BirdWriter().WriteTo(dir.path() + "/no/such/folder/x.bird"), std::runtime_error);
}

// ---- bird-writer command -------------------------------------------------------------------

std::string BirdWriterProgram() {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "bird-writer";
}

TEST_F(BirdFileTest, CommandWritesAFileTheReaderAccepts) {
    std::string firmware = Write("fw.bin", Sequence(64));
    std::string loader = Write("ld.bin", Sequence(16, 100));
    std::string out = dir.path() + "/1234.bird";
    auto result = testsupport::RunProcess({BirdWriterProgram(),
                                           "-o",
                                           out,
                                           "--model",
                                           "Topaz",
                                           "--serial",
                                           "0012ABCD",
                                           "--version",
                                           "1.4.2",
                                           "--build",
                                           "1234",
                                           "--firmware",
                                           firmware + "@0x8000",
                                           "--loader",
                                           loader + "@0x20000000",
                                           "--loader-start",
                                           "0x20000400",
                                           "--serial-offsets",
                                           "0x8010,0x8020",
                                           "--flags",
                                           "2"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");

    ASSERT_TRUE(BirdFile::VerifyFile(out));
    BirdFile file(out);
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "1.4.2");
    EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
    EXPECT_TRUE(file.ValidateModel("Topaz"));
    EXPECT_TRUE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialNumberOffset, 0x8010u);
    EXPECT_EQ(file.descriptorOffset, 0x8020u);
    std::vector<BirdBlock> fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 1u);
    EXPECT_EQ(fw[0].address, 0x8000u);
    EXPECT_EQ(fw[0].flags, 2);
    EXPECT_EQ(ImageOf(fw[0]), Sequence(64));
    std::vector<BirdBlock> ld = file.FindBlocks(BirdFile::BLOCK_LOADER);
    ASSERT_EQ(ld.size(), 1u);
    EXPECT_EQ(ld[0].address, 0x20000000u);
    EXPECT_EQ(ImageOf(ld[0]), Sequence(16, 100));
    std::vector<BirdBlock> start = file.FindBlocks(BirdFile::BLOCK_LOADER_START);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(Bytes(start[0].data, start[0].data + 4), (Bytes{0x20, 0x00, 0x04, 0x00}));
}

TEST_F(BirdFileTest, CommandBindsFirmwareToAFingerprint) {
    std::string firmware = Write("fw.bin", Sequence(40));
    std::string out = dir.path() + "/bound.bird";
    auto result = testsupport::RunProcess({BirdWriterProgram(), "-o", out, "-f", firmware, "-p",
                                           "0123ABCD,FEDC3210,55AA55AA,00000001"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    BirdFile file(out);
    EXPECT_NE(ImageOf(file.blocks[1]), Sequence(40));
    file.DecodeFirmwareBlocks(0x0123ABCD, 0xFEDC3210, 0x55AA55AA, 0x00000001);
    EXPECT_EQ(ImageOf(file.blocks[1]), Sequence(40));
}

struct CommandErrorCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
};

class BirdWriterCommandError : public BirdFileTest,
                               public testing::WithParamInterface<CommandErrorCase> {};

TEST_P(BirdWriterCommandError, ExitsWithAMessageAndWritesNothing) {
    std::vector<std::string> argv = {BirdWriterProgram()};
    for (const std::string& arg : GetParam().args)
        argv.push_back(arg == "OUT" ? dir.path() + "/out.bird" : arg);
    auto result = testsupport::RunProcess(argv);
    EXPECT_EQ(result.exit_status, GetParam().status);
    EXPECT_THAT(result.err, HasSubstr(GetParam().message));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.path() + "/out.bird"));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BirdWriterCommandError,
    testing::Values(
        CommandErrorCase{"NoOutput", {"-m", "Topaz"}, 2, "no output file"},
        CommandErrorCase{"BadSerial", {"-o", "OUT", "-s", "12G4"}, 2, "invalid serial number"},
        CommandErrorCase{
            "SerialTooLarge", {"-o", "OUT", "-s", "123456789"}, 2, "invalid serial number"},
        CommandErrorCase{"NegativeBuild", {"-o", "OUT", "-b", "-1"}, 2, "invalid build number"},
        CommandErrorCase{"ShortFingerprint", {"-o", "OUT", "-p", "1,2,3"}, 2, "four words"},
        CommandErrorCase{"FlagsAboveSeven", {"-o", "OUT", "-F", "8"}, 2, "flags must be 0-7"},
        CommandErrorCase{"UnknownOption", {"-o", "OUT", "--colour"}, 2, "unknown option"},
        CommandErrorCase{"MissingValue", {"-o"}, 2, "needs a value"},
        CommandErrorCase{
            "LongModel", {"-o", "OUT", "-m", "ABCDEFGHIJKLMNOPQ"}, 1, "longer than 16"},
        CommandErrorCase{"MissingImage",
                         {"-o", "OUT", "-f", "/nonexistent/fw.bin"},
                         1,
                         "cannot read /nonexistent/fw.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BirdWriterCommand, HelpListsTheOptions) {
    auto result = testsupport::RunProcess({BirdWriterProgram(), "--help"});
    EXPECT_EQ(result.exit_status, 0);
    for (const char* option :
         {"--output", "--model", "--serial", "--version", "--build", "--firmware", "--loader",
          "--loader-start", "--serial-offsets", "--fingerprint", "--flags"})
        EXPECT_THAT(result.out, HasSubstr(option));
}

}  // namespace
