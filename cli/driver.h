// The program: options, then each input detected and converted or reported.
#pragma once

// Exit statuses besides 0 and the error number of a failed allocation.
constexpr int status_failure = 1;          // an input or the output failed, or a wrong -o
constexpr int status_usage = 2;            // unknown option or missing argument
constexpr int status_no_input_page = 255;  // -i named no valid page

// Runs kiv on the arguments and returns its exit status. Leaves standard output open
// (flushed) so that it can be called again in one process after reset_settings().
int kiv_main(int argc, char** argv);

// Flushes and closes standard output; returns status, or status_failure if the output
// could not be written (reported once on standard error).
int finish_output(int status);
