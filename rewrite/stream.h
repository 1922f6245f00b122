// The byte streams the rewriting pass works on, the end marker and the line
// head buffer.
//
// The input stream reads forwards through a block buffer and answers positional
// reads without moving; the output stream collects bytes in a block buffer and
// hands full blocks to its sink. Both sit on a small interface (ByteSource,
// ByteSink) so that the pass runs the same over a file and over memory.
// Failures are sticky: the first one is kept, a failed input reads as its end,
// a failed output drops what it is given, and the caller asks for the error
// once the pass is over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace svfseg {

// A byte offset in a file. Signed, like the operating system's own offsets, and
// 64 bits wide so that inputs past 4 GiB work.
using Offset = std::int64_t;

// The value a read gives at the end of the input or after a read error.
// Character values are handled as int so that it compares below every byte
// value.
inline constexpr int kEndMarker = -1;

// 256 KiB: measured on this kind of machine as the point past which larger
// blocks no longer pay.
inline constexpr std::size_t kDefaultBufferSize = std::size_t{256} * 1024;

// A failure, with the file it concerns and the reason. A default-constructed
// Error means success.
class [[nodiscard]] Error {
public:
  Error() = default;
  Error(std::string file, std::string reason)
      : file_(std::move(file)), reason_(std::move(reason)) {}

  // The error for a failed system call that set errno to `code`.
  static Error fromSystem(std::string file, int code);

  // True when this is a failure.
  explicit operator bool() const { return !reason_.empty(); }
  const std::string &file() const { return file_; }
  const std::string &reason() const { return reason_; }

private:
  std::string file_;
  std::string reason_;
};

// Either a value or the Error that prevented it.
template <typename T> class [[nodiscard]] Expected {
public:
  Expected(T value) : state_(std::move(value)) {}
  Expected(Error error) : state_(std::move(error)) {}

  explicit operator bool() const { return state_.index() == 0; }
  T &operator*() { return std::get<0>(state_); }
  T *operator->() { return &std::get<0>(state_); }
  Error takeError() { return std::move(std::get<1>(state_)); }

private:
  std::variant<T, Error> state_;
};

// Something bytes can be read from by position.
class ByteSource {
public:
  virtual ~ByteSource() = default;
  // Reads into `buffer` the bytes from `offset` on. Fills the whole buffer
  // unless the source ends first; returns the count read, 0 at or past the end.
  virtual Expected<std::size_t> readAt(Offset offset,
                                       std::span<char> buffer) = 0;
  // True when the source lends its own blocks for a pass going forwards, so
  // that they need not be copied: the input stream then fills with
  // lendForward() instead of readAt().
  virtual bool lendsForward() const { return false; }
  // The bytes from `offset` on, as many as the source holds in one block,
  // valid until the next call of lendForward(). Empty at the end of the input.
  virtual Expected<std::string_view> lendForward(Offset offset) {
    (void)offset;
    return std::string_view();
  }
};

// Something bytes can be appended to.
class ByteSink {
public:
  virtual ~ByteSink() = default;
  // Appends all of `bytes`, or fails.
  virtual Error write(std::string_view bytes) = 0;
};

// A ByteSource over bytes held in memory, which must outlive it.
class MemorySource final : public ByteSource {
public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  Expected<std::size_t> readAt(Offset offset, std::span<char> buffer) override;

private:
  std::string_view bytes_;
};

// A ByteSink that collects what is written in a string.
class StringSink final : public ByteSink {
public:
  Error write(std::string_view bytes) override {
    bytes_.append(bytes);
    return {};
  }
  const std::string &bytes() const { return bytes_; }

private:
  std::string bytes_;
};

// The input stream: forward reading through a block buffer, with tell and seek,
// and positional reads that leave the forward position alone.
class InputStream {
public:
  explicit InputStream(ByteSource &source,
                       std::size_t bufferSize = kDefaultBufferSize);

  // Returns the next byte (0 to 255) and moves past it, or kEndMarker at the
  // end of the input.
  int readByte() {
    if (next_ == end_ && !fill())
      return kEndMarker;
    return static_cast<unsigned char>(*next_++);
  }

  // Returns the next byte without moving past it, or kEndMarker at the end of
  // the input.
  int peekByte() {
    if (next_ == end_ && !fill())
      return kEndMarker;
    return static_cast<unsigned char>(*next_);
  }

  // The buffered bytes not read yet. Empty when the buffer is used up: call
  // fill() then.
  std::string_view window() const {
    return {next_, static_cast<std::size_t>(end_ - next_)};
  }
  // Moves past `count` bytes of the window.
  void skip(std::size_t count) { next_ += count; }
  // Reads the next block when the window is empty. Returns false at the end of
  // the input.
  bool fill();

  // The offset of the next byte that readByte() would give.
  Offset tell() const { return blockOffset_ + (next_ - block_); }
  // Makes `offset` the next byte to read. Moving within the buffered block
  // costs nothing.
  void seek(Offset offset);

  // Reads the bytes from `offset` on into `buffer` without moving the stream,
  // from the buffered block where it holds them. Returns the count read: short
  // only at the end of the input.
  std::size_t readAt(Offset offset, std::span<char> buffer);

  // The bytes from `begin` up to `end` where the buffered block holds them
  // all; valid until the stream next reads or seeks.
  std::optional<std::string_view> buffered(Offset begin, Offset end) const {
    Offset held = end_ - block_;
    if (begin < blockOffset_ || end > blockOffset_ + held || begin > end)
      return std::nullopt;
    return std::string_view(block_ + (begin - blockOffset_),
                            static_cast<std::size_t>(end - begin));
  }

