// copyloop: copies a file with a plain read/write loop through a buffer of the
// converter's own size. It is the floor for a program that looks at its bytes,
// printed beside cat by compare.sh.
#include "rewrite/stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  int in = ::open(argv[1], O_RDONLY);
  int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in < 0 || out < 0) {
    std::perror("open");
    return 1;
  }
  std::unique_ptr<char[]> buffer(new char[svfseg::kDefaultBufferSize]);
  for (;;) {
    ssize_t count = ::read(in, buffer.get(), svfseg::kDefaultBufferSize);
    if (count < 0) {
      std::perror("read");
      return 1;
    }
    if (count == 0)
      break;
    for (ssize_t done = 0; done < count;) {
      ssize_t written = ::write(out, buffer.get() + done,
                                static_cast<std::size_t>(count - done));
      if (written < 0) {
        std::perror("write");
        return 1;
      }
      done += written;
    }
  }
  return ::close(out) == 0 ? 0 : 1;
}
