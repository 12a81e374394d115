// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-sandbox-probe ROW...
//
// Started by the system test under a copy of the agent's unit, so that it runs with exactly the
// rights that unit grants. Tries each ROW and prints one line for it: "ROW ok" or "ROW ENAME"
// (the error's name, as EAFNOSUPPORT).
//   unix, inet, inet6   make a socket of that address family (and close it)
//   setpriority         set its own nice value to what it is (a call of the @resources set)
//   write:PATH          create PATH for writing (and remove it again)
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int trySocket(int family)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

int trySetPriority()
{
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (nice == -1 && errno != 0)
        return errno;
    return ::setpriority(PRIO_PROCESS, 0, nice) == 0 ? 0 : errno;
}

int tryWrite(const char *path)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    ::close(fd);
    ::unlink(path);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvo-sandbox-probe unix|inet|inet6|setpriority|write:PATH...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const char *row = argv[i];
        int error;
        if (std::strcmp(row, "unix") == 0)
            error = trySocket(AF_UNIX);
        else if (std::strcmp(row, "inet") == 0)
            error = trySocket(AF_INET);
        else if (std::strcmp(row, "inet6") == 0)
            error = trySocket(AF_INET6);
        else if (std::strcmp(row, "setpriority") == 0)
            error = trySetPriority();
        else if (std::strncmp(row, "write:", 6) == 0)
            error = tryWrite(row + 6);
        else {
            std::fprintf(stderr, "kvo-sandbox-probe: unknown row %s\n", row);
            return 2;
        }
        const char *name = error == 0 ? "ok" : ::strerrorname_np(error);
        if (name)
            std::printf("%s %s\n", row, name);
        else
            std::printf("%s errno-%d\n", row, error);
    }
    return 0;
}
