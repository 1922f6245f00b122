#include "rewrite/stream.h"

#include "rewrite/avx512.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <system_error>

namespace svfseg {

Error Error::fromSystem(std::string file, int code) {
  return Error(std::move(file), std::generic_category().message(code));
}

Expected<std::size_t> MemorySource::readAt(Offset offset,
                                           std::span<char> buffer) {
  if (offset < 0 || static_cast<std::size_t>(offset) >= bytes_.size())
    return std::size_t{0};
  std::string_view rest = bytes_.substr(static_cast<std::size_t>(offset));
  std::size_t count = std::min(rest.size(), buffer.size());
  std::memcpy(buffer.data(), rest.data(), count);
  return count;
}

InputStream::InputStream(ByteSource &source, std::size_t bufferSize)
    : source_(source), bufferSize_(bufferSize), block_(nullptr), next_(nullptr),
      end_(nullptr) {}

bool InputStream::fill() {
  if (next_ != end_)
    return true;
  if (error_)
    return false;
  blockOffset_ = tell();
  if (source_.lendsForward()) {
    Expected<std::string_view> lent = source_.lendForward(blockOffset_);
    if (!lent) {
      error_ = lent.takeError();
      next_ = end_ = block_;
      return false;
    }
    block_ = next_ = lent->data();
    end_ = next_ + lent->size();
    return !lent->empty();
  }
  // A source that lends its blocks never needs a buffer of the stream's own.
  if (!buffer_)
    buffer_.reset(new char[bufferSize_]);
  block_ = next_ = end_ = buffer_.get();
  Expected<std::size_t> count =
      source_.readAt(blockOffset_, {buffer_.get(), bufferSize_});
  if (!count) {
    error_ = count.takeError();
    return false;
  }
  end_ += *count;
  return *count != 0;
}

void InputStream::seek(Offset offset) {
  Offset buffered = end_ - block_;
  if (offset >= blockOffset_ && offset <= blockOffset_ + buffered) {
    next_ = block_ + (offset - blockOffset_);
    return;
  }
  blockOffset_ = offset;
  next_ = end_ = block_;
}

std::size_t InputStream::readAt(Offset offset, std::span<char> buffer) {
  auto size = static_cast<Offset>(buffer.size());
  if (std::optional<std::string_view> held = buffered(offset, offset + size)) {
    std::memcpy(buffer.data(), held->data(), held->size());
    return held->size();
  }
  if (error_)
    return 0;
  Expected<std::size_t> count = source_.readAt(offset, buffer);
  if (!count) {
    error_ = count.takeError();
    return 0;
  }
  return *count;
}

OutputStream::OutputStream(ByteSink &sink, std::size_t bufferSize)
    : sink_(sink), bufferSize_(bufferSize), buffer_(new char[bufferSize]) {}

void OutputStream::flushBuffer() {
  if (!error_ && used_ != 0)
    error_ = sink_.write({buffer_.get(), used_});
  used_ = 0;
}

void OutputStream::writeThroughFullBuffer(std::string_view bytes) {
  flushBuffer();
  if (bytes.size() < bufferSize_) {
    std::memcpy(buffer_.get(), bytes.data(), bytes.size());
    used_ = bytes.size();
  } else if (!error_) {
    error_ = sink_.write(bytes);
  }
}

void OutputStream::writeDecimal(std::uint64_t value) {
  char digits[20];
  char *first = std::end(digits);
  do {
    *--first = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  write({first, static_cast<std::size_t>(std::end(digits) - first)});
}

Error OutputStream::flush() {
  flushBuffer();
  return error_;
}

void copyUnbufferedInputRange(InputStream &input, Offset begin, Offset end,
                              OutputStream &output) {
  char chunk[4096];
  while (begin < end) {
    std::size_t wanted =
        static_cast<std::size_t>(std::min<Offset>(end - begin, sizeof chunk));
    std::size_t count = input.readAt(begin, {chunk, wanted});
    output.write({chunk, count});
    if (count != wanted)
      return;
    begin += static_cast<Offset>(count);
  }
}

namespace {

#if defined(SVFSEG_HAVE_AVX512)
// The lanes of `bytes` that hold one of the three bytes of `targets`.
SVFSEG_AVX512 __mmask64 lanesHolding(__m512i bytes,
                                     const __m512i (&targets)[3]) {
  return _mm512_cmpeq_epi8_mask(bytes, targets[0]) |
         _mm512_cmpeq_epi8_mask(bytes, targets[1]) |
         _mm512_cmpeq_epi8_mask(bytes, targets[2]);
}

// findFirstOf() for two or three targets, in one pass over `text`, 64 bytes
// at a time: the SDR handler looks through fields of megabytes for their ')'
// and a possible ';'.
SVFSEG_AVX512 std::size_t findFirstOfAvx512(std::string_view text,
                                            std::string_view targets) {
  const __m512i wanted[3] = {_mm512_set1_epi8(targets[0]),
                             _mm512_set1_epi8(targets[1]),
                             _mm512_set1_epi8(targets[targets.size() - 1])};
  const char *bytes = text.data();
  std::size_t at = 0;
  for (; at + 64 <= text.size(); at += 64) {
    if (__mmask64 found = lanesHolding(_mm512_loadu_si512(bytes + at), wanted))
      return at + static_cast<std::size_t>(
                      std::countr_zero(static_cast<std::uint64_t>(found)));
  }
  // The last bytes, read with a mask that keeps the load within `text`.
  __mmask64 inText = _bzhi_u64(~std::uint64_t{0}, text.size() - at);
  __m512i last = _mm512_maskz_loadu_epi8(inText, bytes + at);
  if (__mmask64 found = lanesHolding(last, wanted) & inText)
    return at + static_cast<std::size_t>(
                    std::countr_zero(static_cast<std::uint64_t>(found)));
  return std::string_view::npos;
}
#endif

// The index of the first byte of `text` that is one of `targets`, or npos.
std::size_t findFirstOf(std::string_view text, std::string_view targets) {
#if defined(SVFSEG_HAVE_AVX512)
  if ((targets.size() == 2 || targets.size() == 3) && processorHasAvx512())
    return findFirstOfAvx512(text, targets);
#endif
  std::size_t first = text.size();
  for (char target : targets)
    if (const void *at = std::memchr(text.data(), target, first))
      first =
          static_cast<std::size_t>(static_cast<const char *>(at) - text.data());
  return first == text.size() ? std::string_view::npos : first;
}

} // namespace

int skipPastFirstOf(InputStream &input, std::string_view targets) {
  int c = skipToFirst(input, [targets](std::string_view window) {
    return findFirstOf(window, targets);
  });
  if (c != kEndMarker)
    input.skip(1);
  return c;
}

} // namespace svfseg
