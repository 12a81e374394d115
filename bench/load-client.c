// SPDX-License-Identifier: GPL-3.0-or-later
//
// Load client and process probes for the benchmarks, on the system bus (DBUS_SYSTEM_BUS_ADDRESS).
//
//   kvo-bench-load call METHOD BYTES CALLS CLIENTS [WARMUP [fresh]]
//       METHOD: custom | devicetree | qrcode | qrcode3 (the signature without the flag).
//       CALLS calls in all, spread over CLIENTS processes with a connection each, after WARMUP
//       (default 20) calls per client that are not counted. Prints calls/s, the median latency
//       and the service's own CPU time per call, from /proc/PID/stat of the name's owner.
//       With "fresh" every call goes over a connection of its own, opened for it and closed
//       after its reply, as a caller that starts a tool per call does.
//   kvo-bench-load startup TIMEOUT_MS COMMAND [ARG...]
//       Starts COMMAND and prints the time from exec to the bus name being owned; then ends it
//       with SIGTERM and waits until the name is free again.
//   kvo-bench-load wait-owned TIMEOUT_MS      prints the owner's PID once the name is owned
//   kvo-bench-load wait-released TIMEOUT_MS   returns once the name has no owner
//   kvo-bench-load idle PID SECONDS           RSS, context switches and CPU of PID over SECONDS
//   kvo-bench-load max-payload LOW HIGH FILE
//       The largest updateCustomFile payload in [LOW, HIGH] that the bus passes (each attempt on a
//       connection of its own: the bus drops a sender whose message is too large), and whether
//       FILE then holds exactly those bytes.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

static const char serviceName[] = "com.corvid.serviceandsupport";
static const char objectPath[] = "/com/corvid/serviceandsupport/agent";
static const char interfaceName[] = "com.corvid.serviceandsupport.agent";

static uint64_t nowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void die(const char *what, int r)
{
    fprintf(stderr, "kvo-bench-load: %s: %s\n", what, strerror(r < 0 ? -r : r));
    exit(1);
}

static sd_bus *openBus(void)
{
    sd_bus *bus = NULL;
    const int r = sd_bus_open_system(&bus);
    if (r < 0)
        die("system bus", r);
    return bus;
}

// utime + stime of the whole process, in clock ticks.
static long long processTicks(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[4096];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name may hold anything, so fields are counted from its closing parenthesis.
    const char *p = strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return (long long)(utime + stime);
}

// Run time of every thread of the process in nanoseconds (scheduler statistics): the clock-tick
// figure of /proc/PID/stat is too coarse for a few milliseconds of idle work.
static long long processRunNs(pid_t pid, long long *switches)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", (int)pid);
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    long long total = 0;
    *switches = 0;
    const struct dirent *entry;
    while ((entry = readdir(dir))) {
        if (entry->d_name[0] == '.')
            continue;
        char file[320];
        snprintf(file, sizeof file, "/proc/%d/task/%s/schedstat", (int)pid, entry->d_name);
        FILE *f = fopen(file, "r");
        if (f) {
            long long ns = 0;
            if (fscanf(f, "%lld", &ns) == 1)
                total += ns;
            fclose(f);
        }
        snprintf(file, sizeof file, "/proc/%d/task/%s/status", (int)pid, entry->d_name);
        f = fopen(file, "r");
        if (f) {
            char line[256];
            long long v;
            while (fgets(line, sizeof line, f)) {
                if (sscanf(line, "voluntary_ctxt_switches: %lld", &v) == 1
                    || sscanf(line, "nonvoluntary_ctxt_switches: %lld", &v) == 1)
                    *switches += v;
            }
            fclose(f);
        }
    }
    closedir(dir);
    return total;
}

static long long rssKb(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long long kb = -1;
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmRSS: %lld", &kb) == 1)
            break;
    }
    fclose(f);
    return kb;
}

static pid_t ownerPid(sd_bus *bus)
{
    sd_bus_creds *creds = NULL;
    pid_t pid = 0;
    if (sd_bus_get_name_creds(bus, serviceName, SD_BUS_CREDS_PID, &creds) >= 0) {
        sd_bus_creds_get_pid(creds, &pid);
        sd_bus_creds_unref(creds);
    }
    return pid;
}

