#include "verify/reader.h"

#include <algorithm>
#include <cstring>

namespace svfseg::verify {

ForwardReader::ForwardReader(ByteSource &source, std::size_t blockSize)
    : source_(source), blockSize_(std::max<std::size_t>(blockSize, 1)),
      buffer_(new char[blockSize_ + kLookahead]), block_(buffer_.get()),
      next_(block_), end_(block_) {}

bool ForwardReader::readAfter(std::size_t kept) {
  Offset at = blockOffset_ + static_cast<Offset>(kept);
  if (error_ || (knownEnd_ >= 0 && at >= knownEnd_))
    return false;
  Expected<std::size_t> count =
      source_.readAt(at, {buffer_.get() + kept, blockSize_});
  if (!count) {
    error_ = count.takeError();
    return false;
  }
  // A source fills the whole buffer unless it ends first.
  if (*count < blockSize_)
    knownEnd_ = at + static_cast<Offset>(*count);
  end_ += *count;
  return *count != 0;
}

bool ForwardReader::fill() {
  if (next_ != end_)
    return true;
  // At the end, the block stays as it is: a seek back into it stays free.
  if (error_ || (knownEnd_ >= 0 && tell() >= knownEnd_))
    return false;
  if (watcher_)
    watcher_->beforeDrop();
  blockOffset_ = tell();
  block_ = next_ = end_ = buffer_.get();
  return readAfter(0);
}

std::size_t ForwardReader::ensureSlowly(std::size_t count) {
  std::size_t have = available();
  if (error_ ||
      (knownEnd_ >= 0 && tell() + static_cast<Offset>(have) >= knownEnd_))
    return have;
  if (watcher_)
    watcher_->beforeDrop();
  // Keep the bytes not passed at the front of the buffer, and read on after
  // them; a block shared from another reader is copied out first.
  blockOffset_ = tell();
  std::memmove(buffer_.get(), next_, have);
  block_ = next_ = buffer_.get();
  end_ = next_ + have;
  // Fewer than kLookahead bytes are kept, and the buffer has room for that
  // many more than a block.
  while (available() < count &&
         readAfter(static_cast<std::size_t>(end_ - block_))) {
  }
  return available();
}

void ForwardReader::seekElsewhere(Offset offset) {
  if (watcher_)
    watcher_->beforeDrop();
  blockOffset_ = offset;
  block_ = next_ = end_ = buffer_.get();
}

void ForwardReader::seekSharing(const ForwardReader &other, Offset offset) {
  Offset held = other.end_ - other.block_;
  if (offset >= other.blockOffset_ && offset < other.blockOffset_ + held) {
    block_ = other.block_;
    blockOffset_ = other.blockOffset_;
    end_ = other.end_;
    next_ = block_ + (offset - blockOffset_);
    return;
  }
  blockOffset_ = offset;
  block_ = next_ = end_ = buffer_.get();
}

BackwardReader::BackwardReader(ByteSource &source, std::size_t blockSize)
    : source_(source), blockSize_(std::max<std::size_t>(blockSize, 512)),
      buffer_(new char[blockSize_]) {}

std::string_view BackwardReader::get(Offset begin, std::size_t size,
                                     Offset floor,
                                     const ForwardReader *shared) {
  Offset end = begin + static_cast<Offset>(size);
  if (begin >= blockOffset_ && end <= blockOffset_ + static_cast<Offset>(held_))
    return {buffer_.get() + (begin - blockOffset_), size};
  if (shared) {
    if (std::optional<std::string_view> bytes = shared->buffered(begin, end))
      return *bytes;
  }
  if (error_)
    return {};
  Offset start =
      std::max({floor, end - static_cast<Offset>(blockSize_), Offset{0}});
  start = std::min(start, begin);
  Expected<std::size_t> count = source_.readAt(
      start, {buffer_.get(), static_cast<std::size_t>(end - start)});
  if (!count) {
    error_ = count.takeError();
    held_ = 0;
    return {};
  }
  blockOffset_ = start;
  held_ = *count;
  if (begin >= blockOffset_ + static_cast<Offset>(held_))
    return {};
  std::size_t from = static_cast<std::size_t>(begin - blockOffset_);
  return {buffer_.get() + from, std::min(size, held_ - from)};
}

} // namespace svfseg::verify
