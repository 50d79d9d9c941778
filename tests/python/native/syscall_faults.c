/* Preloaded into a test interpreter (LD_PRELOAD): makes one chosen file system call of velk_trust
 * fail with a chosen error, so that the tests can break every step of every store call. Only calls
 * made from the module itself are counted; the interpreter's own go through untouched.
 *
 *   faults_arm(n, err)   the n-th counted call from now on fails with err (0: none, only count; -1:
 *                        when it is a read, it moves fewer bytes than asked, as reads may; -2: it
 *                        is made, and then reported as failed with EIO, as a network file system
 *                        may report a rename that took effect)
 *   faults_disarm()      stops counting; returns how many calls were counted since faults_arm
 *
 * With FAULTS_NO_TMPFILE=1 in the environment, every O_TMPFILE open of the module is refused, as on a
 * file system without unnamed files (NFS, SMB, vfat). With FAULTS_RENAME_DELAY_MS=N, each rename of the
 * module waits N ms first, so that a test can look at a save's named temporary file.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static atomic_long counted;
static atomic_long fail_at = -1; /* -1: disarmed */
static atomic_int fail_errno;

void faults_arm(long n, int err) {
  atomic_store(&counted, 0);
  atomic_store(&fail_errno, err);
  atomic_store(&fail_at, n);
}

long faults_disarm(void) {
  atomic_store(&fail_at, -1);
  return atomic_load(&counted);
}

/* The module's own calls, and those of the SQLite library it loads (a wheel carries it among its
 * own libraries; a build from source takes the system's). */
static int from_module(void *caller) {
  Dl_info info;
  return dladdr(caller, &info) != 0 && info.dli_fname != NULL &&
         (strstr(info.dli_fname, "velk_trust") != NULL || strstr(info.dli_fname, "libsqlite3") != NULL);
}

#define SHORT_READ (-1)
#define EIO_AFTER (-2)

/* What becomes of this call: made as asked (0), failed before it is made (1, errno set), made and
 * then reported as failed with EIO (2), or, for a read, made shorter (3). */
static int fate(void *caller) {
  if (atomic_load(&fail_at) < 0 || !from_module(caller)) return 0;
  const long n = atomic_fetch_add(&counted, 1) + 1;
  if (n != atomic_load(&fail_at)) return 0;
  const int err = atomic_load(&fail_errno);
  if (err == EIO_AFTER) return 2;
  if (err == SHORT_READ) return 3;
  errno = err;
  return 1;
}

/* A call's result under its fate. */
static long made(int fate_of_call, long result) {
  if (fate_of_call != 2 || result < 0) return result;
  errno = EIO;
  return -1;
}

#define NEXT(name) static __typeof__(name) *next_##name; if (!next_##name) next_##name = dlsym(RTLD_NEXT, #name)
#define CALLER __builtin_return_address(0)

/* A descriptor that was opened and is then reported as failed is closed again. */
static int opened(int fate_of_call, int fd) {
  if (fate_of_call == 2 && fd >= 0) {
    NEXT(close);
    next_close(fd);
    errno = EIO;
    return -1;
  }
  return fd;
}

int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = va_arg(ap, mode_t);
  va_end(ap);
  NEXT(open);
  const int f = fate(CALLER);
  return f == 1 ? -1 : opened(f, next_open(path, flags, mode));
}

