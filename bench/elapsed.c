/* Runs a command once, its output to /dev/null, and prints its wall time in microseconds,
 * from just before it is spawned to just after it is reaped: a shell timing the same
 * command would count its own fork as well. With -i its standard input is FILE.
 *   elapsed [-i FILE] COMMAND [ARG ...] */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  if (argc > 3 && strcmp(argv[1], "-i") == 0) {
    posix_spawn_file_actions_addopen(&io, 0, argv[2], O_RDONLY, 0);
    argv += 2;
    argc -= 2;
  }
  if (argc < 2) return 2;
  posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  pid_t pid;
  if (posix_spawnp(&pid, argv[1], &io, NULL, argv + 1, environ) != 0) return 127;
  int status;
  waitpid(pid, &status, 0);
  clock_gettime(CLOCK_MONOTONIC, &b);
  printf("%lld\n", (long long)(b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000);
  return 0;
}
