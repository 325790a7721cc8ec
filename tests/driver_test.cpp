#include "cli/driver.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "io/output.h"

namespace {

// kiv_main writes to descriptor 1, which the test points at a file of its own.
struct run_result {
  int status;
  std::size_t pending;  // bytes still buffered when kiv_main returned
  off_t written;        // bytes that had reached the file by then
};

run_result run_kiv(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::FILE* file = std::tmpfile();
  const int saved = dup(1);
  dup2(fileno(file), 1);
  testing::internal::CaptureStderr();
  run_result r{kiv_main(static_cast<int>(args.size()), argv.data()),
               standard_output().len + __fpending(stdout), 0};
  testing::internal::GetCapturedStderr();
  struct stat st {};
  fstat(fileno(file), &st);
  r.written = st.st_size;
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::fclose(file);
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
      {{"kiv", "-x"}, status_usage, false},  // the help goes to standard error
      {{"kiv", "-o"}, status_usage, false},
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
