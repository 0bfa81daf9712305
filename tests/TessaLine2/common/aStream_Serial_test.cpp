#include "aStream_Serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>

#include "Process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// A pseudo-terminal pair: the stream opens the terminal side by its path; the test plays the
// far end on the master side and watches the terminal settings through a second descriptor.
class SerialStream : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
        observer = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(observer, 0);
    }
    void TearDown() override {
        aStream_Destroy(&stream);
        if (observer >= 0) close(observer);
        if (master >= 0) close(master);
    }
    aErr Open(uint32_t baudIndex = aSerialBaud115200, bool parity = false, uint32_t dataBits = 0,
              uint32_t stopBits = 0) {
        return aStream_CreateSerial(path.c_str(), baudIndex, parity, dataBits, stopBits, &stream);
    }
    termios Settings() const {
        termios settings{};
        EXPECT_EQ(tcgetattr(observer, &settings), 0);
        return settings;
    }
    std::string ReadMaster(size_t n, int ms = 2000) {
        std::string got;
        auto deadline = Clock::now() + milliseconds(ms);
        while (got.size() < n && Clock::now() < deadline) {
            pollfd poller{master, POLLIN, 0};
            if (poll(&poller, 1, 50) != 1) continue;
            char buffer[256];
            ssize_t r = read(master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) break;
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }

    int master = -1;
    int observer = -1;
    std::string path;
    aStreamRef stream = nullptr;
};

struct BaudCase {
    uint32_t index;
    speed_t speed;
};

void PrintTo(const BaudCase& c, std::ostream* os) {
    *os << "index " << c.index;
}

