// With PRAVEL_USB_VIRTUAL_TIME set, the program's own sleeps pass on the
// emulated bus's clock instead of in real time, and its clocks read that
// clock (from the real time the process started at): a wait is charged
// where the bridge's costs are, and a run that mostly waits finishes at
// once and the same way every time. Each clock read costs a little time,
// so that a loop waiting by reading the clock (flashrom's short delays)
// comes to its end.

#include "emulator/VirtualClock.h"
#include "emulator/usb/EmulatedUsbBus.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

using ClockGettime = int (*)(clockid_t, struct timespec*);
using Nanosleep = int (*)(const struct timespec*, struct timespec*);
using ClockNanosleep = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using Usleep = int (*)(useconds_t);
using Sleep = unsigned (*)(unsigned);
using Select = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
using Poll = int (*)(struct pollfd*, nfds_t, int);

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::atomic<int>& virtualTimeSetting()
{
    static std::atomic<int> on{[] {
        const char* value = std::getenv(emu::EmulatedUsbBus::kVirtualTime);
        return value && *value && std::strcmp(value, "0") != 0 ? 1 : 0;
    }()};
    return on;
}

bool virtualTime()
{
    return virtualTimeSetting().load(std::memory_order_relaxed) != 0;
}

constexpr uint64_t kClockReadNs = 100;

uint64_t emulatedNs()
{
    return emu::EmulatedUsbBus::clock().nowNanoseconds();
}

void pass(uint64_t nanoseconds)
{
    emu::EmulatedUsbBus::clock().advanceNanoseconds(nanoseconds);
}

uint64_t toNs(const struct timespec& t)
{
    return t.tv_sec < 0 ? 0 : uint64_t(t.tv_sec) * 1000000000ull + uint64_t(t.tv_nsec);
}

struct timespec fromNs(uint64_t ns)
{
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    t.tv_nsec = static_cast<long>(ns % 1000000000ull);
    return t;
}

bool emulatedClock(clockid_t id)
{
    switch (id) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
        return true;
    default:
        return false; // CPU-time clocks stay real
    }
}

int realClockGettime(clockid_t id, struct timespec* t)
{
    static const ClockGettime real = next<ClockGettime>("clock_gettime");
    return real(id, t);
}

// Where each emulated clock stood in real time when the process first asked.
uint64_t originNs(clockid_t id)
{
    const bool wall = id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
    static const uint64_t origins[2] = {[] {
                                            struct timespec t;
                                            realClockGettime(CLOCK_MONOTONIC, &t);
                                            return toNs(t);
                                        }(),
                                        [] {
                                            struct timespec t;
                                            realClockGettime(CLOCK_REALTIME, &t);
                                            return toNs(t);
                                        }()};
    return origins[wall ? 1 : 0];
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, struct timespec* t) noexcept
{
    if (!virtualTime() || !emulatedClock(id))
        return realClockGettime(id, t);
    pass(kClockReadNs);
    *t = fromNs(originNs(id) + emulatedNs());
    return 0;
}

int gettimeofday(struct timeval* tv, void* tz) noexcept
{
    static const auto real = next<int (*)(struct timeval*, void*)>("gettimeofday");
    if (!virtualTime())
        return real(tv, tz);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(now.tv_nsec / 1000);
    if (tz)
        real(nullptr, tz);
    return 0;
}

time_t time(time_t* out) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (out)
        *out = now.tv_sec;
    return now.tv_sec;
}

int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    static const Nanosleep real = next<Nanosleep>("nanosleep");
    if (!virtualTime() || !request)
        return real(request, remaining);
    pass(toNs(*request));
    if (remaining)
        *remaining = fromNs(0);
    return 0;
}

int clock_nanosleep(clockid_t id, int flags, const struct timespec* request, struct timespec* remaining)
{
    static const ClockNanosleep real = next<ClockNanosleep>("clock_nanosleep");
    if (!virtualTime() || !request || !emulatedClock(id))
        return real(id, flags, request, remaining);
    uint64_t wait = toNs(*request);
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        clock_gettime(id, &now);
        wait = wait > toNs(now) ? wait - toNs(now) : 0;
    }
    pass(wait);
    if (remaining && !(flags & TIMER_ABSTIME))
        *remaining = fromNs(0);
    return 0;
}

int usleep(useconds_t microseconds)
{
    static const Usleep real = next<Usleep>("usleep");
    if (!virtualTime())
        return real(microseconds);
    pass(uint64_t(microseconds) * 1000);
    return 0;
}

unsigned sleep(unsigned seconds)
{
    static const Sleep real = next<Sleep>("sleep");
    if (!virtualTime())
        return real(seconds);
    pass(uint64_t(seconds) * 1000000000ull);
    return 0;
}

// select() and poll() with nothing to watch are sleeps too.
int select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, struct timeval* timeout)
{
    static const Select real = next<Select>("select");
    if (!virtualTime() || !timeout || nfds != 0)
        return real(nfds, readSet, writeSet, exceptSet, timeout);
    pass(uint64_t(timeout->tv_sec) * 1000000000ull + uint64_t(timeout->tv_usec) * 1000ull);
    timeout->tv_sec = 0;
    timeout->tv_usec = 0;
    return 0;
}

int poll(struct pollfd* fds, nfds_t count, int timeoutMs)
{
    static const Poll real = next<Poll>("poll");
    if (!virtualTime() || count != 0 || timeoutMs <= 0)
        return real(fds, count, timeoutMs);
    pass(uint64_t(timeoutMs) * 1000000ull);
    return 0;
}

// For tests that load the stand-in themselves.
void pravel_usb_set_virtual_time(int on)
{
    virtualTimeSetting().store(on ? 1 : 0);
}

} // extern "C"
