#include "rewrite/background_io.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace svfseg {

BackgroundIo::BackgroundIo(ByteSource &source, ByteSink &sink,
                           std::size_t blockSize, std::size_t blocks)
    : source_(source), sink_(sink), blockSize_(blockSize),
      wakeMark_(std::max<std::size_t>(1, blocks / 2)) {
  for (std::size_t i = 0; i < blocks; ++i) {
    spareForReading_.push_back(std::make_unique<char[]>(blockSize_));
    spareForWriting_.push_back(std::make_unique<char[]>(blockSize_));
  }
  try {
    readerThread_ = std::thread([this] { readAhead(); });
    writerThread_ = std::thread([this] { writeBehind(); });
  } catch (const std::system_error &) {
    // Without both threads, everything is passed straight on.
    stop();
  }
}

BackgroundIo::~BackgroundIo() { stop(); }

void BackgroundIo::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    reader_.wake();
    writer_.wake();
  }
  if (readerThread_.joinable())
    readerThread_.join();
  if (writerThread_.joinable())
    writerThread_.join();
  passStraightOn_ = true;
}

void BackgroundIo::readAhead() {
  std::unique_lock lock(mutex_);
  for (;;) {
    reader_.sleepUntil(lock, [this] { return stopping_ || canReadAhead(); });
    if (stopping_)
      return;
    readNextBlock(lock);
  }
}

void BackgroundIo::writeBehind() {
  std::unique_lock lock(mutex_);
  for (;;) {
    writer_.sleepUntil(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty())
      return; // stopping, with everything written
    writeFirstQueued(lock);
  }
}

void BackgroundIo::readNextBlock(std::unique_lock<std::mutex> &lock) {
  ReadBlock block{std::move(spareForReading_.back()), 0, 0, {}};
  spareForReading_.pop_back();
  const Offset at = aheadOffset_;
  const std::uint64_t generation = generation_;
  lock.unlock();
  Expected<std::size_t> count =
      source_.readAt(at, {block.bytes.get(), blockSize_});
  lock.lock();
  if (generation != generation_) { // restarted elsewhere meanwhile
    spareForReading_.push_back(std::move(block.bytes));
    return;
  }
  if (count)
    block.size = *count;
  else
    block.error = count.takeError();
  // A short block is the end of the input; after a failure nothing more is
  // read.
  readPaused_ = block.error || block.size < blockSize_;
  aheadOffset_ += static_cast<Offset>(block.size);
  readBlocks_.push_back(std::move(block));
  pass_.wake();
}

void BackgroundIo::writeFirstQueued(std::unique_lock<std::mutex> &lock) {
  WriteBlock block = std::move(queued_.front());
  queued_.pop_front();
  writing_ = true;
  const bool failed = static_cast<bool>(writeError_);
  lock.unlock();
  Error error;
  if (!failed)
    error = sink_.write({block.bytes.get(), block.size});
  lock.lock();
  if (error && !writeError_)
    writeError_ = std::move(error);
  writing_ = false;
  spareForWriting_.push_back(std::move(block.bytes));
  pass_.wake();
}

void BackgroundIo::restartReadingAt(Offset offset) {
  ++generation_;
  for (ReadBlock &block : readBlocks_)
    spareForReading_.push_back(std::move(block.bytes));
  readBlocks_.clear();
  aheadOffset_ = offset;
  forwardOffset_ = offset;
  readPaused_ = false;
  reader_.wake();
}

void BackgroundIo::waitForReadBlock(std::unique_lock<std::mutex> &lock) {
  if (readBlocks_.empty() && canReadAhead())
    reader_.wake();
  pass_.sleepUntil(lock,
                   [this] { return !readBlocks_.empty() || readPaused_; });
}

void BackgroundIo::returnSpareForReading(std::unique_ptr<char[]> block) {
  spareForReading_.push_back(std::move(block));
  if (spareForReading_.size() >= wakeMark_)
    reader_.wake();
}

Expected<std::size_t> BackgroundIo::readForward(Offset offset,
                                                std::span<char> buffer) {
  if (passStraightOn_)
    return source_.readAt(offset, buffer);
  std::unique_lock lock(mutex_);
  if (offset != forwardOffset_)
    restartReadingAt(offset);
  Error error;
  std::size_t count = copyFromReadBlocks(lock, buffer, error);
  if (error)
    return error;
  forwardOffset_ = offset + static_cast<Offset>(count);
  return count;
}

std::size_t BackgroundIo::copyFromReadBlocks(std::unique_lock<std::mutex> &lock,
                                             std::span<char> buffer,
                                             Error &error) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    waitForReadBlock(lock);
    if (readBlocks_.empty())
      break;
    ReadBlock &front = readBlocks_.front();
    if (front.error) {
      error = front.error;
      break;
    }
    // The thread only appends to the queue, so the first block stays put
    // while it is copied without the lock.
    lock.unlock();
    std::size_t count =
        std::min(front.size - front.taken, buffer.size() - done);
    std::memcpy(buffer.data() + done, front.bytes.get() + front.taken, count);
    lock.lock();
    front.taken += count;
    done += count;
    if (front.taken == front.size) {
      bool end = front.size < blockSize_;
      returnSpareForReading(std::move(front.bytes));
      readBlocks_.pop_front();
      if (end)
        break;
    }
  }
  return done;
}

void BackgroundIo::queueForWriting(WriteBlock block) {
  queued_.push_back(std::move(block));
  if (queued_.size() >= wakeMark_)
    writer_.wake();
}

std::unique_ptr<char[]>
BackgroundIo::takeSpareForWriting(std::unique_lock<std::mutex> &lock) {
  if (spareForWriting_.empty())
    writer_.wake();
  pass_.sleepUntil(lock,
                   [this] { return !spareForWriting_.empty() || writeError_; });
  if (writeError_)
    return nullptr;
  std::unique_ptr<char[]> block = std::move(spareForWriting_.back());
  spareForWriting_.pop_back();
  return block;
}

Error BackgroundIo::write(std::string_view bytes) {
  if (passStraightOn_)
    return sink_.write(bytes);
  std::unique_lock lock(mutex_);
  while (!bytes.empty()) {
    std::unique_ptr<char[]> block = takeSpareForWriting(lock);
    if (!block)
      break;
    lock.unlock();
    std::size_t size = std::min(blockSize_, bytes.size());
    std::memcpy(block.get(), bytes.data(), size);
    bytes.remove_prefix(size);
    lock.lock();
    queueForWriting({std::move(block), size});
  }
  return writeError_;
}

Error BackgroundIo::finishOutput() {
  std::unique_lock lock(mutex_);
  writer_.wake();
  pass_.sleepUntil(lock, [this] { return queued_.empty() && !writing_; });
  return writeError_;
}

} // namespace svfseg
