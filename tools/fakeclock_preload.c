/* LD_PRELOAD library: a fake wall clock for end-to-end tests. The program under test reads and
 * "sets" CLOCK_REALTIME as usual; the fake clock lives as an offset from the real clock in the
 * file named by ZRQ_FAKE_CLOCK_FILE, so several processes can share it, and the machine's clock
 * is never reached: this library obtains no real clock setter at all. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include "tests/support/fake_clock_file.h"

#define NS_PER_SECOND 1000000000LL
/* How often, at most, a reader looks whether another process changed the file. */
#define RECHECK_INTERVAL_NS (100LL * 1000 * 1000)
/* Optional: when set to an errno value, every set fails with it (to test a refused set). */
#define SETTIME_ERRNO_ENV "ZRQ_FAKE_CLOCK_SETTIME_ERRNO"
/* Optional: while a file exists at this path, every set fails with EPERM, as for a process
 * without the right to set the clock; removing the file lets sets through again. */
#define REFUSE_FILE_ENV "ZRQ_FAKE_CLOCK_REFUSE_FILE"
/* Latest time a set may name, far below where nanoseconds overflow 64 bits. */
#define LATEST_SETTABLE_SECOND 100000000000LL

/* The setters, defined under their libc names. Declared with assembler names so that these
 * definitions interpose on the libc symbols. */
int zrq_fake_settime(clockid_t clock, const struct timespec* time) __asm__("clock_settime");
int zrq_fake_settimeofday(const struct timeval* tv, const void* tz) __asm__("settimeofday");
int zrq_fake_adjtimex(struct timex* tx) __asm__("adjtimex");
int zrq_fake_ntp_adjtime(struct timex* tx) __asm__("ntp_adjtime");
int zrq_fake_clock_adjtime(clockid_t clock, struct timex* tx) __asm__("clock_adjtime");

/* Fake minus real CLOCK_REALTIME, in nanoseconds. */
static _Atomic int64_t offset_ns;
/* Real CLOCK_REALTIME (ns) before which the file is not looked at again; 0 = look now. */
static _Atomic int64_t next_check_ns;
/* Held by the one thread that is re-reading the file; others use the cached offset meanwhile. */
static atomic_flag reloading = ATOMIC_FLAG_INIT;

/* Identity of the file content last read: a rename gives a new inode, a rewrite a new mtime. */
static struct {
    int valid;
    dev_t dev;
    ino_t ino;
    struct timespec mtime;
    off_t size;
} seen;

/* Marker that tests look up to make sure the library is really loaded. */
int zrq_fake_clock_active(void) { return 1; }

/* The kernel's clocks, bypassing libc (and so bypassing this library's own definitions). */
static int real_gettime(clockid_t clock, struct timespec* ts) {
    return (int)syscall(SYS_clock_gettime, clock, ts);
}

static int64_t real_ns(clockid_t clock) {
    struct timespec ts = {0, 0};
    real_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * NS_PER_SECOND + ts.tv_nsec;
}

static const char* clock_file_path(void) {
    const char* path = getenv(ZRQ_FAKE_CLOCK_FILE_ENV);
    return (path && *path) ? path : NULL;
}

static int same_file(const struct stat* st) {
    return seen.valid && seen.dev == st->st_dev && seen.ino == st->st_ino &&
           seen.size == st->st_size && seen.mtime.tv_sec == st->st_mtim.tv_sec &&
           seen.mtime.tv_nsec == st->st_mtim.tv_nsec;
}

static void remember_file(const struct stat* st) {
    seen.valid = 1;
    seen.dev = st->st_dev;
    seen.ino = st->st_ino;
    seen.size = st->st_size;
    seen.mtime = st->st_mtim;
}

/* Reads the offset from the file; leaves the cached offset as it was when the file is unreadable
 * or malformed (a writer replaces it by rename, so a reader never sees half a line). */
static void read_offset_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char text[ZRQ_FAKE_CLOCK_FILE_MAX];
    ssize_t got = read(fd, text, sizeof text);
    close(fd);
    int64_t value = 0;
    if (got > 0 && zrq_parse_offset_ns(text, (size_t)got, &value) == 0) {
        atomic_store(&offset_ns, value);
    }
}

/* Brings the cached offset up to date, looking at the file at most every RECHECK_INTERVAL_NS of
 * the real clock `real_now` (the reading just taken, so a read costs no second clock call). A
 * real clock that went back by more than that looks again at once. */
static void refresh_offset(int64_t real_now) {
    const int64_t next = atomic_load(&next_check_ns);
    if (real_now < next && real_now > next - 2 * RECHECK_INTERVAL_NS) return;
    if (atomic_flag_test_and_set(&reloading)) return;
    atomic_store(&next_check_ns, real_now + RECHECK_INTERVAL_NS);
    const char* path = clock_file_path();
    struct stat st;
    if (!path || stat(path, &st) != 0) {
        /* No file yet: the fake clock is the real one until someone sets it. */
        atomic_store(&offset_ns, 0);
        seen.valid = 0;
    } else if (!same_file(&st)) {
        read_offset_file(path);
        remember_file(&st);
    }
    atomic_flag_clear(&reloading);
}

