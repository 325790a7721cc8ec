// A progress line for long in-place runs, on standard error when it is a terminal: files
// done, bytes done and files left alone so far. Redrawn from the clock read between files
// and reads, never from a timer signal; cleared before anything else is written there.
#pragma once

#include <cstddef>

// Starts the clock for a run. Shown only when standard error is a terminal and the last of
// -v and -q given was not -q, and only once the run has lasted over a second.
void progress_start();

// What is done so far (files counted once each, bytes read, files left alone); redrawn at
// most four times a second.
void progress_files(std::size_t files, std::size_t left_alone);
void progress_bytes(std::size_t read);

// Bytes read so far in this process (what a worker tells the coordinator).
std::size_t progress_bytes_read();

// Takes the line off the terminal, if it is there, before a message on standard error.
void progress_clear();
// The same before a report line, when standard output is that terminal too.
void progress_clear_for_output();

// Takes the line away for good at the end of the run.
void progress_end();
