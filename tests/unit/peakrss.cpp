// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-peakrss FILE PROGRAM [ARGUMENT...]: runs PROGRAM with the arguments, standard streams and
// environment given to it, writes its peak resident set in KiB (ru_maxrss of wait4) to FILE and
// exits with PROGRAM's status (128 + the signal that ended it). The tests measure a program
// through this small one: a program started straight from a large test process counts that
// process's resident set, carried along through exec, as its own peak.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: kvo-peakrss FILE PROGRAM [ARGUMENT...]\n", stderr);
        return 64;
    }
    const pid_t pid = ::fork();
    if (pid < 0)
        return 71;
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return 71;
    FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr || std::fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || std::fclose(out) != 0)
        return 74;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
