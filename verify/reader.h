// The verifier's own readers of a ByteSource: one that goes forwards through a
// block of its own, and one that serves ranges by position from a block read
// backwards. Neither shares anything with the converter's input stream.
#pragma once

#include "rewrite/stream.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace svfseg::verify {

// What peek() and get() give at the end of the source or after a failure.
inline constexpr int kEnd = -1;

// Reads a ByteSource forwards from any offset through a block of its own. A
// failed read is kept and reads as the end; the caller asks for it once done.
class ForwardReader {
public:
  // The most bytes ensure() may be asked to make visible at once.
  static constexpr std::size_t kLookahead = 64;

  // Told before the bytes passed so far are dropped, by a refill or a seek
  // out of the block: whoever still has to compare them does so then.
  class Watcher {
  public:
    virtual void beforeDrop() = 0;

  protected:
    ~Watcher() = default;
  };

  // Reads `blockSize` bytes (at least 1) at a time.
  ForwardReader(ByteSource &source, std::size_t blockSize);
  ForwardReader(const ForwardReader &) = delete;
  ForwardReader &operator=(const ForwardReader &) = delete;

  void watch(Watcher *watcher) { watcher_ = watcher; }

  // The offset of the next byte.
  Offset tell() const { return blockOffset_ + (next_ - block_); }
  // The window: the bytes read and not yet passed. Empty when used up: call
  // fill() then.
  const char *next() const { return next_; }
  const char *end() const { return end_; }
  std::size_t available() const {
    return static_cast<std::size_t>(end_ - next_);
  }
  // Passes the window's bytes up to `next`, which lies in the window.
  void setNext(const char *next) { next_ = next; }

  int peek() {
    if (next_ == end_ && !fill())
      return kEnd;
    return static_cast<unsigned char>(*next_);
  }
  int get() {
    if (next_ == end_ && !fill())
      return kEnd;
    return static_cast<unsigned char>(*next_++);
  }

  // Reads the next block when the window is empty. Returns false, with the
  // window empty, at the end of the source or after a failure.
  bool fill();
  // Makes the window hold at least `count` bytes (at most kLookahead) unless
  // the source ends first, keeping the bytes not passed yet. Returns the
  // window's size.
  std::size_t ensure(std::size_t count) {
    std::size_t have = available();
    return have >= count ? have : ensureSlowly(count);
  }
  // Makes `offset` the next byte. Free where the block holds it (and is this
  // reader's own: a block shared from another may have changed since).
  void seek(Offset offset) {
    if (block_ == buffer_.get() && offset >= blockOffset_ &&
        offset <= blockOffset_ + (end_ - block_))
      next_ = block_ + (offset - blockOffset_);
    else
      seekElsewhere(offset);
  }
  // Makes `offset` the next byte, reading from the block `other` holds where
  // it holds `offset`: no copy then. That block must stay as it is until this
  // reader moves past it or is moved elsewhere.
  void seekSharing(const ForwardReader &other, Offset offset);

  // The bytes [begin, end) where the block holds them all.
  std::optional<std::string_view> buffered(Offset begin, Offset end) const {
    Offset held = end_ - block_;
    if (begin < blockOffset_ || end > blockOffset_ + held || begin > end)
      return std::nullopt;
    return std::string_view(block_ + (begin - blockOffset_),
                            static_cast<std::size_t>(end - begin));
  }

  // True once a read has failed; error() says why.
  bool failed() const { return static_cast<bool>(error_); }
  const Error &error() const { return error_; }

private:
  // Reads into buffer_ after the `kept` bytes already at its start.
  bool readAfter(std::size_t kept);
  std::size_t ensureSlowly(std::size_t count);
  void seekElsewhere(Offset offset);

  ByteSource &source_;
  std::size_t blockSize_;
  std::unique_ptr<char[]> buffer_; // blockSize_ + kLookahead bytes
  const char *block_;              // buffer_, or a block shared from another
  Offset blockOffset_ = 0;         // the offset of block_[0]
  const char *next_;
  const char *end_;
  Offset knownEnd_ = -1; // where a read found the end, once one has
  Error error_;
  Watcher *watcher_ = nullptr;
};

// Serves byte ranges of a source by position from a block of its own, read so
// that it ends where the range asked for ends: walking a region backwards
// costs one read per block.
class BackwardReader {
public:
  // Reads `blockSize` bytes at a time; at least 512, so that the longest range
  // the verifier asks for (a segment) fits.
  BackwardReader(ByteSource &source, std::size_t blockSize);
  BackwardReader(const BackwardReader &) = delete;
  BackwardReader &operator=(const BackwardReader &) = delete;

  // The `size` bytes (at most the block size) from `begin` on, fewer where the
  // source ends first. A block read for them starts no lower than `floor`.
  // Served from `shared`'s block where that holds them all. Valid until the
  // next call.
  std::string_view get(Offset begin, std::size_t size, Offset floor,
                       const ForwardReader *shared = nullptr);

  bool failed() const { return static_cast<bool>(error_); }
  const Error &error() const { return error_; }

private:
  ByteSource &source_;
  std::size_t blockSize_;
  std::unique_ptr<char[]> buffer_;
  Offset blockOffset_ = 0;
  std::size_t held_ = 0;
  Error error_;
};

} // namespace svfseg::verify
