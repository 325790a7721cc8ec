#include "cli/driver.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cli/help.h"
#include "cli/in_place.h"
#include "cli/names.h"
#include "cli/options.h"
#include "cli/settings.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/repair_file.h"
#include "convert/span.h"
#include "convert/tables.h"
#include "io/input.h"
#include "io/output.h"

namespace {

constexpr const char* stdin_name = "<stdin>";

bool output_reported = false;

void report_output_failure() {
  if (output_reported) return;
  output_reported = true;
  const int e = standard_output().error;
  report("kiv: standard output: %s\n", std::strerror(e != 0 ? e : EIO));
}

// Everything waiting for standard output written: kiv's own buffer, and stdio's, which
// only ever holds the help text.
bool flush_output() {
  output_stream& out = standard_output();
  out_flush(out);
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && out.error == 0)
    out.error = errno != 0 ? errno : EIO;
  return out.error == 0;
}

// The page named after -i or -o, or null after saying on standard error, whatever -v
// says, which name was wrong and what the right ones are. Blocks without Russian letters
// pass unchanged before the page is known: a page whose ASCII is not those bytes
// (UTF-16) is no output page.
code_page* named_page(const char* name, bool for_output) {
  code_page* page = find_code_page(name);
  const char* wrong = page == nullptr                       ? "Wrong code page identifier"
                      : for_output && !is_output_page(page) ? "Not an output code page"
                                                            : nullptr;
  if (wrong == nullptr) return page;
  report("kiv: %s: %s\n", wrong, shown_name(name).c_str());
  print_identifiers(stderr);
  return nullptr;
}

// The options table as getopt_long takes it.
struct getopt_tables {
  char letters[2 + 2 * std::size(option_rows)];  // with ':' for an argument
  option names[std::size(option_rows) + 1];
};

getopt_tables make_getopt_tables() {
  getopt_tables t{};
  // The leading '+' keeps glibc from reordering: parsing stops at the first operand.
  char* l = t.letters;
  *l++ = '+';
  int n = 0;
  for (const option_row& r : option_rows) {
    if (r.key < version_option) {
      *l++ = static_cast<char>(r.key);
      if (r.argument != nullptr) *l++ = ':';
    }
    t.names[n++] = {r.name,
                    r.argument == nullptr ? no_argument
                    : r.optional          ? optional_argument
                                          : required_argument,
                    nullptr, r.key};
  }
  return t;
}

bool output_named = false;  // some -o, right or wrong
bool jobs_given = false;    // some -j
bool jobs_misused = false;  // the last -j took no number

// Returns -1 to go on, or the exit status to stop with.
int read_options(int argc, char** argv) {
  const getopt_tables tables = make_getopt_tables();
  optind = 0;  // glibc: start afresh, also on a second call in one process
  opterr = 1;
  for (int c; (c = getopt_long(argc, argv, tables.letters, tables.names, nullptr)) != -1;) {
    switch (c) {
      case 'i':
        input_page = named_page(optarg, false);
        input_given = true;
        break;
      case 'o':
        output_page = named_page(optarg, true);
        output_named = true;
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
        quiet_last = false;
        break;
      case 'q':
        verbose = false;
        quiet_last = true;
        break;
      case 'r':
        recursive = true;
        break;
      case 'j': {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(optarg, &end, 10);
        jobs_misused = *optarg < '0' || *optarg > '9' || *end != '\0';
        jobs = jobs_misused ? 1 : errno != 0 || n > 64 ? 64 : static_cast<int>(n);  // at most 64
        jobs_given = true;
        break;
      }
      case backup_option:
        backup_suffix = optarg != nullptr ? optarg : "~";
        break;
      case keep_times_option:
        keep_times = true;
        break;
      case 'l':
        low_score_passthrough = true;
        break;
      case 's':
        break;
      case in_place_option:
        in_place = true;
        break;
      case dry_run_option:
        dry_run = true;
        break;
      case lossy_option:
        lossy = true;
        break;
      case keep_declarations_option:
        keep_declarations = true;
        break;
      case repair_option:
        repair = true;
        break;
      case guess_option:
        guess = true;
        break;
      case version_option:
        print_version();
        return 0;
      case 'h':
        print_help(stdout);
        return 0;
      default:  // getopt has already complained; the help is part of that complaint
        print_help(stderr);
        return status_usage;
    }
  }
  return -1;
}

struct run_state {
  detect_ctx ctx;
  int status;
  bool stop;
};

