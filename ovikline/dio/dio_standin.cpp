// dio-standin: the device's digital I/O driver, served from user space through CUSE, so the
// agent's DIO test can run against a real character device in the test machine.
//
// Four outputs and four inputs; output n is wired to input n, as on the burn-in fixture. An
// input can be held high or low whatever its output says (a stuck line). Requests:
//   15  set output:  record {channel, value} read from the caller, value 0 or 1
//   17  read input:  record {channel, value} read from the caller, value filled in
// A request answers 0, or with --answer-level the line's level (the output just set, the
// input read), as some boards' drivers do.
// Both are plain numbers, not encoded with _IOW/_IOR, so the kernel cannot know the record's
// size: the device is registered for unrestricted ioctls and asks for the 8 bytes itself.
//
// The device vanishes when the program ends: on SIGTERM, SIGINT, SIGHUP or SIGUSR1, or after
// --vanish-after requests have been answered.

#define FUSE_USE_VERSION 31

#include <fuse3/cuse_lowlevel.h>
#include <getopt.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int DIO_SET_DOUT = 15;
constexpr int DIO_GET_DIN = 17;
constexpr std::uint32_t DIO_CHANNELS = 4;

struct DioRecord {
    std::uint32_t channel;
    std::uint32_t value;
};
static_assert(sizeof(DioRecord) == 8);

enum class Hold { None, Low, High };

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct SessionCloser {
    void operator()(fuse_session* se) const { cuse_lowlevel_teardown(se); }
};
using UniqueSession = std::unique_ptr<fuse_session, SessionCloser>;

// The wiring of the fixture and what the device has been asked.
struct DioLines {
    std::array<Hold, DIO_CHANNELS> hold{};
    std::array<std::uint32_t, DIO_CHANNELS> output{};
    UniqueFile log;
    long vanish_after = -1;
    long answered = 0;
    bool answer_level = false;
    std::string device_name = "dio";

    std::uint32_t input(std::uint32_t channel) const {
        switch (hold[channel]) {
            case Hold::Low:
                return 0;
            case Hold::High:
                return 1;
            case Hold::None:
                break;
        }
        return output[channel];
    }

    // The result of a request that succeeded, besides its record.
    int answer(std::uint32_t level) const { return answer_level ? static_cast<int>(level) : 0; }

    void note(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!log) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(log.get(), format, args);
        va_end(args);
        std::fputc('\n', log.get());
        std::fflush(log.get());
    }
};

// Read by the signal handler; set once the session exists.
std::atomic<fuse_session*> g_session = nullptr;

DioLines& lines_of(fuse_req_t req) {
    return *static_cast<DioLines*>(fuse_req_userdata(req));
}

void on_init_done(void* userdata) {
    const auto& lines = *static_cast<DioLines*>(userdata);
    std::printf("dio-standin: /dev/%s ready\n", lines.device_name.c_str());
    std::fflush(stdout);
}

void on_open(fuse_req_t req, fuse_file_info* fi) {
    lines_of(req).note("open");
    fuse_reply_open(req, fi);
}

void on_release(fuse_req_t req, fuse_file_info* /*fi*/) {
    lines_of(req).note("close");
    fuse_reply_err(req, 0);
}

void answered_one(DioLines& lines) {
    ++lines.answered;
    if (lines.vanish_after >= 0 && lines.answered >= lines.vanish_after) {
        lines.note("vanish");
        fuse_session_exit(g_session);
    }
}

