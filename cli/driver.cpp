#include "cli/driver.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/help.h"
#include "cli/settings.h"
#include "cli/stream_io.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"

namespace {

// The leading '+' keeps glibc from reordering: parsing stops at the first operand.
constexpr const char* option_string = "+i:o:thegTs:qvlc";
constexpr const char* stdin_name = "<stdin>";

// Inputs are open one at a time, so they can share one large buffer.
char input_buffer[1 << 16];

bool output_reported = false;

void report_output_failure() {
  if (output_reported) return;
  output_reported = true;
  std::fprintf(stderr, "kiv: standard output: %s\n",
               std::strerror(output_errno ? output_errno : EIO));
}

bool flush_output() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  return output_ok(stdout) && flushed;
}

// Returns -1 to go on, or the exit status to stop with.
int read_options(int argc, char** argv) {
  // The two long options every command is expected to know; the rest stay short.
  constexpr int version_option = 256;
  static constexpr option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                            {"version", no_argument, nullptr, version_option},
                                            {nullptr, 0, nullptr, 0}};
  optind = 0;  // glibc: start afresh, also on a second call in one process
  opterr = 1;
  for (int c; (c = getopt_long(argc, argv, option_string, long_options, nullptr)) != -1;) {
    switch (c) {
      case 'i':
        input_page = find_code_page(optarg);
        input_given = true;
        break;
      case 'o':
        output_page = find_code_page(optarg);
        break;
      case 't':
        report_only = false;
        input_given = false;
        break;
      case 'T':
        report_only = true;
        input_given = false;
        break;
      case 'e':
        keep_boxdraw = false;
        break;
      case 'g':
        keep_boxdraw = true;
        break;
      case 'c':
        letters_only = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'q':
        verbose = false;
        break;
      case 'l':
        low_score_passthrough = true;
        break;
      case 's':
        break;
      case version_option:
        errno = 0;
        print_version();
        output_ok(stdout);
        return 0;
      case 'h':
      default:  // getopt has already complained
        errno = 0;
        print_help();
        output_ok(stdout);
        return c == 'h' ? 0 : status_usage;
    }
  }
  return -1;
}

struct run_state {
  detect_ctx ctx;
  int status;
  bool stop;
};

// True when converting in would write into the part of the same file still to be read:
// output appended to it, or written at a place before its end. The input would then
// never end, or be overwritten before it is read.
bool writes_into(std::FILE* in) {
  // With standard output closed, the input itself may have been opened on descriptor 1;
  // writing to it fails then, which is reported as any failed output is.
  if (fileno(in) == fileno(stdout)) return false;
  struct stat si, so;
  if (fstat(fileno(in), &si) != 0 || fstat(fileno(stdout), &so) != 0) return false;
  if (!S_ISREG(si.st_mode) || si.st_size == 0 || si.st_dev != so.st_dev || si.st_ino != so.st_ino)
    return false;
  const int flags = fcntl(fileno(stdout), F_GETFL);
  const long at = std::ftell(stdout);
  return (flags != -1 && (flags & O_APPEND) != 0) || (at >= 0 && at < si.st_size);
}

void handle_input(run_state& run, std::FILE* in, const char* name) {
  input_errno = 0;
  if (input_given && report_only) return;  // -i after -T: nothing to do
  if (!report_only && writes_into(in)) {
    std::fprintf(stderr, "%s: input file is output file\n", name);
    run.status = status_failure;
    return;
  }
  if (!input_given) {
    float score = 0.0f;
    const code_page* page = detect_code_page(&run.ctx, in, stdout, !report_only, &score);
    if (page == nullptr) {  // out of memory holding a block; reported already
      pending_release();
      run.status = ENOMEM;
      run.stop = true;
      return;
    }
    if (report_only && !std::ferror(in)) {
      errno = 0;
      std::printf("%s: %s\n", name, score == 0.0f ? "us-ascii (no hits)" : page->name);
    }
  }
  if (!report_only) {
    if (!letters_only && keep_boxdraw && input_page->boxdraw_count != 0 &&
        output_page->boxdraw_count == 0)
      warn_verbose("Output code page has no pseudo-graphics. Assuming a -g option off.\n");
    if (!convert_file(in, stdout)) run.status = status_failure;
  }
  if (std::ferror(in)) {
    errno = input_errno ? input_errno : EIO;
    std::perror(name);
    run.status = status_failure;
  }
  if (!output_ok(stdout)) {
    report_output_failure();
    run.status = status_failure;
    run.stop = true;
  }
}

int run_kiv(int argc, char** argv) {
  if (const int status = read_options(argc, argv); status >= 0) return status;

  if (output_page == nullptr) {
    warn_verbose("Brings to default output code page (%s).\n",
                 code_pages[default_output_index].name);
    output_page = &code_pages[default_output_index];
  }
  if (input_given && input_page == nullptr) {
    warn_verbose("Could not continue without input code page. Specify -i or -t option.\n");
    return status_no_input_page;
  }

  run_state run{{code_pages, output_page, nullptr, 0}, 0, false};
  if (!input_given) {
    run.ctx.block = static_cast<unsigned char*>(std::malloc(detect_block_size));
    if (run.ctx.block == nullptr) {
      const int e = errno;
      std::perror("kiv");
      errno = e;
      std::perror(nullptr);
      return e;
    }
  }

  if (optind >= argc) {
    handle_input(run, stdin, stdin_name);
    std::fclose(stdin);
  }
  for (int i = optind; i < argc && !run.stop; ++i) {
    std::FILE* in = std::fopen(argv[i], "r");
    if (in == nullptr) {
      std::perror(argv[i]);
      run.status = status_failure;
      continue;
    }
    std::setvbuf(in, input_buffer, _IOFBF, sizeof input_buffer);
    handle_input(run, in, argv[i]);
    std::fclose(in);
  }

  std::free(run.ctx.block);
  return run.status;
}

}  // namespace

int kiv_main(int argc, char** argv) {
  reset_settings();
  reset_stream_errors();
  output_reported = false;
  const int status = run_kiv(argc, argv);
  // Every way out flushes, the help text's too: the caller may go on writing, or run
  // kiv again, and a failure belongs to this run's status.
  if (!flush_output()) {
    report_output_failure();
    return status_failure;
  }
  return status;
}

int finish_output(int status) {
  bool ok = flush_output();
  errno = 0;
  if (std::fclose(stdout) != 0) {
    if (output_errno == 0) output_errno = errno;
    ok = false;
  }
  if (ok) return status;
  report_output_failure();
  return status_failure;
}
