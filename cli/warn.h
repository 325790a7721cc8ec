// The verbose-only warning channel.
#pragma once

// With -v: writes "kiv: " and the formatted message to standard error, flushes it and
// returns the number of characters formatted. Without -v: writes nothing, returns 0.
int warn_verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));
