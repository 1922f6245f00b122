// Reading ahead and writing behind on threads of their own, so that the
// operating system's copying of the input and of the output runs on other
// cores while the pass works through the bytes. Without the threads, the pass
// doing its own reads and writes, the generated files took 74.0 ms against
// 58.4 (mixed, 64 MiB), 51.9 against 44.3 (SDR-heavy, 64 MiB), 257.6 against
// 205.9 (mixed, 256 MiB) and 219.7 against 129.2 (SDR-heavy, 256 MiB):
// medians of 11, on a 2-core AMD EPYC VM, December 2026.
//
// One thread reads the blocks that follow the input stream's last forward read
// before they are asked for, and lends them to the input stream. Where the
// next block is not read yet when it is asked for, the pass reads one of those
// after it itself rather than wait, so that a pass with little to do has both
// cores reading. Another thread writes, in order, what the output stream hands
// over. The output stream copies into these blocks rather than hand over its
// own buffer: the many small writes of a long SDR command are cheaper into a
// buffer that stays in the pass's core's cache. (Lending the blocks to be
// filled directly took as long, and more CPU: 425 and 401 ms against 424 and
// 368 on the 256 MiB mixed file, 294 and 297 against 284 and 280 on the
// SDR-heavy one.) A few blocks are kept on each side, so memory stays
// bounded whatever the size of the file.
#pragma once

#include "rewrite/stream.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace svfseg {

// How many blocks each side keeps in flight.
inline constexpr std::size_t kBackgroundBlocks = 4;

class BackgroundIo {
public:
  // `source` must allow reads from two threads at the same time (pread, or
  // ReadFile at an offset): positional reads go to it on the caller's thread.
  // Where no thread can be started, input() and output() pass everything
  // straight on.
  BackgroundIo(ByteSource &source, ByteSink &sink, std::size_t blockSize,
               std::size_t blocks = kBackgroundBlocks);
  BackgroundIo(const BackgroundIo &) = delete;
  BackgroundIo &operator=(const BackgroundIo &) = delete;
  // Writes what is still queued, then stops the threads.
  ~BackgroundIo();

  // `source`, read ahead: it lends the input stream the blocks read in the
  // background. A forward read that follows on from the one before takes the
  // next block; one anywhere else starts the reading ahead again from there.
  ByteSource &input() { return input_; }
  // `sink`, written behind: what it is given is queued and written in order.
  // The first write failure is returned by every later write, and what comes
  // after it is dropped.
  ByteSink &output() { return output_; }
  // Waits until everything given to output() has been written; returns the
  // first write failure, if any.
  Error finishOutput();

  // Has `observer` told, on the pass's thread, how far each block lent forwards
  // reaches: the offset just past it. Set before the pass starts. Where
  // everything is passed straight on, no block is lent and it is never told.
  void observeForwardReads(std::function<void(Offset)> observer) {
    forwardObserver_ = std::move(observer);
  }

private:
  class Input final : public ByteSource {
  public:
    explicit Input(BackgroundIo &io) : io_(io) {}
    Expected<std::size_t> readAt(Offset offset,
                                 std::span<char> buffer) override {
      return io_.source_.readAt(offset, buffer);
    }
    bool lendsForward() const override { return !io_.passStraightOn_; }
    Expected<std::string_view> lendForward(Offset offset) override {
      return io_.lendForward(offset);
    }

  private:
    BackgroundIo &io_;
  };

  class Output final : public ByteSink {
  public:
    explicit Output(BackgroundIo &io) : io_(io) {}
    Error write(std::string_view bytes) override { return io_.write(bytes); }

  private:
    BackgroundIo &io_;
  };

  struct ReadBlock {
    char *bytes = nullptr;
    std::size_t size = 0;
    Error error;
    bool read = false; // false while a thread is still reading it
  };
  struct WriteBlock {
    char *bytes = nullptr;
    std::size_t size = 0;
  };

  void readAhead();
  void writeBehind();
  void stop();
  bool canReadAhead() const {
    return !stopping_ && !readPaused_ && !spareForReading_.empty();
  }
  void readNextBlock(std::unique_lock<std::mutex> &lock);
  void writeFirstQueued(std::unique_lock<std::mutex> &lock);

  Expected<std::string_view> lendForward(Offset offset);
  void takeBackLentBlock();
  void restartReadingAt(Offset offset);
  Error write(std::string_view bytes);
  void waitForReadBlock(std::unique_lock<std::mutex> &lock);
  void returnSpareForReading(char *block);
  void queueForWriting(WriteBlock block);
  char *takeSpareForWriting(std::unique_lock<std::mutex> &lock);

  // The memory of all the blocks, in one piece: see background_io.cpp.
  class BlockMemory {
  public:
    explicit BlockMemory(std::size_t size);
    BlockMemory(const BlockMemory &) = delete;
    BlockMemory &operator=(const BlockMemory &) = delete;
    ~BlockMemory();
    char *data() const { return data_; }

  private:
    std::size_t size_;
    char *data_;
  };

  ByteSource &source_;
  ByteSink &sink_;
  std::size_t blockSize_;
  BlockMemory memory_;
  Input input_{*this};
  Output output_{*this};

  // A thread that waits for work: the others wake it only while it sleeps,
  // as every wake-up costs a switch between threads.
  class Sleeper {
  public:
    template <typename Ready>
    void sleepUntil(std::unique_lock<std::mutex> &lock, Ready ready) {
      while (!ready()) {
        sleeping_ = true;
        wake_.wait(lock);
        sleeping_ = false;
      }
    }
    void wake() {
      if (sleeping_)
        wake_.notify_one();
    }

  private:
    std::condition_variable wake_;
    bool sleeping_ = false;
  };

  std::mutex mutex_;
  Sleeper reader_;
  Sleeper writer_;
  Sleeper pass_; // the thread that runs the pass
  // The reader is woken once this many blocks are free for it, the writer
  // once this many are queued: fewer wake-ups, each for more work. A pass that
  // would wait wakes the writer at once, and reads a block itself while it
  // wakes the reader for another.
  std::size_t wakeMark_;
  bool stopping_ = false;
  // Reading: blocks read ahead or being read, in input order, and blocks free
  // for reading.
  std::deque<ReadBlock> readBlocks_;
  std::vector<char *> spareForReading_;
  Offset aheadOffset_ = 0;       // where the next block read ahead starts
  Offset forwardOffset_ = 0;     // where the next forward read follows on
  std::uint64_t generation_ = 0; // counts restarts of the reading ahead
  bool readPaused_ = false;      // at the end of the input or a failure
  char *lent_ = nullptr;         // the block lent to the pass last
  // Writing: blocks queued, in output order, and blocks free for filling.
  std::deque<WriteBlock> queued_;
  std::vector<char *> spareForWriting_;
  bool writing_ = false; // the thread is writing a block it took off the queue
  Error writeError_;

  std::function<void(Offset)> forwardObserver_;

  bool passStraightOn_ = false; // set where the threads could not start
  std::thread readerThread_;
  std::thread writerThread_;
};

} // namespace svfseg
