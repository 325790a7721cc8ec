// Messages on standard error: the verbose-only warnings, and reports of failures. Each is
// written whole in one write, after standard output has been flushed, so that with 2>&1
// text and messages keep their order and a message never lands inside a character.
#pragma once

#include <cstddef>

// With -v: writes "kiv: " and the formatted message to standard error and returns the
// number of characters formatted. Without -v: writes nothing, returns 0.
int warn_verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the formatted message to standard error, whatever -v says.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "name: reason" for a system error number, as perror writes it.
void report_errno(const char* name, int error);

// While a sink is set, messages go to it, formatted, instead of standard error: in place,
// what a file's handling says waits there until it is that file's turn.
struct message_sink {
  void* ctx;
  void (*put)(void* ctx, const char* text, std::size_t len);
};
void set_message_sink(const message_sink* sink);

// Writes text, a whole message already formatted, to standard error as report() would.
void report_text(const char* text, std::size_t len);
