// What the files do alike on every system.
#include "io/file.h"

#include <memory>

namespace svfseg {

Error ScratchFile::copyTo(ByteSink &sink) {
  const std::unique_ptr<char[]> buffer(new char[kDefaultBufferSize]);
  for (Offset at = 0; at < size_;) {
    Expected<std::size_t> count =
        readAt(at, {buffer.get(), kDefaultBufferSize});
    if (!count)
      return count.takeError();
    if (*count == 0)
      return Error(name_, "ended before the bytes written to it");
    if (Error error = sink.write({buffer.get(), *count}))
      return error;
    at += static_cast<Offset>(*count);
  }
  return {};
}

} // namespace svfseg
