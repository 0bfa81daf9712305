#include "aStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace {

// A scripted transport: get answers from a queue of outcomes (a byte, or an error), put and write
// record what they were given, delete counts its calls.
struct Fake {
    struct Outcome {
        aErr err;
        uint8_t byte;
    };
    std::deque<Outcome> script;
    aErr whenEmpty = aErrNotReady;
    std::string put;
    std::vector<std::string> writes;
    int putCalls = 0;
    int getCalls = 0;
    int deletes = 0;
    int waits = 0;
    uint32_t lastWaitTimeout = 0;
    aErr putResult = aErrNone;
    size_t failPutAt = SIZE_MAX;  // put number (0-based) that fails with putResult
    aErr writeResult = aErrNone;
    aErr deleteResult = aErrNone;
    aErr waitResult = aErrTimeout;

    void Feed(const std::string& bytes) {
        for (char c : bytes) script.push_back({aErrNone, static_cast<uint8_t>(c)});
    }
    void Fail(aErr err) { script.push_back({err, 0}); }

    static aErr Get(uint8_t* byte, void* state) {
        auto* f = static_cast<Fake*>(state);
        ++f->getCalls;
        if (f->script.empty()) return f->whenEmpty;
        Outcome o = f->script.front();
        f->script.pop_front();
        if (o.err == aErrNone) *byte = o.byte;
        return o.err;
    }
    static aErr Put(const uint8_t* byte, void* state) {
        auto* f = static_cast<Fake*>(state);
        if (static_cast<size_t>(f->putCalls++) == f->failPutAt) return f->putResult;
        f->put.push_back(static_cast<char>(*byte));
        return aErrNone;
    }
    static aErr Write(const uint8_t* bytes, size_t length, void* state) {
        auto* f = static_cast<Fake*>(state);
        f->writes.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return f->writeResult;
    }
    static aErr Delete(void* state) {
        auto* f = static_cast<Fake*>(state);
        ++f->deletes;
        return f->deleteResult;
    }
    static aErr Wait(uint32_t msTimeout, void* state) {
        auto* f = static_cast<Fake*>(state);
        ++f->waits;
        f->lastWaitTimeout = msTimeout;
        return f->waitResult;
    }
};

// A stream over a Fake with the chosen operations; destroyed with the fixture.
class StreamTest : public ::testing::Test {
  protected:
    void Make(bool get = true, bool put = true, bool write = true) {
        stream = aStream_Create(get ? Fake::Get : nullptr, put ? Fake::Put : nullptr,
                                write ? Fake::Write : nullptr, Fake::Delete, &fake);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override { aStream_Destroy(&stream); }

    std::string ReadAll(size_t size, aErr expect = aErrNone) {
        std::string out(size, '\0');
        EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(out.data()), size), expect);
        return out;
    }

    Fake fake;
    aStreamRef stream = nullptr;
};

TEST_F(StreamTest, ReadThatRunsDryKeepsItsBytesForTheNextRead) {
    Make();
    fake.Feed("ab");
    std::string buffer = "....";
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), 4), aErrNotReady);
    EXPECT_EQ(buffer, "....") << "nothing is copied out when the stream runs dry";

    fake.Feed("cd");
    EXPECT_EQ(ReadAll(4), "abcd");
}

TEST_F(StreamTest, ReadAtTheEndCopiesWhatItGot) {
    Make();
    fake.Feed("xy");
    fake.Fail(aErrEOF);
    std::string buffer = "....";
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), 4), aErrEOF);
    EXPECT_EQ(buffer, "xy..");
}

TEST_F(StreamTest, ReadThatFailsCopiesNothingAndDropsTheBytes) {
    Make();
    fake.Feed("x");
    fake.Fail(aErrIO);
    fake.Feed("z");
    std::string buffer = "..";
    EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(buffer.data()), 2), aErrIO);
    EXPECT_EQ(buffer, "..");
    fake.Feed("w");
    EXPECT_EQ(ReadAll(2), "zw");
}

TEST_F(StreamTest, ReadArgumentErrors) {
    Make(false, true, true);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrMode);
}