int openat(int dir, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = va_arg(ap, mode_t);
  va_end(ap);
  NEXT(openat);
  static int no_tmpfile = -1;
  if (no_tmpfile < 0) no_tmpfile = getenv("FAULTS_NO_TMPFILE") != NULL;
  if (no_tmpfile && (flags & O_TMPFILE) == O_TMPFILE && from_module(CALLER)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int f = fate(CALLER);
  return f == 1 ? -1 : opened(f, next_openat(dir, path, flags, mode));
}

ssize_t read(int fd, void *buf, size_t n) {
  NEXT(read);
  const int f = fate(CALLER);
  if (f == 1) return -1;
  if (f == 3 && n > 1) n /= 2;
  return made(f, next_read(fd, buf, n));
}
ssize_t write(int fd, const void *buf, size_t n) {
  NEXT(write);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_write(fd, buf, n));
}
/* SQLite's: reads and writes at an offset, syncs, truncation (each 64-bit name as its plain one). */
static ssize_t pread_from(void *caller, int fd, void *buf, size_t n, off_t at) {
  NEXT(pread);
  const int f = fate(caller);
  if (f == 1) return -1;
  if (f == 3 && n > 1) n /= 2;
  return made(f, next_pread(fd, buf, n, at));
}
static ssize_t pwrite_from(void *caller, int fd, const void *buf, size_t n, off_t at) {
  NEXT(pwrite);
  const int f = fate(caller);
  return f == 1 ? -1 : made(f, next_pwrite(fd, buf, n, at));
}
ssize_t pread(int fd, void *buf, size_t n, off_t at) { return pread_from(CALLER, fd, buf, n, at); }
ssize_t pread64(int fd, void *buf, size_t n, off_t at) { return pread_from(CALLER, fd, buf, n, at); }
ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) { return pwrite_from(CALLER, fd, buf, n, at); }
ssize_t pwrite64(int fd, const void *buf, size_t n, off_t at) { return pwrite_from(CALLER, fd, buf, n, at); }
int fsync(int fd) {
  NEXT(fsync);
  const int f = fate(CALLER);
  return f == 1 ? -1 : (int)made(f, next_fsync(fd));
}
int fdatasync(int fd) {
  NEXT(fdatasync);
  const int f = fate(CALLER);
  return f == 1 ? -1 : (int)made(f, next_fdatasync(fd));
}
int ftruncate(int fd, off_t length) {
  NEXT(ftruncate);
  const int f = fate(CALLER);
  return f == 1 ? -1 : (int)made(f, next_ftruncate(fd, length));
}
int close(int fd) {
  NEXT(close);
  const int f = fate(CALLER);
  if (f == 1) {
    const int err = errno;
    next_close(fd); /* as the kernel does: the descriptor is gone even when close reports an error */
    errno = err;
    return -1;
  }
  return made(f, next_close(fd));
}
int fstat(int fd, struct stat *st) {
  NEXT(fstat);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_fstat(fd, st));
}
int fstatat(int dir, const char *path, struct stat *st, int flags) {
  NEXT(fstatat);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_fstatat(dir, path, st, flags));
}
int stat(const char *path, struct stat *st) {
  NEXT(stat);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_stat(path, st));
}
int linkat(int d1, const char *p1, int d2, const char *p2, int flags) {
  NEXT(linkat);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_linkat(d1, p1, d2, p2, flags));
}
int renameat(int d1, const char *p1, int d2, const char *p2) {
  NEXT(renameat);
  static long delay_ms = -1;
  if (delay_ms < 0) delay_ms = getenv("FAULTS_RENAME_DELAY_MS") ? atol(getenv("FAULTS_RENAME_DELAY_MS")) : 0;
  if (delay_ms > 0 && from_module(CALLER)) usleep((useconds_t)(delay_ms * 1000));
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_renameat(d1, p1, d2, p2));
}
int renameat2(int d1, const char *p1, int d2, const char *p2, unsigned int flags) {
  NEXT(renameat2);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_renameat2(d1, p1, d2, p2, flags));
}
int unlinkat(int dir, const char *path, int flags) {
  NEXT(unlinkat);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_unlinkat(dir, path, flags));
}
int mkdir(const char *path, mode_t mode) {
  NEXT(mkdir);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_mkdir(path, mode));
}
int flock(int fd, int op) {
  NEXT(flock);
  const int f = fate(CALLER);
  return f == 1 ? -1 : made(f, next_flock(fd, op));
}
/* Calls that hand back a pointer fail before they are made, made-then-failed ones too (with EIO). */
static int refused(int fate_of_call) {
  if (fate_of_call == 2) errno = EIO;
  return fate_of_call == 1 || fate_of_call == 2;
}
DIR *opendir(const char *path) { NEXT(opendir); return refused(fate(CALLER)) ? NULL : next_opendir(path); }
struct dirent *readdir(DIR *dir) { NEXT(readdir); return refused(fate(CALLER)) ? NULL : next_readdir(dir); }