static int nameOwned(sd_bus *bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = NULL;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error, &reply, "s", serviceName) >= 0) {
        sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
    }
    sd_bus_error_free(&error);
    return has;
}

struct CallPlan
{
    const char *member;
    int qrFlag; // -1: no flag argument
    const void *data;
    size_t size;
};

static int callOnce(sd_bus *bus, const struct CallPlan *plan)
{
    sd_bus_message *m = NULL;
    sd_bus_message *reply = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &m, serviceName, objectPath, interfaceName, plan->member);
    if (r >= 0 && plan->qrFlag != -2)
        r = sd_bus_message_append(m, "ss", "contact", "hotline.png");
    if (r >= 0)
        r = sd_bus_message_append_array(m, 'y', plan->data, plan->size);
    if (r >= 0 && plan->qrFlag >= 0)
        r = sd_bus_message_append(m, "b", plan->qrFlag);
    if (r >= 0)
        r = sd_bus_call(bus, m, 120 * 1000000ull, &error, &reply);
    if (r < 0)
        fprintf(stderr, "kvo-bench-load: %s: %s\n", plan->member, error.message ? error.message : strerror(-r));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
    return r;
}

static void fillPattern(char *data, size_t size);

static int compareU64(const void *a, const void *b)
{
    const uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static int runCalls(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    struct CallPlan plan = {NULL, -2, NULL, 0};
    if (!strcmp(argv[0], "custom"))
        plan.member = "updateCustomFile";
    else if (!strcmp(argv[0], "devicetree"))
        plan.member = "updateDeviceTreeFile";
    else if (!strcmp(argv[0], "qrcode"))
        plan.member = "downloadQRCode", plan.qrFlag = 0;
    else if (!strcmp(argv[0], "qrcode3"))
        plan.member = "downloadQRCode", plan.qrFlag = -1;
    else
        return 2;
    plan.size = strtoull(argv[1], NULL, 10);
    const long calls = strtol(argv[2], NULL, 10);
    const int clients = atoi(argv[3]);
    const long warmup = argc > 4 ? strtol(argv[4], NULL, 10) : 20;
    const int fresh = argc > 5 && !strcmp(argv[5], "fresh");
    if (calls <= 0 || clients <= 0 || warmup < 0 || (argc > 5 && !fresh))
        return 2;

    char *data = malloc(plan.size ? plan.size : 1);
    fillPattern(data, plan.size);
    plan.data = data;

    uint64_t *latencies = mmap(NULL, sizeof(uint64_t) * (size_t)calls, PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (latencies == MAP_FAILED)
        die("mmap", errno);
    int *failures = mmap(NULL, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    *failures = 0;

    sd_bus *bus = openBus();
    const pid_t service = ownerPid(bus);
    if (service <= 0) {
        fprintf(stderr, "kvo-bench-load: %s has no owner\n", serviceName);
        return 1;
    }

    int ready[2], go[2];
    if (pipe(ready) || pipe(go))
        die("pipe", errno);
    pid_t children[64];
    const int n = clients > 64 ? 64 : clients;
    for (int c = 0; c < n; ++c) {
        children[c] = fork();
        if (children[c] < 0)
            die("fork", errno);
        if (children[c] == 0) {
            sd_bus *own = openBus();
            for (long i = 0; i < warmup; ++i) {
                if (fresh) {
                    sd_bus_flush_close_unref(own);
                    own = openBus();
                }
                callOnce(own, &plan);
            }
            const long first = calls * c / n, last = calls * (c + 1) / n;
            char byte = 1;
            if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1)
                _exit(1);
            for (long i = first; i < last; ++i) {
                const uint64_t t0 = nowNs();
                if (fresh) {
                    sd_bus_flush_close_unref(own);
                    own = openBus();
                }
                if (callOnce(own, &plan) < 0)
                    __atomic_add_fetch(failures, 1, __ATOMIC_RELAXED);
                latencies[i] = nowNs() - t0;
            }
            sd_bus_flush_close_unref(own);
            _exit(0);
        }
    }
    for (int c = 0; c < n; ++c) {
        char byte;
        if (read(ready[0], &byte, 1) != 1)
            die("client start", EIO);
    }
    // The service settles after the warm-up before its CPU time is read.
    usleep(50000);
    const long long ticks0 = processTicks(service);
    long long sw;
    const long long run0 = processRunNs(service, &sw);
    const uint64_t t0 = nowNs();
    char go_bytes[64] = {0};
    if (write(go[1], go_bytes, (size_t)n) != n)
        die("client go", EIO);
    int status, failed = 0;
    for (int c = 0; c < n; ++c) {
        waitpid(children[c], &status, 0);
        failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const uint64_t t1 = nowNs();
    const long long ticks1 = processTicks(service);
    const long long run1 = processRunNs(service, &sw);
    if (failed || *failures || ticks0 < 0 || ticks1 < 0) {
        fprintf(stderr, "kvo-bench-load: %d calls failed, or the service went away\n", *failures);
        return 1;
    }

    qsort(latencies, (size_t)calls, sizeof(uint64_t), compareU64);
    const double seconds = (double)(t1 - t0) / 1e9;
    const double tick = 1e6 / (double)sysconf(_SC_CLK_TCK);
    printf("calls=%ld clients=%d seconds=%.4f cps=%.1f p50_us=%.1f cpu_us=%.2f cpu_ticks=%lld sched_cpu_us=%.2f\n",
           calls, n, seconds, (double)calls / seconds, (double)latencies[calls / 2] / 1e3,
           (double)(ticks1 - ticks0) * tick / (double)calls, ticks1 - ticks0,
           (double)(run1 - run0) / 1e3 / (double)calls);
    sd_bus_flush_close_unref(bus);
    return 0;
}

// Waits for NameOwnerChanged of the service name to report an owner (wantOwner) or none.
static int waitForOwnerChange(sd_bus *bus, int wantOwner, uint64_t deadline)
{
    for (;;) {
        sd_bus_message *m = NULL;
        const int r = sd_bus_process(bus, &m);
        if (r < 0)
            return r;
        if (m) {
            const char *name = NULL, *oldOwner = NULL, *newOwner = NULL;
            if (sd_bus_message_is_signal(m, "org.freedesktop.DBus", "NameOwnerChanged")
                && sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0
                && !strcmp(name, serviceName) && (newOwner[0] != '\0') == wantOwner) {
                sd_bus_message_unref(m);
                return 0;
            }
            sd_bus_message_unref(m);
        }
        if (r > 0)
            continue;
        const uint64_t now = nowNs();
        if (now >= deadline)
            return -ETIMEDOUT;
        sd_bus_wait(bus, (deadline - now) / 1000);
    }
}

static int addOwnerMatch(sd_bus *bus)
{
    char rule[256];
    snprintf(rule, sizeof rule,
             "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='%s'", serviceName);
    return sd_bus_add_match(bus, NULL, rule, NULL, NULL);
}

static int runStartup(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const uint64_t timeout = strtoull(argv[0], NULL, 10) * 1000000ull;
    sd_bus *bus = openBus();
    int r = addOwnerMatch(bus);
    if (r < 0)
        die("match", r);
    if (nameOwned(bus)) {
        fprintf(stderr, "kvo-bench-load: %s is already owned\n", serviceName);
        return 1;
    }
    const uint64_t t0 = nowNs();
    const pid_t child = fork();
    if (child < 0)
        die("fork", errno);
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    r = waitForOwnerChange(bus, 1, t0 + timeout);
    const uint64_t t1 = nowNs();
    kill(child, SIGTERM);
    int status;
    waitpid(child, &status, 0);
    const int released = waitForOwnerChange(bus, 0, nowNs() + timeout);
    if (r < 0) {
        fprintf(stderr, "kvo-bench-load: %s did not own the name: %s\n", argv[1], strerror(-r));
        return 1;
    }
    if (released < 0 && nameOwned(bus)) {
        fprintf(stderr, "kvo-bench-load: the name stayed owned\n");
        return 1;
    }
    printf("startup_us=%.1f\n", (double)(t1 - t0) / 1e3);
    return 0;
}

static int runWait(int wantOwner, const char *timeoutMs)
{
    const uint64_t deadline = nowNs() + strtoull(timeoutMs, NULL, 10) * 1000000ull;
    sd_bus *bus = openBus();
    addOwnerMatch(bus);
    if (nameOwned(bus) != wantOwner && waitForOwnerChange(bus, wantOwner, deadline) < 0
        && nameOwned(bus) != wantOwner)
        return 1;
    if (wantOwner)
        printf("%d\n", (int)ownerPid(bus));
    return 0;
}

static void fillPattern(char *data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        data[i] = (char)('a' + i % 26);
}

// 0 when a call with size bytes was answered, 1 when not.
static int attemptPayload(const char *data, size_t size)
{
    const pid_t child = fork();
    if (child == 0) {
        sd_bus *bus = openBus();
        const struct CallPlan plan = {"updateCustomFile", -2, data, size};
        sd_bus_message *m = NULL, *reply = NULL;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_message_new_method_call(bus, &m, serviceName, objectPath, interfaceName, plan.member);
        if (r >= 0)
            r = sd_bus_message_append_array(m, 'y', plan.data, plan.size);
        if (r >= 0)
            r = sd_bus_call(bus, m, 120 * 1000000ull, &error, &reply);
        _exit(r < 0 ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

static int runMaxPayload(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    size_t low = strtoull(argv[0], NULL, 10), high = strtoull(argv[1], NULL, 10);
    char *data = malloc(high + 1);
    fillPattern(data, high + 1);
    if (attemptPayload(data, low) != 0) {
        printf("max_payload=0 stored=0\n");
        return 1;
    }
    size_t best = low;
    // The bus either passes or drops a message by its size alone, so the boundary is sharp.
    while (low < high) {
        const size_t mid = low + (high - low + 1) / 2;
        if (attemptPayload(data, mid) == 0)
            best = low = mid;
        else
            high = mid - 1;
    }
    const int refusedAbove = attemptPayload(data, best + 1) != 0;
    // The last call the service answered is best + 1 only when it was not refused.
    int stored = 0;
    if (refusedAbove && attemptPayload(data, best) == 0) {
        FILE *f = fopen(argv[2], "rb");
        if (f) {
            char *back = malloc(best + 1);
            const size_t n = fread(back, 1, best + 1, f);
            stored = n == best && memcmp(back, data, best) == 0;
            free(back);
            fclose(f);
        }
    }
    printf("max_payload=%zu refused_above=%d stored=%d\n", best, refusedAbove, stored);
    return stored && refusedAbove ? 0 : 1;
}

static int runIdle(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t pid = atoi(argv[0]);
    const double seconds = atof(argv[1]);
    long long sw0, sw1;
    const long long ticks0 = processTicks(pid);
    const long long run0 = processRunNs(pid, &sw0);
    usleep((useconds_t)(seconds * 1e6));
    const long long ticks1 = processTicks(pid);
    const long long run1 = processRunNs(pid, &sw1);
    if (run0 < 0 || run1 < 0 || ticks1 < 0)
        return 1;
    printf("rss_kb=%lld switches=%lld cpu_ms=%.3f cpu_ticks=%lld\n", rssKb(pid), sw1 - sw0,
           (double)(run1 - run0) / 1e6, ticks1 - ticks0);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 2 && !strcmp(argv[1], "call"))
        return runCalls(argc - 2, argv + 2);
    if (argc >= 2 && !strcmp(argv[1], "startup"))
        return runStartup(argc - 2, argv + 2);
    if (argc == 3 && !strcmp(argv[1], "wait-owned"))
        return runWait(1, argv[2]);
    if (argc == 3 && !strcmp(argv[1], "wait-released"))
        return runWait(0, argv[2]);
    if (argc >= 2 && !strcmp(argv[1], "max-payload"))
        return runMaxPayload(argc - 2, argv + 2);
    if (argc >= 2 && !strcmp(argv[1], "idle"))
        return runIdle(argc - 2, argv + 2);
    if (argc == 3 && !strcmp(argv[1], "rss")) {
        printf("%lld\n", rssKb(atoi(argv[2])));
        return 0;
    }
    fprintf(stderr, "usage: see the head of load-client.c\n");
    return 2;
}
