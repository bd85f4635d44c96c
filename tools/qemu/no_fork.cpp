// Preloaded into digitmill when it runs under qemu-user 7.2, whose user mode
// hangs in any fork(): every way of starting a process fails with EAGAIN
// instead, as on a system out of processes, and digitmill goes on without
// its date lines. Never part of a normal run.
#include <errno.h>
#include <spawn.h>
#include <unistd.h>

extern "C" {

pid_t fork() {
  errno = EAGAIN;
  return -1;
}

pid_t vfork() {
  errno = EAGAIN;
  return -1;
}

int posix_spawn(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                char* const[], char* const[]) {
  return EAGAIN;
}

int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                 char* const[], char* const[]) {
  return EAGAIN;
}

}  // extern "C"
