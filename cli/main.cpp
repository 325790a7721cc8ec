#include <malloc.h>

#include <csignal>

#include "cli/driver.h"

int main(int argc, char** argv) {
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which kiv reports,
  // instead of the process dying with no word.
  std::signal(SIGXFSZ, SIG_IGN);
  // The heap grows by what is asked of it, not by 128 KiB more each time: under a data
  // limit kiv then gets as far as the memory it really needs allows.
  mallopt(M_TOP_PAD, 0);
  return finish_output(kiv_main(argc, argv));
}