// True when the input is the regular file standard output writes to and already holds
// text, or the very pipe it writes into: converting it would read kiv's own output back
// (`kiv a f > f`, `kiv f >> f`, `kiv /dev/stdout | less`), never ending, or doubling it.
bool reads_own_output(int fd) {
  const output_stream& out = standard_output();
  // With standard output closed, the input itself may have been opened on its descriptor;
  // writing to it fails then, which is reported as any failed output is.
  if (fd == out.fd) return false;
  struct stat si, so;
  if (fstat(fd, &si) != 0 || fstat(out.fd, &so) != 0) return false;
  if (si.st_dev != so.st_dev || si.st_ino != so.st_ino) return false;
  if (S_ISFIFO(si.st_mode)) return true;
  if (!S_ISREG(si.st_mode)) return false;  // a terminal is read and written alike
  // What kiv wrote so far must have reached the file for its size to tell.
  out_flush(standard_output());
  return fstat(fd, &si) == 0 && si.st_size > 0;
}

void report_line(output_stream& out, const char* name, const char* page) {
  const shown_name shown(name);
  const struct iovec parts[] = {{const_cast<char*>(shown.c_str()), shown.size()},
                                {const_cast<char*>(": "), 2},
                                {const_cast<char*>(page), std::strlen(page)},
                                {const_cast<char*>("\n"), 1}};
  out_line(out, parts, 4);
}

// What -T says of an input.
struct report_text {
  char text[64];
};
report_text report_name(const detect_ctx& ctx, const code_page* page) {
  report_text r{};
  switch (ctx.outcome) {
    case detect_outcome::no_hits:
      std::snprintf(r.text, sizeof r.text, "us-ascii (no hits)");
      break;
    case detect_outcome::binary:
      std::snprintf(r.text, sizeof r.text, "binary");
      break;
    case detect_outcome::not_cyrillic:
      std::snprintf(r.text, sizeof r.text, "8-bit (not Cyrillic)");
      break;
    default:
      if (ctx.rival != nullptr)
        std::snprintf(r.text, sizeof r.text, "%s (unsure: or %s)", page->name, ctx.rival->name);
      else
        std::snprintf(r.text, sizeof r.text, "%s", page->name);
  }
  return r;
}

void report_failures(run_state& run, const input_stream& in, const output_stream& out,
                     const char* name) {
  if (in.error != 0) {
    report_errno(shown_name(name).c_str(), in.error);
    run.status = status_failure;
  }
  if (out.error != 0) {
    report_output_failure();
    run.status = status_failure;
    run.stop = true;
  }
}

void handle_input(run_state& run, int fd, const char* name) {
  if (input_given && report_only) return;  // -i after -T: nothing to do
  output_stream& out = standard_output();
  if (!report_only && reads_own_output(fd)) {
    report("%s: input file is output file\n", shown_name(name).c_str());
    run.status = status_failure;
    return;
  }
  input_stream in = input_on(fd);
  if (!input_given) {
    float score = 0.0f;
    const code_page* page = detect_code_page(&run.ctx, in, out, !report_only, &score);
    if (page == nullptr) {  // out of memory holding a block; reported already
      pending_release();
      run.status = ENOMEM;
      run.stop = true;
      return;
    }
    if (report_only && in.error == 0) report_line(out, name, report_name(run.ctx, page).text);
    const detect_outcome outcome = run.ctx.outcome;
    if (!report_only &&
        (outcome == detect_outcome::binary || outcome == detect_outcome::not_cyrillic)) {
      const shown_name shown(name);
      if (outcome == detect_outcome::binary)
        warn_verbose("%s: binary data, copied unchanged\n", shown.c_str());
      else
        warn_verbose("%s: 8-bit text, not Cyrillic, copied unchanged\n", shown.c_str());
      copy_file(in, out);
      report_failures(run, in, out, name);
      return;
    }
    if (!report_only && run.ctx.rival != nullptr)
      warn_verbose("%s: unsure whether %s or %s, taken for %s\n", shown_name(name).c_str(),
                   page->name, run.ctx.rival->name, page->name);
  }
  int converted = 0;
  if (!report_only) {
    if (!letters_only && keep_boxdraw && input_page->boxdraw_count != 0 &&
        output_page->boxdraw_count == 0)
      warn_verbose("Output code page has no pseudo-graphics. Assuming a -g option off.\n");
    // Line by line only where it is asked for or told of: otherwise as fast as ever.
    if ((repair || verbose) && (input_given || run.ctx.outcome == detect_outcome::letters)) {
      repair_counts counts;
      converted = repair_file(in, out, repair, counts, !input_given && run.ctx.mid_line);
      const auto lines = static_cast<std::uintmax_t>(counts.lines);
      if (lines > 0)
        warn_verbose(repair ? "%s: %ju line%s repaired\n"
                            : "%s: %ju line%s in another page or double-encoded (--repair mends "
                              "them)\n",
                     shown_name(name).c_str(), lines, lines == 1 ? "" : "s");
    } else {
      converted = convert_file(in, out);
    }
  }
  if (converted != 0) run.status = status_failure;
  report_failures(run, in, out, name);
  if (converted == ENOMEM) {  // as for every allocation that fails
    run.status = ENOMEM;
    run.stop = true;
  }
}

