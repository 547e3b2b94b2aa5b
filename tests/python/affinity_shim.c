/* A stand-in for sched_getaffinity, loaded with LD_PRELOAD, that reports
 * the first HOST_SIZE_PROCESSORS processors as the calling thread's
 * affinity mask: how a process sees a larger host on a small machine.
 * Like the kernel, it fails with EINVAL when the caller's set is too
 * small to hold that many processors. Without the variable it passes the
 * call on to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t *set) {
  const char *text = getenv("HOST_SIZE_PROCESSORS");
  if (text == NULL || *text == '\0') {
    int (*next)(pid_t, size_t, cpu_set_t *) =
        (int (*)(pid_t, size_t, cpu_set_t *))dlsym(RTLD_NEXT, "sched_getaffinity");
    if (next == NULL) {
      errno = ENOSYS;
      return -1;
    }
    return next(pid, size, set);
  }
  const long processors = strtol(text, NULL, 10);
  if (processors <= 0 || (size_t)processors > size * 8) {
    errno = EINVAL;
    return -1;
  }
  memset(set, 0, size);
  for (long cpu = 0; cpu < processors; ++cpu) CPU_SET_S((size_t)cpu, size, set);
  return 0;
}