void on_ioctl(fuse_req_t req, int cmd, void* arg, fuse_file_info* /*fi*/, unsigned int flags,
              const void* in_buf, size_t in_bufsz, size_t out_bufsz) {
    DioLines& lines = lines_of(req);
    if (cmd != DIO_SET_DOUT && cmd != DIO_GET_DIN) {
        lines.note("ioctl %d refused: unknown request", cmd);
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if ((flags & FUSE_IOCTL_COMPAT) != 0) {
        lines.note("ioctl %d refused: 32-bit caller", cmd);
        fuse_reply_err(req, ENOTTY);
        return;
    }
    const bool reads = cmd == DIO_GET_DIN;
    if (in_bufsz < sizeof(DioRecord) || (reads && out_bufsz < sizeof(DioRecord))) {
        // First round: ask the kernel to fetch the caller's record (and, for a read, to
        // take one back).
        const iovec record{arg, sizeof(DioRecord)};
        fuse_reply_ioctl_retry(req, &record, 1, reads ? &record : nullptr, reads ? 1 : 0);
        return;
    }
    DioRecord record{};
    std::memcpy(&record, in_buf, sizeof record);
    if (record.channel >= DIO_CHANNELS) {
        lines.note("ioctl %d refused: channel %u", cmd, record.channel);
        fuse_reply_err(req, EINVAL);
        return;
    }
    if (!reads) {
        if (record.value > 1) {
            lines.note("ioctl %d refused: value %u", cmd, record.value);
            fuse_reply_err(req, EINVAL);
            return;
        }
        lines.output[record.channel] = record.value;
        lines.note("set %u %u", record.channel, record.value);
        fuse_reply_ioctl(req, lines.answer(record.value), nullptr, 0);
    } else {
        record.value = lines.input(record.channel);
        lines.note("get %u %u", record.channel, record.value);
        fuse_reply_ioctl(req, lines.answer(record.value), &record, sizeof record);
    }
    answered_one(lines);
}

extern "C" void on_vanish_signal(int /*signum*/) {
    fuse_session* se = g_session.load();
    if (se != nullptr) fuse_session_exit(se);
}

void usage(std::FILE* to) {
    std::fputs(
        "usage: dio-standin [--name NAME] [--high N]... [--low N]... [--log FILE]\n"
        "                   [--vanish-after COUNT] [--answer-level]\n"
        "Serves /dev/NAME (default /dev/dio) until SIGTERM, SIGINT, SIGHUP or SIGUSR1.\n"
        "  --high N, --low N    hold input N (0-3) high or low whatever output N says\n"
        "  --log FILE           append one line per request: open, set N V, get N V, close\n"
        "  --vanish-after COUNT remove the device after answering COUNT set/read requests\n"
        "  --answer-level       answer a request with the line's level instead of 0\n",
        to);
}

bool parse_channel(const char* text, std::uint32_t& channel) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value >= DIO_CHANNELS) return false;
    channel = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    DioLines lines;
    const std::array<option, 8> options{{
        {"name", required_argument, nullptr, 'n'},
        {"high", required_argument, nullptr, 'H'},
        {"low", required_argument, nullptr, 'L'},
        {"log", required_argument, nullptr, 'l'},
        {"vanish-after", required_argument, nullptr, 'v'},
        {"answer-level", no_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    }};
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "n:H:L:l:v:ah", options.data(), nullptr)) != -1) {
        std::uint32_t channel = 0;
        switch (opt) {
            case 'n':
                lines.device_name = optarg;
                break;
            case 'H':
            case 'L':
                if (!parse_channel(optarg, channel)) {
                    std::fprintf(stderr, "dio-standin: no input line %s (0-3)\n", optarg);
                    return 2;
                }
                lines.hold[channel] = opt == 'H' ? Hold::High : Hold::Low;
                break;
            case 'l':
                lines.log.reset(std::fopen(optarg, "a"));
                if (!lines.log) {
                    std::fprintf(stderr, "dio-standin: %s: %s\n", optarg, std::strerror(errno));
                    return 2;
                }
                break;
            case 'v': {
                char* end = nullptr;
                lines.vanish_after = std::strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || lines.vanish_after < 1) {
                    std::fprintf(stderr, "dio-standin: --vanish-after wants a count: %s\n", optarg);
                    return 2;
                }
                break;
            }
            case 'a':
                lines.answer_level = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }

    const std::string devname = "DEVNAME=" + lines.device_name;
    const char* dev_info[] = {devname.c_str()};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = dev_info;
    info.flags = CUSE_UNRESTRICTED_IOCTL;

    cuse_lowlevel_ops ops{};
    ops.init_done = on_init_done;
    ops.open = on_open;
    ops.release = on_release;
    ops.ioctl = on_ioctl;

    // Foreground and single-threaded: the line state needs no lock.
    std::array<std::string, 3> fuse_args{argv[0], "-f", "-s"};
    std::array<char*, 3> fuse_argv{fuse_args[0].data(), fuse_args[1].data(), fuse_args[2].data()};
    int multithreaded = 0;
    UniqueSession session(cuse_lowlevel_setup(static_cast<int>(fuse_argv.size()), fuse_argv.data(),
                                              &info, &ops, &multithreaded, &lines));
    if (!session) {
        std::fprintf(stderr, "dio-standin: cannot register /dev/%s through /dev/cuse\n",
                     lines.device_name.c_str());
        return 1;
    }
    g_session = session.get();
    // SIGTERM, SIGINT and SIGHUP already end the loop (libfuse's handlers); SIGUSR1 does too.
    struct sigaction vanish {};
    vanish.sa_handler = on_vanish_signal;
    sigemptyset(&vanish.sa_mask);
    sigaction(SIGUSR1, &vanish, nullptr);

    fuse_session_loop(session.get());
    g_session = nullptr;
    session.reset();
    lines.note("gone");
    return 0;
}
