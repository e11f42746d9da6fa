/* Preloaded into the program by the end-to-end tests, to stage what is hard
 * to stage from outside. Only the program's own calls count, those made
 * from its executable, not from the libraries it loads.
 *
 *   WAVELOT_FAIL=fn:N:errno   the N-th own call of fn fails with errno
 *   WAVELOT_KILL=fn:N         the N-th own call of fn kills the process
 *   WAVELOT_SHIM_LOG=path     a line "fn N" is appended there when it acts
 *   WAVELOT_PROBE=path        at every own rename: try to create `path` and
 *                             to run /bin/true, and say how both went on
 *                             standard error, before the rename goes on
 *
 * fn is one of: open fopen fdopen fwrite fprintf fflush fsync close fclose
 * ftruncate flock dup rename remove.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static uintptr_t exe_low, exe_high;

static int find_executable(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD)
            continue;
        uintptr_t low = info->dlpi_addr + ph->p_vaddr, high = low + ph->p_memsz;
        if (exe_low == 0 || low < exe_low)
            exe_low = low;
        if (high > exe_high)
            exe_high = high;
    }
    return 1; /* the first object is the executable */
}

static int own_call(void *return_address)
{
    if (exe_high == 0)
        dl_iterate_phdr(find_executable, NULL);
    uintptr_t at = (uintptr_t)return_address;
    return at >= exe_low && at < exe_high;
}

/* Writes with the system call itself, so that the shim never counts its own. */
static void say(int fd, const char *text)
{
    syscall(SYS_write, fd, text, strlen(text));
}

/* Opened before the program runs, so that the log can be written whatever
 * the program's confinement allows later. */
static int log_fd = -1;

__attribute__((constructor)) static void open_log(void)
{
    const char *path = getenv("WAVELOT_SHIM_LOG");
    if (path != NULL)
        log_fd = (int)syscall(SYS_open, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static void log_action(const char *fn, long n)
{
    if (log_fd < 0)
        return;
    char line[64];
    snprintf(line, sizeof line, "%s %ld\n", fn, n);
    say(log_fd, line);
}

/* Whether this own call of fn is the one to fail (errno set, result 1) or
 * to kill the process at. */
static int fault(const char *fn, void *caller)
{
    static long calls[32];
    static const char *const names[] = {"open",   "fopen",  "fdopen", "fwrite", "fprintf",
                                        "fflush", "fsync",  "close",  "fclose", "ftruncate",
                                        "flock",  "dup",    "rename", "remove", NULL};
    if (!own_call(caller))
        return 0;
    int index = 0;
    while (names[index] != NULL && strcmp(names[index], fn) != 0)
        index++;
    long n = ++calls[index];
    char name[32];
    long at;
    int code;
    const char *fail = getenv("WAVELOT_FAIL");
    if (fail != NULL && sscanf(fail, "%31[^:]:%ld:%d", name, &at, &code) == 3 &&
        strcmp(name, fn) == 0 && at == n) {
        log_action(fn, n);
        errno = code;
        return 1;
    }
    const char *kill_at = getenv("WAVELOT_KILL");
    if (kill_at != NULL && sscanf(kill_at, "%31[^:]:%ld", name, &at) == 2 &&
        strcmp(name, fn) == 0 && at == n) {
        log_action(fn, n);
        raise(SIGKILL);
    }
    return 0;
}

#define REAL(fn) ((__typeof__(&fn))dlsym(RTLD_NEXT, #fn))

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (fault("open", __builtin_return_address(0)))
        return -1;
    return REAL(open)(path, flags, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    if (fault("fopen", __builtin_return_address(0)))
        return NULL;
    return REAL(fopen)(path, mode);
}

FILE *fdopen(int fd, const char *mode)
{
    if (fault("fdopen", __builtin_return_address(0)))
        return NULL;
    return REAL(fdopen)(fd, mode);
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    if (fault("fwrite", __builtin_return_address(0)))
        return 0;
    return REAL(fwrite)(data, size, count, stream);
}

int fprintf(FILE *stream, const char *format, ...)
{
    if (fault("fprintf", __builtin_return_address(0)))
        return -1;
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

int fflush(FILE *stream)
{
    if (fault("fflush", __builtin_return_address(0)))
        return EOF;
    return REAL(fflush)(stream);
}

int fsync(int fd)
{
    if (fault("fsync", __builtin_return_address(0)))
        return -1;
    return REAL(fsync)(fd);
}

int close(int fd)
{
    if (fault("close", __builtin_return_address(0))) {
        REAL(close)(fd); /* as on Linux: the descriptor is gone all the same */
        return -1;
    }
    return REAL(close)(fd);
}

int fclose(FILE *stream)
{
    if (fault("fclose", __builtin_return_address(0))) {
        int saved = errno;
        REAL(fclose)(stream); /* the stream is gone all the same */
        errno = saved;
        return EOF;
    }
    return REAL(fclose)(stream);
}

int ftruncate(int fd, off_t length)
{
    if (fault("ftruncate", __builtin_return_address(0)))
        return -1;
    return REAL(ftruncate)(fd, length);
}

int flock(int fd, int operation)
{
    if (fault("flock", __builtin_return_address(0)))
        return -1;
    return REAL(flock)(fd, operation);
}

int dup(int fd)
{
    if (fault("dup", __builtin_return_address(0)))
        return -1;
    return REAL(dup)(fd);
}

int remove(const char *path)
{
    if (fault("remove", __builtin_return_address(0)))
        return -1;
    return REAL(remove)(path);
}

static void probe(const char *outside)
{
    char line[256];
    int fd = (int)syscall(SYS_open, outside, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int created = fd >= 0 ? 0 : errno;
    if (fd >= 0)
        syscall(SYS_close, fd);
    int ran;
    pid_t child = fork();
    if (child == 0) {
        char *const argv[] = {(char *)"true", NULL};
        execv("/bin/true", argv);
        _exit(100 + errno);
    }
    int status = 0;
    if (child < 0)
        ran = errno;
    else if (waitpid(child, &status, 0) < 0)
        ran = errno;
    else
        ran = WIFEXITED(status) && WEXITSTATUS(status) >= 100 ? WEXITSTATUS(status) - 100 : 0;
    snprintf(line, sizeof line, "probe: create %s, run %s\n",
             created ? strerrorname_np(created) : "ok", ran ? strerrorname_np(ran) : "ok");
    say(2, line);
}

int rename(const char *from, const char *to)
{
    const char *outside = getenv("WAVELOT_PROBE");
    if (outside != NULL && own_call(__builtin_return_address(0)))
        probe(outside);
    if (fault("rename", __builtin_return_address(0)))
        return -1;
    return REAL(rename)(from, to);
}
