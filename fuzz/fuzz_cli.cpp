// The whole program, kiv_main, on arguments taken from the input.
//
// Input: a flags byte, then arguments separated by NUL bytes; what follows the last NUL
// is the text, both in the file "in" of an empty working folder and on standard input.
// Flags: bit 0 appends the operand "in", bit 1 gives an empty standard input.
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/driver.h"
#include "codepages/detect.h"
#include "fuzz/pieces.h"
#include "io/output.h"

namespace {

char folder[] = "/tmp/kiv-fuzz-cli.XXXXXX";
int folder_fd = -1;
int home_fd = -1;
std::string artifact_flag;
std::vector<char*> new_argv;

void remove_folder() {
  unlinkat(folder_fd, "in", 0);
  rmdir(folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Arguments name files in a folder of our own only: no '/' gets through, so no device
  // or FIFO elsewhere can make a run hang. kiv runs in that folder, libFuzzer does not.
  if (mkdtemp(folder) == nullptr) std::abort();
  folder_fd = open(folder, O_RDONLY | O_DIRECTORY);
  home_fd = open(".", O_RDONLY | O_DIRECTORY);
  if (folder_fd < 0 || home_fd < 0) std::abort();
  std::atexit(remove_folder);
  // Where libFuzzer writes a finding is relative to the folder it started in.
  constexpr std::string_view flag = "-artifact_prefix=";
  std::string prefix;
  int at = -1;
  for (int i = 1; i < *argc; ++i)
    if (std::string_view((*argv)[i]).starts_with(flag)) {
      prefix = (*argv)[i] + flag.size();
      at = i;
    }
  if (prefix.empty() || prefix[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) std::abort();
    artifact_flag = std::string(flag) + cwd + "/" + prefix;
    std::free(cwd);
    new_argv.assign(*argv, *argv + *argc);
    if (at < 0) {
      new_argv.insert(new_argv.begin() + 1, artifact_flag.data());
      ++*argc;
    } else {
      new_argv[at] = artifact_flag.data();
    }
    new_argv.push_back(nullptr);
    *argv = new_argv.data();
  }
  // kiv's output is of no interest here, and its messages would drown libFuzzer's;
  // the sanitizers report on descriptor 2, which stays as it is.
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
  close(null);
  stderr = std::fopen("/dev/null", "w");
  if (stderr == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  const std::uint8_t flags = data[0];
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

  std::vector<std::string> args{"kiv"};
  std::size_t start = 0;
  for (std::size_t nul; (nul = body.find('\0', start)) != std::string::npos && args.size() < 64;
       start = nul + 1) {
    std::string a = body.substr(start, nul - start);
    for (char& c : a)
      if (c == '/') c = '_';
    args.push_back(a);
  }
  const std::string text = body.substr(start);
  if (flags & 1) args.push_back("in");

  if (fchdir(folder_fd) != 0) std::abort();
  std::FILE* f = std::fopen("in", "w");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(text.data(), 1, text.size(), f) == text.size());
  FUZZ_CHECK(std::fclose(f) == 0);

  // Standard input holds the same text (or nothing); kiv closes it when it reads it.
  const int fd = open(flags & 2 ? "/dev/null" : "in", O_RDONLY);
  FUZZ_CHECK(fd >= 0 && dup2(fd, STDIN_FILENO) == STDIN_FILENO);
  close(fd);

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int status = kiv_main(static_cast<int>(args.size()), argv.data());

  if (fchdir(home_fd) != 0) std::abort();
  close(STDIN_FILENO);
  FUZZ_CHECK(status == 0 || status == 1 || status == 2 || status == 255 || status == ENOMEM);
  FUZZ_CHECK(!std::ferror(stdout) && __fpending(stdout) == 0);
  FUZZ_CHECK(standard_output().len == 0 && standard_output().error == 0);
  FUZZ_CHECK(pending_head == nullptr);
  return 0;
}
