#include "cli/driver.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// kiv_main writes to stdout, which glibc lets a test point at a file of its own.
struct run_result {
  int status;
  std::size_t pending;  // bytes still in stdout's buffer when kiv_main returned
  off_t written;        // bytes that had reached the file by then
};

run_result run_kiv(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* saved = stdout;
  stdout = std::tmpfile();
  testing::internal::CaptureStderr();
  run_result r{kiv_main(static_cast<int>(args.size()), argv.data()), __fpending(stdout), 0};
  testing::internal::GetCapturedStderr();
  struct stat st {};
  fstat(fileno(stdout), &st);
  r.written = st.st_size;
  std::fclose(stdout);
  stdout = saved;
  return r;
}

TEST(Driver, HelpTextFlushedBeforeReturn) {
  const std::string sample = KIV_SOURCE_DIR "/samples/text.cp866.txt";
  const struct {
    std::vector<std::string> args;
    int status;
    bool writes;
  } cases[] = {
      {{"kiv", "-h"}, 0, true},
      {{"kiv", "-x"}, status_usage, true},
      {{"kiv", "-o"}, status_usage, true},
      {{"kiv", "-i", "nope", sample}, status_no_input_page, false},
      {{"kiv", "-T", sample}, 0, true},
      {{"kiv", "-o", "utf-8", sample}, 0, true},
  };
  for (const auto& c : cases) {
    const run_result r = run_kiv(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.pending, 0u) << c.args[1];
    EXPECT_EQ(r.written > 0, c.writes) << c.args[1];
  }
}

}  // namespace