static int is_wall_clock(clockid_t clock) {
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE ||
           clock == CLOCK_REALTIME_ALARM || clock == CLOCK_TAI;
}

static void add_ns(struct timespec* ts, int64_t ns) {
    int64_t total = (int64_t)ts->tv_nsec + ns % NS_PER_SECOND;
    int64_t seconds = ns / NS_PER_SECOND;
    if (total < 0) {
        total += NS_PER_SECOND;
        seconds -= 1;
    } else if (total >= NS_PER_SECOND) {
        total -= NS_PER_SECOND;
        seconds += 1;
    }
    ts->tv_sec += (time_t)seconds;
    ts->tv_nsec = (long)total;
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
    if (real_gettime(clock, ts) != 0) return -1;
    if (is_wall_clock(clock)) {
        refresh_offset(clock == CLOCK_REALTIME ? (int64_t)ts->tv_sec * NS_PER_SECOND + ts->tv_nsec
                                               : real_ns(CLOCK_REALTIME));
        add_ns(ts, atomic_load(&offset_ns));
    }
    return 0;
}

int gettimeofday(struct timeval* restrict tv, void* restrict tz) {
    /* libc declares tv non-null, so it is not tested here. */
    if (tz) memset(tz, 0, sizeof(struct timezone));
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

time_t time(time_t* result) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (result) *result = ts.tv_sec;
    return ts.tv_sec;
}

int timespec_get(struct timespec* ts, int base) {
    if (base != TIME_UTC || clock_gettime(CLOCK_REALTIME, ts) != 0) return 0;
    return base;
}

/* Replaces the offset file by write-to-temporary and rename, so that readers in other processes
 * see either the old or the new line, never a partial one. Returns 0 or an errno value. */
static int write_offset_file(const char* path, int64_t offset) {
    char temp[4096];
    if (snprintf(temp, sizeof temp, "%s.XXXXXX", path) >= (int)sizeof temp) return ENAMETOOLONG;
    int fd = mkstemp(temp);
    if (fd < 0) return errno;
    char line[ZRQ_FAKE_CLOCK_FILE_MAX];
    int length = snprintf(line, sizeof line, "%lld\n", (long long)offset);
    int error = 0;
    if (write(fd, line, (size_t)length) != length) error = errno ? errno : EIO;
    fchmod(fd, 0644);
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(temp, path) != 0) error = errno;
    if (error) unlink(temp);
    return error;
}

static int set_errno_from_env(void) {
    const char* text = getenv(SETTIME_ERRNO_ENV);
    if (text && atoi(text) > 0) return atoi(text);
    const char* refuse_file = getenv(REFUSE_FILE_ENV);
    struct stat st;
    return (refuse_file && *refuse_file && stat(refuse_file, &st) == 0) ? EPERM : 0;
}

int zrq_fake_settime(clockid_t clock, const struct timespec* time) {
    if (clock != CLOCK_REALTIME || !time || time->tv_nsec < 0 || time->tv_nsec >= NS_PER_SECOND ||
        time->tv_sec < 0 || time->tv_sec > LATEST_SETTABLE_SECOND) {
        errno = EINVAL;
        return -1;
    }
    const int refused = set_errno_from_env();
    const char* path = clock_file_path();
    if (refused > 0 || !path) {
        errno = refused > 0 ? refused : EPERM;
        return -1;
    }
    const int64_t wanted = (int64_t)time->tv_sec * NS_PER_SECOND + time->tv_nsec;
    const int64_t offset = wanted - real_ns(CLOCK_REALTIME);
    const int error = write_offset_file(path, offset);
    if (error) {
        errno = error;
        return -1;
    }
    /* Take the new offset at once and look at the file again at the next read. */
    while (atomic_flag_test_and_set(&reloading)) {
    }
    atomic_store(&offset_ns, offset);
    seen.valid = 0;
    atomic_store(&next_check_ns, 0);
    atomic_flag_clear(&reloading);
    return 0;
}

int zrq_fake_settimeofday(const struct timeval* tv, const void* tz) {
    (void)tz; /* the kernel's time zone is not kept */
    if (!tv) return 0;
    if (tv->tv_usec < 0 || tv->tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    struct timespec ts = {tv->tv_sec, tv->tv_usec * 1000};
    return zrq_fake_settime(CLOCK_REALTIME, &ts);
}

/* Slewing or stepping through the kernel's adjustment interface is refused; pure reads pass,
 * except that the wall clock reads as unsynchronised: the fake clock is disciplined by no time
 * service, whatever the kernel says of its own clock. */
int zrq_fake_clock_adjtime(clockid_t clock, struct timex* tx) {
    if (!tx || tx->modes != 0) {
        errno = EPERM;
        return -1;
    }
    const int state = (int)syscall(SYS_clock_adjtime, clock, tx);
    if (state < 0 || !is_wall_clock(clock)) return state;
    tx->status |= STA_UNSYNC;
    return TIME_ERROR;
}

int zrq_fake_adjtimex(struct timex* tx) { return zrq_fake_clock_adjtime(CLOCK_REALTIME, tx); }

int zrq_fake_ntp_adjtime(struct timex* tx) { return zrq_fake_clock_adjtime(CLOCK_REALTIME, tx); }