class SerialBaud : public SerialStream, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(SerialBaud, SetsTheSpeedOfItsIndex) {
    ASSERT_EQ(Open(GetParam().index), aErrNone);
    termios settings = Settings();
    EXPECT_EQ(cfgetospeed(&settings), GetParam().speed);
    EXPECT_EQ(cfgetispeed(&settings), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(EveryIndex, SerialBaud,
                         ::testing::Values(BaudCase{0, B2400}, BaudCase{1, B4800},
                                           BaudCase{2, B9600}, BaudCase{3, B19200},
                                           BaudCase{4, B38400}, BaudCase{5, B57600},
                                           BaudCase{6, B115200}, BaudCase{7, B230400},
                                           BaudCase{8, B0}, BaudCase{0xFFFFFFFF, B0}),
                         [](const auto& info) { return std::to_string(info.param.index); });

struct FrameCase {
    const char* name;
    bool parity;
    uint32_t dataBits, stopBits;
    tcflag_t cflag;  // parity, size and stop bits expected
    tcflag_t iflag;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialFrame : public SerialStream, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(SerialFrame, RawSettingsWithTheChosenFraming) {
    const FrameCase& c = GetParam();
    const termios found = Settings();
    const termios raw =
        aStream_SerialSettings(found, aSerialBaud115200, c.parity, c.dataBits, c.stopBits);
    EXPECT_EQ(raw.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB), c.cflag);
    EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(raw.c_cflag & (CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(raw.c_iflag, c.iflag);
    EXPECT_EQ(raw.c_oflag, 0u);
    EXPECT_EQ(raw.c_lflag, 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&raw), speed_t(B115200));

    // The port gets them, as far as a pseudo-terminal keeps them (it forces 8 bits, no parity).
    ASSERT_EQ(Open(aSerialBaud115200, c.parity, c.dataBits, c.stopBits), aErrNone);
    const termios applied = Settings();
    EXPECT_EQ(applied.c_cflag & CSTOPB, c.cflag & CSTOPB);
    EXPECT_EQ(applied.c_iflag, c.iflag);
    EXPECT_EQ(applied.c_oflag, 0u);
    EXPECT_EQ(applied.c_lflag, 0u);
    EXPECT_EQ(applied.c_cc[VMIN], 0);
    EXPECT_EQ(applied.c_cc[VTIME], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialFrame,
    ::testing::Values(FrameCase{"N81", false, 0, 0, CS8, IGNBRK},
                      FrameCase{"E81", true, 0, 0, PARENB | CS8, IGNBRK | IGNPAR},
                      FrameCase{"N71", false, 1, 0, CS7, IGNBRK},
                      FrameCase{"N82", false, 0, 1, CS8 | CSTOPB, IGNBRK},
                      FrameCase{"E72", true, 1, 1, PARENB | CS7 | CSTOPB, IGNBRK | IGNPAR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialStream, InvalidArgumentsLeaveThePortUntouched) {
    const termios before = Settings();
    struct Case {
        const char* name;
        const char* port;
        uint32_t dataBits, stopBits;
        bool withOutput;
    } cases[] = {
        {"null name", nullptr, 0, 0, true},
        {"no output pointer", path.c_str(), 0, 0, false},
        {"data bits mode 2", path.c_str(), 2, 0, true},
        {"stop bits mode 2", path.c_str(), 0, 2, true},
    };
    for (const Case& c : cases) {
        stream = reinterpret_cast<aStreamRef>(this);
        EXPECT_EQ(aStream_CreateSerial(c.port, aSerialBaud9600, false, c.dataBits, c.stopBits,
                                       c.withOutput ? &stream : nullptr),
                  aErrResource)
            << c.name;
        if (c.withOutput) {
            EXPECT_EQ(stream, nullptr) << c.name;
        }
        stream = nullptr;
        termios after = Settings();
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << c.name;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << c.name;
    }
    std::string tooLong(aSERIAL_MAX_PATH + 1, 'x');
    EXPECT_EQ(aStream_CreateSerial(tooLong.c_str(), 0, false, 0, 0, &stream), aErrResource);
}

TEST_F(SerialStream, OpenErrors) {
    testsupport::TempDir dir;
    const std::string missing = dir.path() + "/ttyMissing";
    const std::string plain = dir.path() + "/plain";
    std::ofstream(plain) << "not a terminal";
    EXPECT_EQ(aStream_CreateSerial(missing.c_str(), 0, false, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial(plain.c_str(), 0, false, 0, 0, &stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(SerialStream, OpenWithoutPermission) {
    if (geteuid() == 0) GTEST_SKIP() << "access checks do not apply to root";
    testsupport::TempDir dir;
    const std::string locked = dir.path() + "/locked";
    std::ofstream(locked) << "";
    chmod(locked.c_str(), 0);
    EXPECT_EQ(aStream_CreateSerial(locked.c_str(), 0, false, 0, 0, &stream), aErrPermission);
}

TEST_F(SerialStream, ReadsWithNothingToReadAnswerAtOnce) {
    ASSERT_EQ(Open(), aErrNone);
    uint8_t byte;
    auto start = Clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_LT(ElapsedMs(start), 50);

    start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 150), aErrTimeout);
    EXPECT_GE(ElapsedMs(start), 140);

    ASSERT_EQ(write(master, "ab", 2), 2);
    EXPECT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t two[2];
    EXPECT_EQ(aStream_Read(stream, two, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(two), 2), "ab");
}

TEST_F(SerialStream, WritesPassUnchanged) {
    ASSERT_EQ(Open(), aErrNone);
    const std::string block("line\nwith\r\0bytes", 16);
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>(block.data()), block.size()),
              aErrNone);
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("?"), 1), aErrNone);
    EXPECT_EQ(ReadMaster(block.size() + 1), block + "?");
}

TEST_F(SerialStream, IspStyleLineExchange) {
    ASSERT_EQ(Open(aSerialBaud9600), aErrNone);
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("?"), 1), aErrNone);
    EXPECT_EQ(ReadMaster(1), "?");
    ASSERT_EQ(write(master, "Synchro", 7), 7);
    char line[32];
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(aStream_ReadCStringRecord(stream, line, sizeof line, "\r\n"), aErrNotReady);
    ASSERT_EQ(write(master, "nized\r\n", 7), 7);
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(aStream_ReadCStringRecord(stream, line, sizeof line, "\r\n"), aErrNone);
    EXPECT_STREQ(line, "Synchronized");
}

TEST_F(SerialStream, DestroyRestoresTheSettingsFoundAtOpen) {
    const termios before = Settings();
    ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh terminal starts in canonical mode";
    ASSERT_EQ(Open(aSerialBaud2400, true, 1, 1), aErrNone);
    EXPECT_EQ(Settings().c_lflag, 0u);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    const termios after = Settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(SerialStream, HungUpLineIsNotReadableAndDoesNotSpin) {
    ASSERT_EQ(Open(), aErrNone);
    close(observer);
    observer = -1;
    close(master);
    master = -1;
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 150), aErrTimeout);
    EXPECT_GE(ElapsedMs(start), 140);
}

}  // namespace
