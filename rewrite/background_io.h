// Reading ahead and writing behind on threads of their own, so that the
// operating system's copying of the input and the output runs on the second
// core while the pass works through the bytes.
//
// ReadAheadSource reads the blocks that follow the last forward read before
// they are asked for; WriteBehindSink takes a block, queues it and returns,
// and a writer thread hands the queue to the file in order. Each keeps a few
// blocks of its own, so memory stays bounded whatever the file size.
#pragma once

#include "rewrite/stream.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace svfseg {

// How many blocks each side keeps in flight.
inline constexpr std::size_t kBackgroundBlocks = 4;

// A ByteSource that reads `source` ahead. Forward reads that follow on from
// the one before are answered from blocks read in the background; a forward
// read anywhere else starts the reading ahead again from there. Positional
// reads go to `source` at once, on the caller's thread: `source` must allow
// reads from two threads at the same time (pread, or ReadFile at an offset).
class ReadAheadSource final : public ByteSource {
public:
  ReadAheadSource(ByteSource &source, std::size_t blockSize,
                  std::size_t blocks = kBackgroundBlocks);
  ReadAheadSource(const ReadAheadSource &) = delete;
  ReadAheadSource &operator=(const ReadAheadSource &) = delete;
  ~ReadAheadSource() override;

  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override {
    return source_.readAt(offset, buffer);
  }
  Expected<std::size_t> readForward(Offset offset,
                                    std::span<char> buffer) override;

private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::size_t taken = 0; // bytes already handed to the reader
    Error error;
  };

  void readBlocks();
  void restartAt(Offset offset, std::unique_lock<std::mutex> &lock);
  std::size_t takeFrom(Block &block, std::span<char> buffer);

  ByteSource &source_;
  std::size_t blockSize_;
  std::size_t blockCount_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> ready_;      // read, in input order
  std::vector<Block> spare_;     // free for the next read
  Offset aheadOffset_ = 0;       // where the thread reads next
  Offset forwardOffset_ = 0;     // where the next forward read follows on
  std::uint64_t generation_ = 0; // counts restarts
  bool paused_ = false;          // at the end of the input or a failure
  bool stopping_ = false;
  std::thread reader_;
};

// A ByteSink that writes to `sink` behind the caller. A write is copied into a
// free block and queued; the first failure of the writer thread is returned by
// every later write and by finish(), and what comes after it is dropped.
class WriteBehindSink final : public ByteSink {
public:
  WriteBehindSink(ByteSink &sink, std::size_t blockSize,
                  std::size_t blocks = kBackgroundBlocks);
  WriteBehindSink(const WriteBehindSink &) = delete;
  WriteBehindSink &operator=(const WriteBehindSink &) = delete;
  // Waits for the queued blocks to be written.
  ~WriteBehindSink() override;

  Error write(std::string_view bytes) override;
  // Waits until every queued block has been written; returns the first
  // failure, if any.
  Error finish();

private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
  };

  void writeBlocks();

  ByteSink &sink_;
  std::size_t blockSize_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> queued_;
  std::vector<Block> spare_;
  bool writing_ = false; // the thread holds a block it took from the queue
  bool stopping_ = false;
  Error error_;
  std::thread writer_;
};

} // namespace svfseg
