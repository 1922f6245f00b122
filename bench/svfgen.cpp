// svfgen: writes large, realistic SVF files for measuring the converter.
//
//   svfgen --kind mixed|sdr-heavy --size BYTES[K|M|G] [--seed N]
//          [--sdr-bits N] [--line-digits N] [--crlf] --output FILE
//
// mixed: comments, short SIR/SDR commands, RUNTEST in its usual forms and long
// SDR commands (up to --sdr-bits, default 20,000 bits) with TDI, TDO and MASK
// over tab-indented lines; about half of the bytes are long SDR data.
// sdr-heavy: SDR commands of --sdr-bits bits (default 100,000,000) with TDI,
// TDO and MASK over tab-indented lines, until the size is reached; the last
// command is shortened so that the file ends near the size asked for.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct Options {
  std::string kind = "mixed";
  std::uint64_t size = 64ull << 20;
  std::uint64_t seed = 1;
  std::uint64_t sdrBits = 0;
  std::size_t lineDigits = 64;
  bool crlf = false;
  std::string output;
};

class Random {
public:
  explicit Random(std::uint64_t seed)
      : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
  std::uint64_t state_;
};

class Writer {
public:
  Writer(std::FILE *file, const Options &options, Random &random)
      : file_(file), lineEnd_(options.crlf ? "\r\n" : "\n"),
        lineDigits_(options.lineDigits), random_(random) {}

  void text(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    written_ += bytes.size();
  }
  void line(std::string_view bytes) {
    text(bytes);
    text(lineEnd_);
  }

  // `digits` random hexadecimal digits for `bits` bits, a line end and two
  // tabs before every further `lineDigits` of them. The first digit sets no
  // bit above the length, as the tools that write SVF files make it.
  void field(std::uint64_t bits) {
    const std::uint64_t digits = (bits + 3) / 4;
    const unsigned topMask = bits % 4 == 0 ? 15u : (1u << (bits % 4)) - 1;
    static constexpr char kHex[] = "0123456789ABCDEF";
    char chunk[4096];
    std::size_t used = 0;
    std::uint64_t random = 0;
    for (std::uint64_t i = 0; i < digits; ++i) {
      if (i != 0 && i % lineDigits_ == 0) {
        flushChunk(chunk, used);
        text(lineEnd_);
        text("\t\t");
      }
      if (i % 16 == 0)
        random = random_.next();
      chunk[used++] = kHex[random & (i == 0 ? topMask : 15u)];
      random >>= 4;
      if (used == sizeof chunk)
        flushChunk(chunk, used);
    }
    flushChunk(chunk, used);
  }

  void longSdr(std::uint64_t bits) {
    text("SDR " + std::to_string(bits) + " TDI (");
    field(bits);
    text(")");
    text(lineEnd_);
    text("\tTDO (");
    field(bits);
    text(")");
    text(lineEnd_);
    text("\tMASK (");
    field(bits);
    line(");");
  }

  std::uint64_t written() const { return written_; }

private:
  void flushChunk(char *chunk, std::size_t &used) {
    text({chunk, used});
    used = 0;
  }

  std::FILE *file_;
  std::string lineEnd_;
  std::size_t lineDigits_;
  Random &random_;
  std::uint64_t written_ = 0;
};

std::string hex(Random &random, int digits) {
  std::string text;
  for (int i = 0; i < digits; ++i)
    text.push_back("0123456789ABCDEF"[random.below(16)]);
  return text;
}

void writeShortCommands(Writer &out, Random &random) {
  static const char *const kRuntests[] = {
      "RUNTEST 100 TCK;", "RUNTEST IDLE 250 TCK ENDSTATE IDLE;",
      "RUNTEST 1.00E-02 SEC;", "RUNTEST IDLE 2 TCK 1.00E-03 SEC;"};
  out.line("! address " + std::to_string(random.below(1u << 20)));
  out.line("SIR 8 TDI (" + hex(random, 2) + ");");
  out.line("SDR 32 TDI (" + hex(random, 8) + ") TDO (" + hex(random, 8) +
           ") MASK (FFFFFFFF);");
  out.line(kRuntests[random.below(4)]);
  out.line("SDR 8 TDI (" + hex(random, 2) + "); // status");
}

void writeMixed(Writer &out, Random &random, const Options &options) {
  std::uint64_t longest = options.sdrBits ? options.sdrBits : 20000;
  std::uint64_t sdrBytes = 0;
  out.line("! Mixed SVF file written by svfgen.");
  out.line("TRST OFF;");
  while (out.written() < options.size) {
    if (sdrBytes * 2 < out.written()) {
      std::uint64_t before = out.written();
      out.longSdr(257 + random.below(longest - 256));
      sdrBytes += out.written() - before;
    } else {
      writeShortCommands(out, random);
    }
  }
}

void writeSdrHeavy(Writer &out, const Options &options) {
  std::uint64_t bits = options.sdrBits ? options.sdrBits : 100'000'000;
  out.line("! SDR-heavy SVF file written by svfgen.");
  out.line("STATE IDLE;");
  // Three fields of a quarter byte per bit, plus their layout.
  double bytesPerBit =
      3.0 / 4 * (1 + 3.0 / static_cast<double>(options.lineDigits));
  while (out.written() + 1024 < options.size) {
    auto room = static_cast<std::uint64_t>(
        static_cast<double>(options.size - out.written() - 64) / bytesPerBit);
    out.longSdr(room < bits ? std::max<std::uint64_t>(room, 257) : bits);
  }
  out.line("STATE RESET;");
}

std::uint64_t parseSize(const char *text) {
  char *end = nullptr;
  std::uint64_t value = std::strtoull(text, &end, 10);
  switch (*end) {
  case 'K':
    return value << 10;
  case 'M':
    return value << 20;
  case 'G':
    return value << 30;
  default:
    return value;
  }
}

bool parse(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (flag == "--crlf") {
      options.crlf = true;
      continue;
    }
    if (i + 1 == argc)
      return false;
    const char *value = argv[++i];
    if (flag == "--kind")
      options.kind = value;
    else if (flag == "--size")
      options.size = parseSize(value);
    else if (flag == "--seed")
      options.seed = std::strtoull(value, nullptr, 10);
    else if (flag == "--sdr-bits")
      options.sdrBits = std::strtoull(value, nullptr, 10);
    else if (flag == "--line-digits")
      options.lineDigits = std::strtoull(value, nullptr, 10);
    else if (flag == "--output")
      options.output = value;
    else
      return false;
  }
  return !options.output.empty() && options.lineDigits != 0 &&
         (options.kind == "mixed" || options.kind == "sdr-heavy") &&
         (options.sdrBits == 0 || options.sdrBits > 256);
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s --kind mixed|sdr-heavy --size BYTES[K|M|G] "
                 "[--seed N] [--sdr-bits N] [--line-digits N] [--crlf] "
                 "--output FILE\n",
                 argv[0]);
    return 2;
  }
  std::FILE *file = std::fopen(options.output.c_str(), "wb");
  if (!file) {
    std::perror(options.output.c_str());
    return 1;
  }
  static char buffer[1 << 20];
  std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
  Random random(options.seed);
  Writer out(file, options, random);
  if (options.kind == "mixed")
    writeMixed(out, random, options);
  else
    writeSdrHeavy(out, options);
  if (std::fclose(file) != 0) {
    std::perror(options.output.c_str());
    return 1;
  }
  return 0;
}
