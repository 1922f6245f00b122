#include "io/background_io.h"

#include "svf_generator.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace svfseg {
namespace {

using testing::FailingSource;
using testing::LimitedSink;

std::string numberedBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// The block `source` lends from `offset` on, as a string.
std::string lend(ByteSource &source, Offset offset) {
  Expected<std::string_view> lent = source.lendForward(offset);
  EXPECT_TRUE(lent);
  return lent ? std::string(*lent) : std::string();
}

TEST(BackgroundReading, ReadsElsewhereGiveTheBytesThere) {
  const std::string text = numberedBytes(5000);
  MemorySource memory(text);
  StringSink unused;
  BackgroundIo io(memory, unused, 64, 4);
  ByteSource &source = io.input();
  EXPECT_EQ(lend(source, 0), text.substr(0, 64));
  // A positional read leaves the forward pass where it was.
  std::string back(50, '\0');
  ASSERT_TRUE(source.readAt(10, back));
  EXPECT_EQ(back, text.substr(10, 50));
  EXPECT_EQ(lend(source, 64), text.substr(64, 64));
  // A forward read elsewhere, backwards or beyond what was read ahead, starts
  // the pass again from there.
  EXPECT_EQ(lend(source, 30), text.substr(30, 64));
  EXPECT_EQ(lend(source, 94), text.substr(94, 64));
  EXPECT_EQ(lend(source, 4000), text.substr(4000, 64));
  EXPECT_EQ(lend(source, 4990), text.substr(4990));
  EXPECT_EQ(lend(source, 7000), "");
  EXPECT_EQ(lend(source, 0), text.substr(0, 64));
}

// Reads the whole input from `offset` on through blocks lent by `source`.
std::string lendAll(ByteSource &source, Offset offset) {
  std::string read;
  for (;;) {
    Expected<std::string_view> lent =
        source.lendForward(offset + static_cast<Offset>(read.size()));
    EXPECT_TRUE(lent);
    if (!lent || lent->empty())
      return read;
    read += *lent;
  }
}

TEST(BackgroundReading, LentBlocksGiveTheInputFromWhereverAsked) {
  const std::string text = numberedBytes(3000);
  for (std::size_t blockSize : {1, 7, 64, 4096}) {
    SCOPED_TRACE(::testing::Message() << "block " << blockSize);
    MemorySource memory(text);
    StringSink unused;
    BackgroundIo io(memory, unused, blockSize, 3);
    ASSERT_TRUE(io.input().lendsForward());
    EXPECT_EQ(lendAll(io.input(), 0), text);
    EXPECT_EQ(lendAll(io.input(), 3000), "") << "the end repeats";
    EXPECT_EQ(lendAll(io.input(), 1234), text.substr(1234)) << "backwards";
    EXPECT_EQ(lendAll(io.input(), 5000), "") << "past the end";
  }
}

TEST(BackgroundReading, TellsTheObserverHowFarEachLentBlockReaches) {
  const std::string text = numberedBytes(300);
  MemorySource memory(text);
  StringSink unused;
  BackgroundIo io(memory, unused, 64, 3);
  std::vector<Offset> reached;
  io.observeForwardReads(
      [&reached](Offset offset) { reached.push_back(offset); });
  EXPECT_EQ(lendAll(io.input(), 0), text);
  EXPECT_EQ(reached, (std::vector<Offset>{64, 128, 192, 256, 300}))
      << "told once for each block, not for the end";
  // A positional read lends nothing; a restart is told from where it starts.
  std::string back(10, '\0');
  ASSERT_TRUE(io.input().readAt(5, back));
  EXPECT_EQ(lend(io.input(), 100), text.substr(100, 64));
  EXPECT_EQ(reached.back(), 164);
  EXPECT_EQ(reached.size(), 6u);
}

TEST(BackgroundReading, ALentReadReportsTheFailureWhereTheInputReachesIt) {
  const std::string text = numberedBytes(1000);
  FailingSource failing(text, 600);
  StringSink unused;
  BackgroundIo io(failing, unused, 100, 4);
  for (Offset offset = 0; offset < 600; offset += 100) {
    Expected<std::string_view> lent = io.input().lendForward(offset);
    ASSERT_TRUE(lent);
    EXPECT_EQ(*lent, text.substr(static_cast<std::size_t>(offset), 100));
  }
  for (int again = 0; again < 2; ++again) {
    Expected<std::string_view> failed = io.input().lendForward(600);
    ASSERT_FALSE(failed) << "read " << again;
    EXPECT_EQ(failed.takeError().reason(), "Input/output error");
  }
}

// A source whose reads are slow on every thread but the one that made it, and
// that counts the reads made on that thread.
class SlowElsewhereSource final : public ByteSource {
public:
  explicit SlowElsewhereSource(std::string_view bytes) : memory_(bytes) {}
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override {
    if (std::this_thread::get_id() == maker_)
      ++readsByMaker;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return memory_.readAt(offset, buffer);
  }
  std::atomic<int> readsByMaker{0};

private:
  MemorySource memory_;
  std::thread::id maker_ = std::this_thread::get_id();
};

TEST(BackgroundReading, ThePassReadsBlocksItselfRatherThanWait) {
  const std::string text = numberedBytes(3000);
  SlowElsewhereSource slow(text);
  StringSink unused;
  BackgroundIo io(slow, unused, 100, 4);
  EXPECT_EQ(lendAll(io.input(), 0), text);
  EXPECT_GT(slow.readsByMaker, 0);
  // Starting again elsewhere while the thread is still reading a block: that
  // block is not lent, and comes back for later reads.
  for (Offset offset : {50, 1234, 0, 2999}) {
    EXPECT_EQ(lend(io.input(), offset),
              text.substr(static_cast<std::size_t>(offset), 100));
    EXPECT_EQ(lendAll(io.input(), offset),
              text.substr(static_cast<std::size_t>(offset)));
  }
}

TEST(BackgroundWriting, WritesReachTheSinkInOrder) {
  const std::string text = numberedBytes(10000);
  for (std::size_t blockSize : {1, 7, 4096}) {
    for (std::size_t writeSize : {1, 100, 5000}) {
      SCOPED_TRACE(::testing::Message()
                   << "block " << blockSize << ", write " << writeSize);
      MemorySource unused("");
      StringSink sink;
      {
        BackgroundIo io(unused, sink, blockSize, 2);
        for (std::size_t at = 0; at < text.size(); at += writeSize)
          EXPECT_FALSE(
              io.output().write(std::string_view(text).substr(at, writeSize)));
        EXPECT_FALSE(io.finishOutput());
        EXPECT_EQ(sink.bytes(), text) << "all written once finished";
        EXPECT_FALSE(io.output().write("tail"));
      }
      EXPECT_EQ(sink.bytes(), text + "tail") << "the rest written at the end";
    }
  }
}

TEST(BackgroundWriting, ReportsTheFirstFailureAndDropsWhatFollows) {
  MemorySource unused("");
  LimitedSink limited(250);
  BackgroundIo io(unused, limited, 100, 2);
  const std::string text = numberedBytes(1000);
  Error reported;
  for (std::size_t at = 0; at < text.size() && !reported; at += 100) {
    reported = io.output().write(std::string_view(text).substr(at, 100));
  }
  Error finished = io.finishOutput();
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished.reason(), "File too large");
  EXPECT_EQ(limited.taken, text.substr(0, 200));
  EXPECT_TRUE(io.output().write("more")) << "later writes fail too";
  EXPECT_EQ(limited.taken, text.substr(0, 200));
}

// The whole pass over background streams gives what it gives over plain ones,
// at block sizes that put block boundaries everywhere.
TEST(BackgroundStreams, ConvertGeneratedFilesAsThePlainStreamsDo) {
  testing::SvfGenerator generator(5, {});
  for (int i = 0; i < 100; ++i) {
    testing::GeneratedSvf svf = generator.file();
    std::size_t blockSize = 1 + static_cast<std::size_t>(i) % 97;
    MemorySource memory(svf.text);
    StringSink sink;
    BackgroundIo io(memory, sink, blockSize, 2);
    std::size_t streamSize = i % 2 ? blockSize : 1 + blockSize / 2;
    InputStream input(io.input(), streamSize);
    OutputStream output(io.output(), streamSize);
    scan(input, output, {blockSize});
    ASSERT_FALSE(output.flush());
    ASSERT_FALSE(io.finishOutput());
    ASSERT_FALSE(input.error());
    ASSERT_EQ(sink.bytes(), svf.expected) << "file " << i << ":\n" << svf.text;
  }
}

} // namespace
} // namespace svfseg
