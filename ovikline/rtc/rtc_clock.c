// rtc-clock: a simulated device's battery-backed hardware clock, served through FUSE as a
// file system of one regular file mounted over the device's /dev/rtc0, so that every device
// has a clock of its own on a kernel without an RTC driver (or with one clock for all).
//
// The file answers the clock requests of the RTC driver. For a regular FUSE file the kernel
// restricts ioctls to the size that the request's number encodes and copies that many bytes in
// or out, which is exactly struct rtc_time for these two:
//   RTC_RD_TIME   the broken-down time, advanced with real time since it was last set
//   RTC_SET_TIME  set the broken-down time; fields out of range are refused with EINVAL
// Others answer ENOTTY. Like the driver it admits one opener at a time (others get EBUSY).
//
// The clock holds broken-down time as it was written, in whatever zone its writer uses, as a
// real RTC does. It counts it as seconds of a calendar without zones and keeps their offset
// from this machine's system clock; --state FILE keeps that offset across restarts of the
// program (the device's battery): read at start, rewritten on every set. Without a state the
// clock starts at the system clock's UTC time.
//
// It refuses to run in the mount namespace named by SIMNET_HOST_MNTNS (the harness's), so it
// never mounts over this machine's /dev. It says "ready" on standard output once the clock is
// mounted, then writes its log (one line per set) to standard error. SIGTERM, SIGINT or SIGHUP
// unmount it.
//
//   rtc-clock [--state FILE] MOUNTPOINT

#define _GNU_SOURCE
#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <getopt.h>
#include <inttypes.h>
#include <linux/rtc.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define NS_PER_S INT64_C(1000000000)

struct rtc_clock {
    int64_t offset_ns;  // clock seconds minus system clock seconds, in nanoseconds
    const char* state_path;
    bool open;
};

static int64_t system_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * NS_PER_S + now.tv_nsec;
}

static bool leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int month_days(int month, int year) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[month] + (month == 1 && leap_year(year));
}

// The RTC core's own check of a time to be set.
static bool valid_time(const struct rtc_time* rt) {
    if (rt->tm_year < 70 || rt->tm_year > 8000 || rt->tm_mon < 0 || rt->tm_mon > 11) return false;
    if (rt->tm_mday < 1 || rt->tm_mday > month_days(rt->tm_mon, rt->tm_year + 1900)) return false;
    return rt->tm_hour >= 0 && rt->tm_hour < 24 && rt->tm_min >= 0 && rt->tm_min < 60 &&
           rt->tm_sec >= 0 && rt->tm_sec < 60;
}

static void read_state(struct rtc_clock* clock) {
    FILE* f = fopen(clock->state_path, "r");
    if (f == NULL) return;  // a clock that has never been set
    if (fscanf(f, "%" SCNd64, &clock->offset_ns) != 1) {
        fprintf(stderr, "rtc-clock: %s holds no offset; starting at the system clock\n",
                clock->state_path);
        clock->offset_ns = 0;
    }
    fclose(f);
}

static void write_state(const struct rtc_clock* clock) {
    char temporary[4096];
    if (snprintf(temporary, sizeof temporary, "%s.new", clock->state_path) >=
        (int)sizeof temporary) {
        fprintf(stderr, "rtc-clock: state path too long\n");
        return;
    }
    FILE* f = fopen(temporary, "w");
    if (f == NULL) {
        fprintf(stderr, "rtc-clock: cannot write %s: %s\n", temporary, strerror(errno));
        return;
    }
    fprintf(f, "%" PRId64 "\n", clock->offset_ns);
    if (fclose(f) != 0 || rename(temporary, clock->state_path) != 0) {
        fprintf(stderr, "rtc-clock: cannot keep the offset in %s: %s\n", clock->state_path,
                strerror(errno));
    }
}

static struct rtc_time clock_now(const struct rtc_clock* clock) {
    const time_t seconds = (time_t)((system_ns() + clock->offset_ns) / NS_PER_S);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    struct rtc_time rt = {
        .tm_sec = tm.tm_sec,
        .tm_min = tm.tm_min,
        .tm_hour = tm.tm_hour,
        .tm_mday = tm.tm_mday,
        .tm_mon = tm.tm_mon,
        .tm_year = tm.tm_year,
        .tm_wday = tm.tm_wday,
        .tm_yday = tm.tm_yday,
        .tm_isdst = 0,
    };
    return rt;
}

