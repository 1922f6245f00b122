#include "rewrite/stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace svfseg {
namespace {

using testing::FailingSource;
using testing::LimitedSink;

constexpr std::size_t kSizes[] = {1, 2, 3, 7, kDefaultBufferSize};

TEST(InputStream, ReadsTellsAndSeeksAtEveryBufferSize) {
  const std::string text = "0123456789abcdef";
  for (std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    MemorySource source(text);
    InputStream input(source, size);
    std::string read;
    for (int c; (c = input.readByte()) != kEndMarker;)
      read.push_back(static_cast<char>(c));
    EXPECT_EQ(read, text);
    EXPECT_EQ(input.tell(), 16);
    EXPECT_EQ(input.readByte(), kEndMarker) << "the end marker repeats";

    input.seek(10);
    EXPECT_EQ(input.tell(), 10);
    EXPECT_EQ(input.peekByte(), 'a');
    EXPECT_EQ(input.readByte(), 'a');
    input.seek(9);
    EXPECT_EQ(input.readByte(), '9');
    input.seek(0);
    EXPECT_EQ(input.readByte(), '0');
    EXPECT_EQ(input.tell(), 1);
  }
}

TEST(InputStream, PositionalReadsLeaveTheStreamWhereItIs) {
  const std::string text = "0123456789abcdef";
  for (std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    MemorySource source(text);
    InputStream input(source, size);
    input.seek(5);
    EXPECT_EQ(input.readByte(), '5');
    char buffer[6];
    EXPECT_EQ(input.readAt(2, buffer), 6u);
    EXPECT_EQ(std::string_view(buffer, 6), "234567");
    EXPECT_EQ(input.readAt(13, buffer), 3u) << "short only at the end";
    EXPECT_EQ(std::string_view(buffer, 3), "def");
    EXPECT_EQ(input.readByte(), '6');
  }
}

TEST(InputStream, BytesAbove127ReadAsPositiveValues) {
  const std::string text = "\xff\x80";
  MemorySource source(text);
  InputStream input(source);
  EXPECT_EQ(input.readByte(), 255);
  EXPECT_EQ(input.readByte(), 128);
  EXPECT_EQ(input.readByte(), kEndMarker);
}

TEST(InputStream, AReadFailureEndsTheInputAndIsKept) {
  const std::string text(100, 'x');
  FailingSource source(text, 50);
  InputStream input(source, 10);
  int count = 0;
  while (input.readByte() != kEndMarker)
    ++count;
  EXPECT_EQ(count, 50);
  EXPECT_EQ(input.error().reason(), "Input/output error");
  EXPECT_EQ(input.error().file(), "in.svf");
  input.seek(0);
  EXPECT_EQ(input.readByte(), kEndMarker) << "a failed stream stays ended";
}

TEST(OutputStream, DeliversEveryByteInOrderAtEveryBufferSize) {
  for (std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    StringSink sink;
    OutputStream output(sink, size);
    output.writeByte('<');
    output.write("SDR ");
    output.writeDecimal(0);
    output.writeByte(' ');
    output.writeDecimal(18446744073709551615u);
    output.write(std::string(20, 'z'));
    output.write("");
    output.writeByte('>');
    EXPECT_FALSE(output.flush());
    EXPECT_EQ(sink.bytes(),
              "<SDR 0 18446744073709551615" + std::string(20, 'z') + ">");
  }
}

TEST(OutputStream, KeepsTheFirstWriteFailure) {
  LimitedSink sink(8);
  OutputStream output(sink, 4);
  output.write("01234567");
  output.write("89");
  output.write("ab");
  EXPECT_FALSE(output.failed());
  EXPECT_TRUE(output.flush());
  EXPECT_TRUE(output.failed());
  output.write("cdefghijkl");
  Error error = output.flush();
  EXPECT_EQ(error.reason(), "File too large");
  EXPECT_EQ(error.file(), "out.gvf");
  EXPECT_EQ(sink.taken, "01234567") << "nothing is written after the failure";
}

TEST(CopyInputRange, CopiesTheRangeWithoutMovingTheInput) {
  const std::string text(10000, 'q');
  for (std::size_t size : kSizes) {
    MemorySource source(text);
    InputStream input(source, size);
    EXPECT_EQ(input.readByte(), 'q');
    StringSink sink;
    OutputStream output(sink);
    copyInputRange(input, 3, 9003, output);
    EXPECT_FALSE(output.flush());
    EXPECT_EQ(sink.bytes(), std::string(9000, 'q'));
    EXPECT_EQ(input.tell(), 1);
  }
}

// Every position of the byte looked for, in texts whose length puts it before,
// at and after each multiple of 64 bytes; with one, two and three targets.
TEST(SkipPastFirstOf, FindsTheFirstTargetWhereverItLies) {
  for (std::string_view targets : {";", ");", "(;)"}) {
    for (std::size_t length : {0, 1, 63, 64, 65, 127, 128, 130, 200}) {
      for (std::size_t hit = 0; hit <= length; ++hit) {
        std::string text(length, 'A');
        char target = targets[hit % targets.size()];
        if (hit < length)
          text[hit] = target;
        // A later target must not be taken for the first.
        if (hit + 1 < length)
          text[hit + 1] = targets[0];
        for (std::size_t size : {std::size_t{7}, kDefaultBufferSize}) {
          SCOPED_TRACE(::testing::Message()
                       << "targets " << targets << ", length " << length
                       << ", at " << hit << ", buffer " << size);
          MemorySource source(text);
          InputStream input(source, size);
          if (hit < length) {
            EXPECT_EQ(skipPastFirstOf(input, targets), target);
            EXPECT_EQ(input.tell(), static_cast<Offset>(hit + 1));
          } else {
            EXPECT_EQ(skipPastFirstOf(input, targets), kEndMarker);
            EXPECT_EQ(input.tell(), static_cast<Offset>(length));
          }
        }
      }
    }
  }
}

} // namespace
} // namespace svfseg
