#include <csignal>

#include "cli/driver.h"

int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which kiv reports,
  // instead of the process dying with no word.
  std::signal(SIGXFSZ, SIG_IGN);
  return finish_output(kiv_main(argc, argv));
}