static void set_clock(struct rtc_clock* clock, const struct rtc_time* rt) {
    struct tm tm = {
        .tm_sec = rt->tm_sec,
        .tm_min = rt->tm_min,
        .tm_hour = rt->tm_hour,
        .tm_mday = rt->tm_mday,
        .tm_mon = rt->tm_mon,
        .tm_year = rt->tm_year,
    };
    const int64_t wanted = (int64_t)timegm(&tm);
    clock->offset_ns = wanted * NS_PER_S - system_ns();
    fprintf(stderr, "rtc-clock: set to %04d-%02d-%02d %02d:%02d:%02d\n", rt->tm_year + 1900,
            rt->tm_mon + 1, rt->tm_mday, rt->tm_hour, rt->tm_min, rt->tm_sec);
    if (clock->state_path != NULL) write_state(clock);
}

static void clock_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    (void)fi;
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = {.st_ino = FUSE_ROOT_ID, .st_mode = S_IFREG | 0600, .st_nlink = 1};
    st.st_mtime = st.st_ctime = st.st_atime = time(NULL);
    fuse_reply_attr(req, &st, 1.0);
}

static void clock_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    struct rtc_clock* clock = fuse_req_userdata(req);
    (void)ino;
    if (clock->open) {
        fuse_reply_err(req, EBUSY);
        return;
    }
    clock->open = true;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    if (fuse_reply_open(req, fi) != 0) clock->open = false;
}

static void clock_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    struct rtc_clock* clock = fuse_req_userdata(req);
    (void)ino;
    (void)fi;
    clock->open = false;
    fuse_reply_err(req, 0);
}

static void clock_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg,
                        struct fuse_file_info* fi, unsigned flags, const void* in_buf,
                        size_t in_bufsz, size_t out_bufsz) {
    struct rtc_clock* clock = fuse_req_userdata(req);
    (void)ino;
    (void)arg;
    (void)fi;
    if (flags & FUSE_IOCTL_COMPAT) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (cmd == RTC_RD_TIME && out_bufsz == sizeof(struct rtc_time)) {
        const struct rtc_time rt = clock_now(clock);
        fuse_reply_ioctl(req, 0, &rt, sizeof rt);
    } else if (cmd == RTC_SET_TIME && in_bufsz == sizeof(struct rtc_time)) {
        struct rtc_time rt;
        memcpy(&rt, in_buf, sizeof rt);
        if (!valid_time(&rt)) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        set_clock(clock, &rt);
        fuse_reply_ioctl(req, 0, NULL, 0);
    } else {
        fuse_reply_err(req, ENOTTY);
    }
}

static const struct fuse_lowlevel_ops clock_ops = {
    .getattr = clock_getattr,
    .open = clock_open,
    .release = clock_release,
    .ioctl = clock_ioctl,
};

// Only inside a simulated device: never over this machine's own /dev.
static bool in_device(void) {
    const char* harness = getenv("SIMNET_HOST_MNTNS");
    char mine[64];
    const ssize_t n = readlink("/proc/self/ns/mnt", mine, sizeof mine - 1);
    if (harness == NULL || n <= 0) return false;
    mine[n] = '\0';
    return strcmp(mine, harness) != 0;
}

static void announce_ready(void) {
    printf("ready\n");
    fflush(stdout);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
}

int main(int argc, char** argv) {
    static const struct option options[] = {{"state", required_argument, NULL, 's'},
                                            {NULL, 0, NULL, 0}};
    struct rtc_clock clock = {0};
    for (int c; (c = getopt_long(argc, argv, "", options, NULL)) != -1;) {
        if (c != 's') return 2;
        clock.state_path = optarg;
    }
    if (optind != argc - 1) {
        fprintf(stderr, "usage: rtc-clock [--state FILE] MOUNTPOINT\n");
        return 2;
    }
    const char* mountpoint = argv[optind];
    if (!in_device()) {
        fprintf(stderr, "rtc-clock: runs inside a simulated device's mount namespace only\n");
        return 2;
    }
    if (clock.state_path != NULL) read_state(&clock);
    const int made = open(mountpoint, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (made < 0) {
        fprintf(stderr, "rtc-clock: cannot create %s: %s\n", mountpoint, strerror(errno));
        return 1;
    }
    close(made);

    char* fuse_argv[] = {argv[0], "-o", "fsname=rtc-clock", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse_session* se = fuse_session_new(&args, &clock_ops, sizeof clock_ops, &clock);
    if (se == NULL) return 1;
    int status = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, mountpoint) == 0) {
            announce_ready();
            status = fuse_session_loop(se) < 0 ? 1 : 0;  // a signal ends it normally
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return status;
}
