#include "verify/verify.h"

#include "io/file.h"
#include "segments.h"
#include "svf_generator.h"
#include "test_support.h"

#include <filesystem>
#include <random>

namespace svfseg {
namespace {

Expected<Verification> verify(std::string_view input, std::string_view output,
                              std::size_t blockSize = kDefaultVerifyBlockSize) {
  MemorySource in(input);
  MemorySource out(output);
  return verifyConversion(in, out, {blockSize});
}

TEST(VerifyConversion, Smoke) {
  std::string input = "SDR 300 TDI (" + testing::hexDigits(75, 1) + ");\n";
  std::string output = testing::convert(input);
  Expected<Verification> v = verify(input, output);
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->verified()) << v->mismatch->what;
}

TEST(VerifyConversion, GeneratedFiles) {
  testing::SvfGenerator generator(21, {});
  std::mt19937 random(22);
  for (int i = 0; i < 400; ++i) {
    testing::GeneratedSvf svf = generator.file();
    std::string output =
        testing::convert(svf.text, 1 + random() % 300, 1 + random() % 300);
    for (std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{7},
                             std::size_t{100}, kDefaultVerifyBlockSize}) {
      Expected<Verification> v = verify(svf.text, output, size);
      ASSERT_TRUE(v);
      ASSERT_TRUE(v->verified())
          << "file " << i << " size " << size << ": " << v->mismatch->what
          << " at " << v->mismatch->inputAt << "/" << v->mismatch->outputAt
          << "\n"
          << svf.text;
    }
  }
}

TEST(VerifyConversion, Corpus) {
  const std::filesystem::path corpus =
      std::filesystem::path(SVFSEG_SOURCE_DIR) / ".." / "shared" / "corpus";
  if (!std::filesystem::is_directory(corpus))
    GTEST_SKIP() << "no corpus at " << corpus;
  for (const auto &entry : std::filesystem::directory_iterator(corpus)) {
    if (entry.path().extension() != ".svf")
      continue;
    Expected<InputFile> file = InputFile::open(entry.path().string());
    ASSERT_TRUE(file);
    std::string text(std::filesystem::file_size(entry.path()), '\0');
    ASSERT_TRUE(file->readAt(0, {text.data(), text.size()}));
    std::string output = testing::convert(text);
    for (std::size_t size :
         {std::size_t{7}, std::size_t{4096}, kDefaultVerifyBlockSize}) {
      Expected<Verification> v = verify(text, output, size);
      ASSERT_TRUE(v);
      EXPECT_TRUE(v->verified())
          << entry.path().filename() << " size " << size << ": "
          << v->mismatch->what << " at " << v->mismatch->inputAt << "/"
          << v->mismatch->outputAt;
    }
  }
}

} // namespace
} // namespace svfseg
