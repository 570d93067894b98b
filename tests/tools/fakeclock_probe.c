/* Test program for the fake-clock preload library: reads the clocks and calls the clock setters,
 * printing what it saw. It calls a setter only when that setter is the preload library's own and
 * the process has no right to set the clock, so it can never move the machine's clock. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <time.h>

#define CAP_SYS_TIME_BIT 25
#define REFUSED_STATUS 3

typedef int (*settime_fn)(clockid_t, const struct timespec*);
typedef int (*settimeofday_fn)(const struct timeval*, const void*);
typedef int (*adjtimex_fn)(struct timex*);

static long long ns_of(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void print_clocks(void) {
    struct timeval tv;
    gettimeofday(&tv, NULL);
    struct timespec spec;
    timespec_get(&spec, TIME_UTC);
    printf(
        "read realtime=%lld coarse=%lld monotonic=%lld tod_us=%lld time=%lld "
        "timespec_get=%lld\n",
        ns_of(CLOCK_REALTIME), ns_of(CLOCK_REALTIME_COARSE), ns_of(CLOCK_MONOTONIC),
        (long long)tv.tv_sec * 1000000LL + tv.tv_usec, (long long)time(NULL),
        (long long)spec.tv_sec * 1000000000LL + spec.tv_nsec);
}

/* A capability line of /proc/self/status ("CapEff:\t...") as a number; all bits set if absent. */
static uint64_t capability_set(const char* name) {
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    uint64_t bits = UINT64_MAX;
    size_t length = strlen(name);
    while (status && fgets(line, sizeof line, status)) {
        if (strncmp(line, name, length) == 0 && line[length] == ':') {
            bits = strtoull(line + length + 1, NULL, 16);
        }
    }
    if (status) fclose(status);
    return bits;
}

static int clock_right_dropped(void) {
    const uint64_t bit = 1ULL << CAP_SYS_TIME_BIT;
    return !(capability_set("CapEff") & bit) && !(capability_set("CapBnd") & bit);
}

/* The process's definition of `name` if it is the preload library's, else NULL. */
static void* preloaded(const char* name) {
    void* symbol = dlsym(RTLD_DEFAULT, name);
    Dl_info info;
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return NULL;
    return strstr(info.dli_fname, "libzrqfakeclock.so") ? symbol : NULL;
}

/* Exits unless calling the setter `name` is harmless. */
static void* guarded_setter(const char* name) {
    void* setter = preloaded(name);
    if (!setter || !clock_right_dropped()) {
        printf("refused setter=%s preloaded=%s right_dropped=%s\n", name, setter ? "yes" : "no",
               clock_right_dropped() ? "yes" : "no");
        exit(REFUSED_STATUS);
    }
    return setter;
}

static void print_result(const char* what, int rc) {
    printf("%s rc=%d errno=%d\n", what, rc, rc == 0 ? 0 : errno);
}

static int set_clock(clockid_t clock, long long sec, long nsec) {
    settime_fn setter = (settime_fn)guarded_setter("clock_settime");
    struct timespec ts = {(time_t)sec, nsec};
    return setter(clock, &ts);
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    const char* command = argc > 1 ? argv[1] : "read";
    if (strcmp(command, "set") == 0 && argc > 2) {
        const long long ns = atoll(argv[2]);
        print_result("set", set_clock(CLOCK_REALTIME, ns / 1000000000LL, ns % 1000000000LL));
    } else if (strcmp(command, "set-monotonic") == 0) {
        print_result("set", set_clock(CLOCK_MONOTONIC, 1000, 0));
    } else if (strcmp(command, "set-bad-nsec") == 0) {
        print_result("set", set_clock(CLOCK_REALTIME, 1714521600, 1000000000L));
    } else if (strcmp(command, "settod") == 0 && argc > 2) {
        settimeofday_fn setter = (settimeofday_fn)guarded_setter("settimeofday");
        struct timeval tv = {(time_t)atoll(argv[2]), 0};
        print_result("settod", setter(&tv, NULL));
    } else if (strcmp(command, "adjust") == 0) {
        adjtimex_fn adjust = (adjtimex_fn)guarded_setter("adjtimex");
        struct timex tx;
        memset(&tx, 0, sizeof tx);
        tx.modes = ADJ_OFFSET;
        tx.offset = 1000;
        print_result("adjust", adjust(&tx));
    } else if (strcmp(command, "kernel-state") == 0) {
        /* A pure read (modes 0) through the library's definition. */
        adjtimex_fn read_state = (adjtimex_fn)preloaded("adjtimex");
        struct timex tx;
        memset(&tx, 0, sizeof tx);
        const int state = read_state ? read_state(&tx) : -1;
        printf("kernel-state state=%d unsync=%d\n", state, (tx.status & STA_UNSYNC) ? 1 : 0);
    } else if (strcmp(command, "watch") == 0) {
        /* Reads, waits for a line on standard input, reads again. */
        print_clocks();
        char line[16];
        if (!fgets(line, sizeof line, stdin)) return 1;
    } else if (strcmp(command, "read") != 0) {
        fprintf(stderr,
                "usage: fakeclock_probe read|set NS|set-monotonic|set-bad-nsec|"
                "settod S|adjust|kernel-state|watch\n");
        return 2;
    }
    print_clocks();
    return 0;
}
