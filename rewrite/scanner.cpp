#include "rewrite/scanner.h"

#include "rewrite/command.h"

#include <cstring>

namespace svfseg {
namespace {

constexpr std::string_view kRunHead = "RUN";
constexpr std::string_view kSdrHead = "SDR";

// True when the line head read so far, followed by `c`, is still the start of
// RUN or SDR.
bool continuesCommandHead(std::string_view head, int c) {
  std::size_t at = head.size();
  return (head == kRunHead.substr(0, at) && c == kRunHead[at]) ||
         (head == kSdrHead.substr(0, at) && c == kSdrHead[at]);
}

class StreamScanner {
public:
  explicit StreamScanner(CommandContext &context) : context_(context) {}

  void run() {
    examineLineHead();
    while (!context_.output.failed()) {
      std::string_view window = context_.input.window();
      if (window.empty()) {
        if (!context_.input.fill())
          return;
        continue;
      }
      const void *lineFeed = std::memchr(window.data(), '\n', window.size());
      std::size_t length =
          lineFeed ? static_cast<const char *>(lineFeed) - window.data() + 1
                   : window.size();
      copyConvertingComments(window.substr(0, length));
      context_.input.skip(length);
      if (lineFeed)
        examineLineHead();
    }
  }

private:
  // Writes `text` with every '!' written as "//".
  void copyConvertingComments(std::string_view text) {
    while (const void *mark = std::memchr(text.data(), '!', text.size())) {
      std::size_t before = static_cast<const char *>(mark) - text.data();
      context_.output.write(text.substr(0, before));
      context_.output.write("//");
      text.remove_prefix(before + 1);
    }
    context_.output.write(text);
  }

  // Reads the start of a line into the line head buffer for as long as it
  // spells the start of RUN or SDR, and hands a complete head to its handler.
  // Any other start is written as read and left to the main loop from the first
  // byte that does not fit.
  void examineLineHead() {
    lineHead_.clear();
    while (continuesCommandHead(lineHead_.text(), context_.input.peekByte())) {
      lineHead_.push(static_cast<char>(context_.input.readByte()));
      if (lineHead_.full()) {
        if (lineHead_.text() == kRunHead)
          handleRunCommand(context_);
        else
          handleSdrCommand(context_);
        return;
      }
    }
    context_.output.write(lineHead_.text());
  }

  CommandContext &context_;
  LineHeadBuffer lineHead_;
};

} // namespace

void scan(InputStream &input, OutputStream &output,
          const ScanOptions &options) {
  CommandContext context{input, output, options.readBackBlockSize, {}};
  StreamScanner(context).run();
}

} // namespace svfseg
