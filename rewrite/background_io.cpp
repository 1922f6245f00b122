#include "rewrite/background_io.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace svfseg {
namespace {

// Starts `body` on a thread of its own. Where no thread can be started, the
// returned thread is not joinable and the caller does the work itself.
template <typename Body> std::thread startThread(Body body) {
  try {
    return std::thread(body);
  } catch (const std::system_error &) {
    return {};
  }
}

} // namespace

ReadAheadSource::ReadAheadSource(ByteSource &source, std::size_t blockSize,
                                 std::size_t blocks)
    : source_(source), blockSize_(blockSize), blockCount_(blocks) {
  for (std::size_t i = 0; i < blockCount_; ++i)
    spare_.push_back({std::make_unique<char[]>(blockSize_), 0, 0, {}});
  reader_ = startThread([this] { readBlocks(); });
}

ReadAheadSource::~ReadAheadSource() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable())
    reader_.join();
}

void ReadAheadSource::readBlocks() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(
        lock, [this] { return stopping_ || (!paused_ && !spare_.empty()); });
    if (stopping_)
      return;
    Block block = std::move(spare_.back());
    spare_.pop_back();
    const Offset at = aheadOffset_;
    const std::uint64_t generation = generation_;
    lock.unlock();
    Expected<std::size_t> count =
        source_.readAt(at, {block.bytes.get(), blockSize_});
    lock.lock();
    if (generation != generation_) { // restarted elsewhere meanwhile
      spare_.push_back(std::move(block));
      continue;
    }
    block.taken = 0;
    block.size = count ? *count : 0;
    block.error = count ? Error() : count.takeError();
    // A short block is the end of the input; after a failure nothing more is
    // read.
    paused_ = block.error || block.size < blockSize_;
    aheadOffset_ += static_cast<Offset>(block.size);
    ready_.push_back(std::move(block));
    changed_.notify_all();
  }
}

void ReadAheadSource::restartAt(Offset offset,
                                std::unique_lock<std::mutex> &lock) {
  (void)lock;
  ++generation_;
  for (Block &block : ready_)
    spare_.push_back(std::move(block));
  ready_.clear();
  aheadOffset_ = offset;
  forwardOffset_ = offset;
  paused_ = false;
  changed_.notify_all();
}

Expected<std::size_t> ReadAheadSource::readForward(Offset offset,
                                                   std::span<char> buffer) {
  if (!reader_.joinable())
    return source_.readAt(offset, buffer);
  std::unique_lock lock(mutex_);
  if (offset != forwardOffset_)
    restartAt(offset, lock);
  std::size_t done = 0;
  while (done < buffer.size()) {
    changed_.wait(lock, [this] { return !ready_.empty() || paused_; });
    if (ready_.empty())
      break; // everything up to the end of the input has been handed out
    Block &front = ready_.front();
    if (front.error)
      return front.error;
    // The thread only appends to the queue, so the front block stays put
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
      spare_.push_back(std::move(front));
      ready_.pop_front();
      changed_.notify_all();
      if (end)
        break;
    }
  }
  forwardOffset_ = offset + static_cast<Offset>(done);
  return done;
}

WriteBehindSink::WriteBehindSink(ByteSink &sink, std::size_t blockSize,
                                 std::size_t blocks)
    : sink_(sink), blockSize_(blockSize) {
  for (std::size_t i = 0; i < blocks; ++i)
    spare_.push_back({std::make_unique<char[]>(blockSize_), 0});
  writer_ = startThread([this] { writeBlocks(); });
}

WriteBehindSink::~WriteBehindSink() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (writer_.joinable())
    writer_.join();
}

void WriteBehindSink::writeBlocks() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty())
      return; // stopping, with everything written
    Block block = std::move(queued_.front());
    queued_.pop_front();
    writing_ = true;
    const bool failed = static_cast<bool>(error_);
    lock.unlock();
    Error error;
    if (!failed)
      error = sink_.write({block.bytes.get(), block.size});
    lock.lock();
    if (error && !error_)
      error_ = std::move(error);
    writing_ = false;
    spare_.push_back(std::move(block));
    changed_.notify_all();
  }
}

Error WriteBehindSink::write(std::string_view bytes) {
  if (!writer_.joinable())
    return sink_.write(bytes);
  std::unique_lock lock(mutex_);
  while (!bytes.empty() && !error_) {
    changed_.wait(lock, [this] { return !spare_.empty() || error_; });
    if (error_)
      break;
    Block block = std::move(spare_.back());
    spare_.pop_back();
    lock.unlock();
    block.size = std::min(blockSize_, bytes.size());
    std::memcpy(block.bytes.get(), bytes.data(), block.size);
    bytes.remove_prefix(block.size);
    lock.lock();
    queued_.push_back(std::move(block));
    changed_.notify_all();
  }
  return error_;
}

Error WriteBehindSink::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queued_.empty() && !writing_; });
  return error_;
}

} // namespace svfseg