TEST_F(StreamTest, PushBackRingKeepsOrderAcrossGrowthAndWrapping) {
    Make();
    // Interleaved buffering and reading moves the ring's read position, so the growths below
    // happen while the stored bytes wrap past the end of the storage.
    std::string expected;
    std::string got;
    size_t next = 0;
    auto buffer = [&](size_t n) {
        for (size_t i = 0; i < n; ++i, ++next) {
            uint8_t byte = static_cast<uint8_t>(next * 7 + next / 256);
            ASSERT_EQ(aStreamBufferChar(stream, byte), aErrNone);
            expected.push_back(static_cast<char>(byte));
        }
    };
    auto read = [&](size_t n) { got += ReadAll(n); };

    buffer(1500);  // the three first growths: 512 -> 1024 -> 1536
    read(1000);
    buffer(400);
    read(200);
    buffer(1100);  // wraps, then grows while wrapped
    read(1800);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(fake.getCalls, 0) << "buffered bytes are served before the transport";

    fake.Feed("T");
    EXPECT_EQ(aStreamBufferChar(stream, 'R'), aErrNone);
    EXPECT_EQ(ReadAll(2), "RT");
    EXPECT_EQ(aStreamBufferChar(nullptr, 'x'), aErrParam);
}

struct WriteCase {
    const char* name;
    bool put, write;
    std::string bytes;
    aErr expect;
    int putCalls;
    std::vector<std::string> writes;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class StreamWrite : public StreamTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(StreamWrite, ChoosesBetweenWriteAndPut) {
    const WriteCase& c = GetParam();
    Make(true, c.put, c.write);
    EXPECT_EQ(
        aStream_Write(stream, reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
        c.expect);
    EXPECT_EQ(fake.putCalls, c.putCalls);
    EXPECT_EQ(fake.writes, c.writes);
    if (c.putCalls > 0) {
        EXPECT_EQ(fake.put, c.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamWrite,
    ::testing::Values(WriteCase{"OneByteOnlyPut", true, false, "a", aErrNone, 1, {}},
                      WriteCase{"NoBytesOnlyPut", true, false, "", aErrNone, 0, {}},
                      WriteCase{"BlockOnlyPut", true, false, "abc", aErrNone, 3, {}},
                      WriteCase{"BlockWithWrite", true, true, "abc", aErrNone, 0, {"abc"}},
                      WriteCase{"OneByteWithBoth", true, true, "a", aErrNone, 1, {}},
                      // Without put a single byte still goes out, through write.
                      WriteCase{"OneByteOnlyWrite", false, true, "a", aErrNone, 0, {"a"}},
                      WriteCase{"NoBytesOnlyWrite", false, true, "", aErrNone, 0, {}},
                      WriteCase{"Neither", false, false, "ab", aErrMode, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, WriteStopsAtTheFirstFailedPutAndPassesWriteResults) {
    Make(true, true, false);
    fake.failPutAt = 1;
    fake.putResult = aErrIO;
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("abc"), 3), aErrIO);
    EXPECT_EQ(fake.putCalls, 2);
    EXPECT_EQ(fake.put, "a");
    EXPECT_EQ(aStream_Write(stream, nullptr, 3), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, reinterpret_cast<const uint8_t*>("a"), 1), aErrParam);

    aStream_Destroy(&stream);
    Make(true, false, true);
    fake.writeResult = aErrBusy;
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("ab"), 2), aErrBusy);
}

TEST_F(StreamTest, DestroyReleasesTheTransportOnceAndClearsThePointer) {
    Make();
    fake.deleteResult = aErrIO;
    aStreamBufferChar(stream, 1);  // the ring is freed too (checked by the sanitizer builds)
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(fake.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    EXPECT_EQ(fake.deletes, 1);

    aStreamRef bare = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(aStream_Destroy(&bare), aErrNone);
}

TEST_F(StreamTest, WaitReadable) {
    Make();
    EXPECT_EQ(aStream_WaitReadable(stream, 50), aErrNone) << "no wait operation: at once";
    EXPECT_EQ(aStream_SetWait(stream, Fake::Wait), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 50), aErrTimeout);
    EXPECT_EQ(fake.waits, 1);
    EXPECT_EQ(fake.lastWaitTimeout, 50u);
    aStreamBufferChar(stream, 'x');
    EXPECT_EQ(aStream_WaitReadable(stream, 50), aErrNone) << "pushed-back bytes are readable";
    EXPECT_EQ(fake.waits, 1);
    EXPECT_EQ(aStream_WaitReadable(nullptr, 50), aErrParam);
    EXPECT_EQ(aStream_SetWait(nullptr, Fake::Wait), aErrParam);
}

// Flush uses a second Fake as destination.
class StreamFlush : public StreamTest {
  protected:
    void SetUp() override {
        Make();
        destination = aStream_Create(nullptr, Fake::Put, nullptr, Fake::Delete, &sink);
        ASSERT_NE(destination, nullptr);
    }
    void TearDown() override {
        aStream_Destroy(&destination);
        StreamTest::TearDown();
    }
    Fake sink;
    aStreamRef destination = nullptr;
};

TEST_F(StreamFlush, CopiesUntilTheEndOfTheSource) {
    fake.Feed("copy me");
    fake.Fail(aErrEOF);
    aStreamBufferChar(stream, 'X');  // not consulted by a flush
    EXPECT_EQ(aStream_Flush(stream, destination), aErrNone);
    EXPECT_EQ(sink.put, "copy me");
}

TEST_F(StreamFlush, ReportsOtherErrorsOfEitherSide) {
    fake.Feed("ab");  // then the source runs dry
    EXPECT_EQ(aStream_Flush(stream, destination), aErrNotReady);
    EXPECT_EQ(sink.put, "ab");

    fake.Feed("cd");
    sink.failPutAt = 3;
    sink.putResult = aErrWrite;
    EXPECT_EQ(aStream_Flush(stream, destination), aErrWrite);
    EXPECT_EQ(sink.put, "abc");

    EXPECT_EQ(aStream_Flush(destination, stream), aErrMode) << "destination stream has no get";
    EXPECT_EQ(aStream_Flush(nullptr, destination), aErrParam);
}

struct RecordCase {
    const char* name;
    std::string input;  // then the stream runs dry
    bool endsWithEOF;
    size_t bufferSize;
    std::string terminator;
    aErr expect;
    std::string record;  // on aErrNone / aErrEOF
    std::string rest;    // what a later read sees
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.name;
}

class StreamRecord : public StreamTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(StreamRecord, ReadsOneRecord) {
    const RecordCase& c = GetParam();
    Make();
    fake.Feed(c.input);
    if (c.endsWithEOF) fake.Fail(aErrEOF);
    std::string buffer(c.bufferSize + 1, '#');
    size_t length = 999;
    EXPECT_EQ(aStream_ReadRecord(
                  stream, reinterpret_cast<uint8_t*>(buffer.data()), &length, c.bufferSize,
                  reinterpret_cast<const uint8_t*>(c.terminator.data()), c.terminator.size()),
              c.expect);
    if (c.expect == aErrNone || c.expect == aErrEOF) {
        EXPECT_EQ(buffer.substr(0, length), c.record);
        EXPECT_EQ(length, c.record.size());
    } else {
        EXPECT_EQ(buffer, std::string(c.bufferSize + 1, '#')) << "nothing copied";
    }
    fake.whenEmpty = aErrEOF;
    std::string rest(c.rest.size() + 1, '\0');
    aStream_Read(stream, reinterpret_cast<uint8_t*>(rest.data()), rest.size());
    EXPECT_EQ(rest.c_str(), c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamRecord,
    ::testing::Values(
        RecordCase{"Line", "abc\ndef", false, 16, "\n", aErrNone, "abc", "def"},
        RecordCase{"EmptyRecord", "\nx", false, 16, "\n", aErrNone, "", "x"},
        RecordCase{"FullBufferLeavesTerminator", "abcd\n", false, 4, "\n", aErrNone, "abcd", "\n"},
        RecordCase{"EndAfterBytes", "ab", true, 16, "\n", aErrNone, "ab", ""},
        RecordCase{"EndBeforeAnyByte", "", true, 16, "\n", aErrEOF, "", ""},
        RecordCase{"DryMidRecordPushesBack", "abc", false, 16, "\n", aErrNotReady, "", "abc"},
        RecordCase{"TwoByteTerminator", "a\rb\r\nrest", false, 16, "\r\n", aErrNone, "a\rb",
                   "rest"},
        RecordCase{"OverlappingTerminator", "xaaab", false, 16, "ab", aErrNone, "xaa", ""},
        RecordCase{"PartialTerminatorAtEnd", "ab\r", true, 16, "\r\n", aErrNone, "ab\r", ""},
        RecordCase{"DryInsideTerminator", "ab\r", false, 16, "\r\n", aErrNotReady, "", "ab\r"},
        RecordCase{"ZeroBufferStoresNothing", "abc", false, 0, "\n", aErrNone, "", "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, RecordReadAfterRunningDryStartsTheRecordAgain) {
    Make();
    fake.Feed("Synchro");
    char buffer[32];
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNotReady);
    fake.Feed("nized\r\nOK\r\n");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "Synchronized");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "OK");
}

TEST_F(StreamTest, RecordArgumentErrors) {
    Make();
    uint8_t buffer[4];
    const uint8_t term = '\n';
    EXPECT_EQ(aStream_ReadRecord(stream, nullptr, nullptr, 4, &term, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, nullptr, 4, &term, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(nullptr, buffer, nullptr, 4, &term, 1), aErrParam);
    char text[4];
    EXPECT_EQ(aStream_ReadCString(stream, text, 0), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, ""), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, nullptr), aErrParam);
    EXPECT_EQ(aStream_WriteCString(stream, nullptr), aErrParam);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "a", nullptr), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream, buffer, 1, nullptr, 1), aErrParam);

    aStream_Destroy(&stream);
    Make(false, true, true);
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, nullptr, 4, &term, 1), aErrMode);
}