  // The buffered bytes from the start of the buffered block up to `end`;
  // empty when the block does not hold `end`.
  std::string_view heldBefore(Offset end) const {
    Offset held = end_ - block_;
    if (end < blockOffset_ || end > blockOffset_ + held)
      return {};
    return {block_, static_cast<std::size_t>(end - blockOffset_)};
  }

  // The first read failure, if any. Once it has failed, the stream reads as
  // ended.
  const Error &error() const { return error_; }

private:
  ByteSource &source_;
  std::size_t bufferSize_;
  std::unique_ptr<char[]> buffer_;
  const char *block_;      // the block read last: buffer_, or one lent
  Offset blockOffset_ = 0; // offset of block_[0] in the input
  const char *next_;
  const char *end_;
  Error error_;
};

// The output stream: bytes collected in a block buffer and handed to the sink a
// block at a time.
class OutputStream {
public:
  explicit OutputStream(ByteSink &sink,
                        std::size_t bufferSize = kDefaultBufferSize);

  void writeByte(char byte) {
    if (used_ == bufferSize_)
      flushBuffer();
    buffer_[used_++] = byte;
  }
  void write(std::string_view bytes) {
    // Most writes are short: a word, a number, a separator, a segment's 64
    // digits. Copied here, they cost a few instructions instead of a call.
    if (bytes.size() <= kShortWrite && bufferSize_ - used_ >= kShortWrite) {
      copyShort(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return;
    }
    if (bytes.size() <= bufferSize_ - used_) {
      std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
      return;
    }
    writeThroughFullBuffer(bytes);
  }
  void writeDecimal(std::uint64_t value);

  // The next `size` bytes of the buffer, to be written into directly and
  // then passed with advance(); nullptr when the buffer has less room left.
  char *room(std::size_t size) {
    return bufferSize_ - used_ >= size ? buffer_.get() + used_ : nullptr;
  }
  void advance(std::size_t size) { used_ += size; }

  // Hands everything buffered to the sink. Returns the first write failure of
  // the whole run.
  Error flush();
  bool failed() const { return static_cast<bool>(error_); }

private:
  static constexpr std::size_t kShortWrite = 64;

  // Copies `size` bytes, at most kShortWrite, as two overlapping pieces of the
  // largest size that fits.
  static void copyShort(char *to, const char *from, std::size_t size) {
    if (size > 32) {
      copyTwoPieces<Bytes<32>>(to, from, size);
    } else if (size > 16) {
      copyTwoPieces<Bytes<16>>(to, from, size);
    } else if (size >= 8) {
      copyTwoPieces<std::uint64_t>(to, from, size);
    } else if (size >= 4) {
      copyTwoPieces<std::uint32_t>(to, from, size);
    } else if (size != 0) {
      to[0] = from[0];
      to[size / 2] = from[size / 2];
      to[size - 1] = from[size - 1];
    }
  }
  template <std::size_t N> struct Bytes { char bytes[N]; };
  template <typename Piece>
  static void copyTwoPieces(char *to, const char *from, std::size_t size) {
    Piece first;
    Piece last;
    std::memcpy(&first, from, sizeof first);
    std::memcpy(&last, from + size - sizeof last, sizeof last);
    std::memcpy(to, &first, sizeof first);
    std::memcpy(to + size - sizeof last, &last, sizeof last);
  }

  void flushBuffer();
  void writeThroughFullBuffer(std::string_view bytes);

  ByteSink &sink_;
  std::size_t bufferSize_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  Error error_;
};

// Copies the input bytes from `begin` up to `end` to the output, leaving the
// input where it is.
void copyUnbufferedInputRange(InputStream &input, Offset begin, Offset end,
                              OutputStream &output);
inline void copyInputRange(InputStream &input, Offset begin, Offset end,
                           OutputStream &output) {
  if (std::optional<std::string_view> held = input.buffered(begin, end))
    output.write(*held);
  else
    copyUnbufferedInputRange(input, begin, end, output);
}

// Moves the input through its windows to the first byte that `find` stops at
// (it gives an index in a window, or npos for none) and returns that byte,
// leaving the input at it; returns kEndMarker at the end of the input.
template <typename Find> int skipToFirst(InputStream &input, Find find) {
  for (;;) {
    std::string_view window = input.window();
    if (window.empty()) {
      if (!input.fill())
        return kEndMarker;
      continue;
    }
    std::size_t at = find(window);
    if (at != std::string_view::npos) {
      input.skip(at);
      return static_cast<unsigned char>(window[at]);
    }
    input.skip(window.size());
  }
}

// Moves the input past the first byte that is one of `targets` and returns that
// byte, or returns kEndMarker at the end of the input if none is left.
int skipPastFirstOf(InputStream &input, std::string_view targets);

// The first characters of a line, read by the stream scanner to decide whether
// the line starts a RUN or an SDR command.
class LineHeadBuffer {
public:
  static constexpr std::size_t kSlots = 3;

  void clear() { size_ = 0; }
  void push(char c) { slots_[size_++] = c; }
  std::size_t size() const { return size_; }
  bool full() const { return size_ == kSlots; }
  std::string_view text() const { return {slots_.data(), size_}; }

private:
  std::array<char, kSlots> slots_{};
  std::size_t size_ = 0;
};

} // namespace svfseg