// "kiv: Cannot allocate memory", then the bare message, as for every allocation that fails
// before the first input; returns the status to exit with.
int out_of_memory() {
  report_errno("kiv", ENOMEM);
  report("%s\n", std::strerror(ENOMEM));
  return ENOMEM;
}

// Why the options cannot convert files in place, or null. Converting a folder into
// koi8-r because of a typo after -o is what this is for.
const char* in_place_misuse(int operands) {
  if (!in_place)
    return dry_run             ? "--dry-run needs --in-place"
           : lossy             ? "--lossy needs --in-place"
           : recursive         ? "-r needs --in-place"
           : backup_suffix     ? "--backup needs --in-place"
           : keep_times        ? "--keep-times needs --in-place"
           : keep_declarations ? "--keep-declarations needs --in-place"
           : jobs_given        ? "-j needs --in-place"
           : guess             ? "--guess needs --in-place"
                               : nullptr;
  if (jobs_misused) return "-j needs a number of jobs (0: one for each CPU)";
  // A suffix that makes no name beside the file, or none at all.
  if (backup_suffix != nullptr && (*backup_suffix == '\0' || std::strchr(backup_suffix, '/')))
    return "--backup=SUFFIX needs a suffix, without /";
  if (!output_named || output_page == nullptr)
    return "--in-place needs -o and the page to convert the files into";
  if (report_only) return "--in-place and -T do not go together";
  if (low_score_passthrough) return "--in-place and -l do not go together";
  if (operands == 0) return "--in-place needs files to convert";
  return nullptr;
}

// Why --repair cannot go with the other options, or null.
const char* repair_misuse() {
  if (!repair) return nullptr;
  if (report_only) return "--repair and -T do not go together";
  if (low_score_passthrough) return "--repair and -l do not go together";
  return nullptr;
}

int run_kiv(int argc, char** argv, bool have_output) {
  output_named = jobs_given = jobs_misused = false;
  if (const int status = read_options(argc, argv); status >= 0) return status;
  const char* why = in_place_misuse(argc - optind);
  if (why == nullptr) why = repair_misuse();
  if (why != nullptr) {
    report("kiv: %s\n", why);
    return status_usage;
  }
  // Before any pair is opened: they are opened for it.
  watch.on = in_place && !lossy;

  // The text is converted all the same, but not into the page asked for.
  int status = 0;
  if (output_page == nullptr) {
    report("kiv: Brings to default output code page (%s).\n",
           code_pages[default_output_index].name);
    output_page = &code_pages[default_output_index];
    status = status_failure;
  }
  if (input_given && input_page == nullptr) {
    warn_verbose("Could not continue without input code page. Specify -i or -t option.\n");
    return status_no_input_page;
  }

  // What every input needs is had before the first one is opened.
  if (!have_output || !reserve_input_buffer()) return out_of_memory();
  if ((in_place || repair || verbose) && !report_only && !repair_file_reserve())
    return out_of_memory();
  run_state run{{code_pages, output_page, nullptr, 0}, status, false};
  if (!input_given) {
    run.ctx.block = static_cast<unsigned char*>(std::malloc(detect_block_size));
    if (run.ctx.block == nullptr) return out_of_memory();
  } else if (!report_only) {
    // The pair is known: its conversion is opened before any input is, which could take
    // the last descriptor that iconv needs to load its module.
    if (const int e = open_conversion(); e == ENOMEM) {
      report_unconvertible(e);
      return e;
    }
    // And the one of the mended lines.
    if (repair) pair_for(find_code_page("utf-8"), output_page);
  }

  if (in_place) {
    std::free(run.ctx.block);
    const int done = convert_in_place(argv + optind, argc - optind);
    return done != 0 ? done : status;
  }
  if (optind >= argc) {
    handle_input(run, STDIN_FILENO, stdin_name);
    close(STDIN_FILENO);
  }
  for (int i = optind; i < argc && !run.stop; ++i) {
    // Opening a FIFO waits for its writer: what is ready goes out first.
    struct stat st;
    if (stat(argv[i], &st) != 0 || !S_ISREG(st.st_mode)) out_flush(standard_output());
    const int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int e = errno;
      report_errno(shown_name(argv[i]).c_str(), e);
      run.status = status_failure;
      continue;
    }
    handle_input(run, fd, argv[i]);
    close(fd);
  }

  std::free(run.ctx.block);
  return run.status;
}

}  // namespace

int kiv_main(int argc, char** argv) {
  reset_settings();
  const bool have_output = reset_standard_output();
  output_reported = false;
  const int status = run_kiv(argc, argv, have_output);
  close_pairs();
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
  // Standard output closed and never written to (`kiv /dev/null >&-`) is no failure.
  if (std::fclose(stdout) != 0 && (errno != EBADF || !ok)) {
    output_stream& out = standard_output();
    if (out.error == 0) out.error = errno != 0 ? errno : EIO;
    ok = false;
  }
  if (ok) return status;
  report_output_failure();
  return status_failure;
}