// Everything written is fed back to get, so the write side's format meets the read side.
class StreamLoop : public StreamTest {
  protected:
    void SetUp() override { Make(true, true, true); }
    void Loop() {
        for (const std::string& w : fake.writes) fake.Feed(w);
        fake.Feed(fake.put);
        fake.writes.clear();
        fake.put.clear();
    }
};

TEST_F(StreamLoop, CStringsRoundTripAndTruncate) {
    EXPECT_EQ(aStream_WriteCString(stream, "hello"), aErrNone);
    EXPECT_EQ(aStream_WriteCString(stream, ""), aErrNone);
    EXPECT_EQ(fake.writes, (std::vector<std::string>{std::string("hello\0", 6)}));
    EXPECT_EQ(fake.put, std::string(1, '\0'));
    Loop();

    char small[4];
    EXPECT_EQ(aStream_ReadCString(stream, small, sizeof small), aErrNone);
    EXPECT_STREQ(small, "hel");
    char big[16];
    EXPECT_EQ(aStream_ReadCString(stream, big, sizeof big), aErrNone);
    EXPECT_STREQ(big, "lo");
    EXPECT_EQ(aStream_ReadCString(stream, big, sizeof big), aErrNone);
    EXPECT_STREQ(big, "");
    fake.Fail(aErrEOF);
    strcpy(big, "junk");
    EXPECT_EQ(aStream_ReadCString(stream, big, sizeof big), aErrEOF);
    EXPECT_STREQ(big, "");
}

TEST_F(StreamLoop, CStringRecordsRoundTrip) {
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "one", "\r\n"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "two", "\r\n"), aErrNone);
    EXPECT_EQ(fake.writes, (std::vector<std::string>{"one", std::string("\r\n\0", 3), "two",
                                                     std::string("\r\n\0", 3)}));
    Loop();
    char buffer[16];
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "one");
    // The zero byte the writer put after the first terminator does not empty the second record.
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "two");
}

TEST_F(StreamLoop, RecordsRoundTrip) {
    const uint8_t term[] = {0xFF, 0x00};
    const uint8_t body[] = {1, 0xFF, 2};
    EXPECT_EQ(aStream_WriteRecord(stream, body, sizeof body, term, sizeof term), aErrNone);
    Loop();
    uint8_t buffer[8];
    size_t length = 0;
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, sizeof buffer, term, sizeof term),
              aErrNone);
    ASSERT_EQ(length, sizeof body);
    EXPECT_EQ(memcmp(buffer, body, sizeof body), 0);
}

}  // namespace
