#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/handle.h"
#include "process/child_process.h"
#include "process/read_channels.h"
#include "support/run_tendro.h"

using namespace tendro;

namespace {

struct Chunk {
    int channel;
    std::string bytes;
};

// Collects the chunks of every channel in the order of delivery.
struct Recorder {
    std::vector<Chunk> chunks;
    std::function<void(const char*, uint32_t)> For(int channel) {
        return [this, channel](const char* data, uint32_t count) {
            chunks.push_back({channel, std::string(data, count)});
        };
    }
    std::string Joined(int channel) const {
        std::string all;
        for (const auto& c : chunks)
            if (c.channel == channel) all += c.bytes;
        return all;
    }
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

void Write(HANDLE pipe, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

// A pipe that the test fills: the read end is overlapped, as launch_child's output pipes are.
pipe_pair FilledPipe(const std::string& bytes, bool closeWriter = true) {
    pipe_pair pipe = create_pipe(false, true);
    Write(pipe.write_end.get(), bytes);
    if (closeWriter) pipe.write_end.reset();
    return pipe;
}

}  // namespace

TEST(ReadChannels, NoChannelsAndTooManyChannels) {
    EXPECT_TRUE(read_channels(nullptr, 0, 1000));
    bool called = false;
    channel bogus{reinterpret_cast<HANDLE>(0x1234), [&](const char*, uint32_t) { called = true; }};
    channel three[] = {bogus, bogus, bogus};
    try {
        read_channels(three, 3, 1000);
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "More than two channels specified");
    }
    EXPECT_FALSE(called);
    channel nulls[] = {{nullptr, bogus.on_data}, {nullptr, bogus.on_data}};
    EXPECT_TRUE(read_channels(nulls, 2, 1000));
    EXPECT_FALSE(called);
}

TEST(ReadChannels, OneChannelInOrderedChunksOfAtMost512) {
    const std::string data = Pattern(3000);
    pipe_pair pipe = FilledPipe(data);
    Recorder r;
    channel c{pipe.read_end.get(), r.For(0)};
    EXPECT_TRUE(read_channels(&c, 1, 10000));
    EXPECT_EQ(r.Joined(0), data);
    size_t nonEmpty = 0;
    for (const auto& chunk : r.chunks) {
        EXPECT_LE(chunk.bytes.size(), 512u);
        if (!chunk.bytes.empty()) ++nonEmpty;
    }
    EXPECT_GE(nonEmpty, 6u);  // 3000 bytes cannot come in fewer chunks
}

TEST(ReadChannels, EmptyPipeEndsWithAtMostOneEmptyChunk) {
    pipe_pair pipe = FilledPipe("");
    Recorder r;
    channel c{pipe.read_end.get(), r.For(0)};
    EXPECT_TRUE(read_channels(&c, 1, 10000));
    ASSERT_LE(r.chunks.size(), 1u);
    if (!r.chunks.empty()) EXPECT_EQ(r.chunks[0].bytes, "");
}

TEST(ReadChannels, NullPipeIsSkippedAndAPipeNamedTwiceIsReadOnce) {
    const std::string data = Pattern(1500);
    {
        pipe_pair pipe = FilledPipe(data);
        Recorder r;
        channel channels[] = {{nullptr, r.For(0)}, {pipe.read_end.get(), r.For(1)}};
        EXPECT_TRUE(read_channels(channels, 2, 10000));
        EXPECT_EQ(r.Joined(1), data);
        EXPECT_EQ(r.Joined(0), "");
    }
    {
        pipe_pair pipe = FilledPipe(data);
        Recorder r;
        size_t secondCalls = 0;
        channel channels[] = {{pipe.read_end.get(), r.For(0)},
                              {pipe.read_end.get(), [&](const char*, uint32_t) { ++secondCalls; }}};
        EXPECT_TRUE(read_channels(channels, 2, 10000));
        EXPECT_EQ(r.Joined(0), data);
        EXPECT_EQ(secondCalls, 0u);
    }
}

TEST(ReadChannels, TwoBusyPipesAreServedInTurns) {
    const std::string first = Pattern(2048), second = std::string(2048, 'Z');
    pipe_pair a = FilledPipe(first), b = FilledPipe(second);
    Recorder r;
    channel channels[] = {{a.read_end.get(), r.For(0)}, {b.read_end.get(), r.For(1)}};
    EXPECT_TRUE(read_channels(channels, 2, 10000));
    EXPECT_EQ(r.Joined(0), first);
    EXPECT_EQ(r.Joined(1), second);
    // While both pipes hold data, no channel is served twice in a row.
    std::vector<int> order;
    for (const auto& c : r.chunks)
        if (!c.bytes.empty()) order.push_back(c.channel);
    ASSERT_GE(order.size(), 8u);
    for (size_t i = 1; i < 8; ++i) EXPECT_NE(order[i], order[i - 1]) << "chunk " << i;
}

TEST(ReadChannels, ChildWritingMuchOnBothStreamsIsDrained) {
    child_process child = launch_child(quote_argument(test::ProgramPath(L"pipechild.exe")) + L" both 200000");
    child.stdin_write.reset();
    Recorder r;
    channel channels[] = {{child.stdout_read.get(), r.For(0)}, {child.stderr_read.get(), r.For(1)}};
    EXPECT_TRUE(read_channels(channels, 2, 20000));
    EXPECT_EQ(r.Joined(0).size(), 200000u);
    EXPECT_EQ(r.Joined(1).size(), 200000u);
    EXPECT_EQ(r.Joined(0).substr(0, 4), "abcd");
}

TEST(ReadChannels, TimeOutCancelsThePendingReadAndKeepsWhatCame) {
    pipe_pair pipe = FilledPipe("early", false);
    Recorder r;
    channel c{pipe.read_end.get(), r.For(0)};
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(read_channels(&c, 1, 300));
    EXPECT_LT(::GetTickCount() - start, 5000u);
    EXPECT_EQ(r.Joined(0), "early");

    // The cancelled read took nothing: what comes later is all read by the next call.
    Write(pipe.write_end.get(), "late");
    pipe.write_end.reset();
    Recorder again;
    channel next{pipe.read_end.get(), again.For(0)};
    EXPECT_TRUE(read_channels(&next, 1, 10000));
    EXPECT_EQ(again.Joined(0), "late");
}

TEST(ReadChannels, FailingReadIsASystemError) {
    pipe_pair pipe = create_pipe(false, true);
    // The write end cannot be read from.
    channel c{pipe.write_end.get(), [](const char*, uint32_t) {}};
    try {
        read_channels(&c, 1, 1000);
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().category(), system_error_category());
        EXPECT_NE(e.code().value(), 0);
        EXPECT_EQ(std::string(e.what()).rfind("Error reading asynchronously from file: ", 0), 0u)
            << e.what();
    }
}

TEST(ReadChannels, EmptyCallbackThrowsBadFunctionCall) {
    pipe_pair pipe = FilledPipe("data");
    channel c{pipe.read_end.get(), nullptr};
    EXPECT_THROW(read_channels(&c, 1, 1000), std::bad_function_call);
}
