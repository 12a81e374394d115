// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/commandrunner.h"

#include "agent/sysinfo/sysutils.h"

#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimerEvent>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace facts {

namespace {

QString &commandPathInUse()
{
    static QString path = QString::fromLatin1(commandPath);
    return path;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The program's path as a start by name finds it on the commands' PATH, never on the tool's
// own; the child gets it as argv[0] too.
QByteArray programPath(const QString &program)
{
    if (program.contains(QLatin1Char('/')))
        return QFile::encodeName(program);
    const QString found =
        QStandardPaths::findExecutable(program, commandPathInUse().split(QLatin1Char(':'), Qt::SkipEmptyParts));
    return found.isEmpty() ? QByteArray() : QFile::encodeName(found);
}

} // namespace

QString latin1UpToNul(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QString();
    const int end = bytes.indexOf('\0');
    return QString::fromLatin1(bytes.constData(), end < 0 ? bytes.size() : end);
}

Command shellCommand(const QString &line)
{
    return {shellProgram(), {QStringLiteral("-c"), line}};
}

void setCommandPathForTests(const QString &path)
{
    commandPathInUse() = path.isEmpty() ? QString::fromLatin1(commandPath) : path;
}

CommandRun::CommandRun(Command command, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_command(std::move(command))
    , m_timeoutMs(timeoutMs)
{
}

CommandRun::~CommandRun()
{
    endGroup();
    release();
}

void CommandRun::start()
{
    if (m_started)
        return;
    m_timerId = startTimer(m_timeoutMs, Qt::PreciseTimer);
    if (startProcess())
        watchOnEventLoop();
    else
        QMetaObject::invokeMethod(this, [this] { finish(); }, Qt::QueuedConnection);
}

// posix_spawn, not fork: the child shares the tool's memory until it runs the program, so the
// tool's page tables are never copied, which on a small machine cost more than the command.
// The command leads a process group of its own, so that a command that outlives its deadline
// can be ended together with everything it started. Standard input and error are /dev/null.
// Every other descriptor is closed in the child, also those the tool inherited without
// close-on-exec (glibc closes them with close_range, or one by one from /proc/self/fd).
bool CommandRun::startProcess()
{
    m_started = true;
    m_deadline.setRemainingTime(m_timeoutMs);
    const QByteArray path = programPath(m_command.program);
    if (path.isEmpty())
        return false;
    std::vector<QByteArray> encoded{path};
    for (const QString &argument : m_command.arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    QByteArray pathVariable = "PATH=" + QFile::encodeName(commandPathInUse());
    QByteArray localeVariable = "LC_ALL=C";
    char *environment[] = {pathVariable.data(), localeVariable.data(), nullptr};

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Without the closing action the command would start with the tool's descriptors: better
    // not at all.
    if (posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        ::close(output[0]);
        ::close(output[1]);
        return false;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv.data(), environment);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (error != 0) {
        ::close(output[0]);
        return false;
    }
    m_pid = pid;
    m_outputFd = output[0];
    ::fcntl(m_outputFd, F_SETFL, ::fcntl(m_outputFd, F_GETFL) | O_NONBLOCK);
    m_pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    return true;
}

void CommandRun::watchOnEventLoop()
{
    m_outputNotifier = new QSocketNotifier(m_outputFd, QSocketNotifier::Read, this);
    connect(m_outputNotifier, &QSocketNotifier::activated, this, [this] { readOutput(); });
    if (m_pidFd >= 0) {
        m_endNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_endNotifier, &QSocketNotifier::activated, this, [this] { reapIfEnded(); });
    } else {
        m_pollTimerId = startTimer(10);
    }
}

void CommandRun::waitInPlace()
{
    while (!m_finished) {
        pollfd fds[2];
        nfds_t count = 0;
        if (m_outputFd >= 0)
            fds[count++] = {m_outputFd, POLLIN, 0};
        if (m_pidFd >= 0)
            fds[count++] = {m_pidFd, POLLIN, 0};
        qint64 wait = qMax<qint64>(0, m_deadline.remainingTime());
        if (m_pidFd < 0)
            wait = qMin<qint64>(wait, 10);
        ::poll(fds, count, int(wait));
        readOutput();
        reapIfEnded();
        if (!m_finished && m_deadline.hasExpired())
            endAtDeadline();
    }
}

void CommandRun::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timerId)
        endAtDeadline();
    else if (event->timerId() == m_pollTimerId)
        reapIfEnded();
}

void CommandRun::readOutput()
{
    char buffer[65536];
    while (m_outputFd >= 0) {
        const ssize_t n = ::read(m_outputFd, buffer, sizeof buffer);
        if (n > 0) {
            m_result.output.append(buffer, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return;
        } else {
            // End of output, or a pipe that cannot be read any more.
            if (m_outputNotifier != nullptr) {
                m_outputNotifier->setEnabled(false);
                m_outputNotifier->deleteLater();
                m_outputNotifier = nullptr;
            }
            closeFd(m_outputFd);
        }
    }
}

void CommandRun::reapIfEnded()
{
    if (m_finished || m_pid <= 0)
        return;
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(m_pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return;
    m_pid = -1;
    // What it printed before it ended; a child left behind may hold the pipe open.
    readOutput();
    m_result.endedInTime = true;
    if (reaped > 0) {
        m_result.normalExit = WIFEXITED(status);
        m_result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    }
    finish();
}

void CommandRun::endAtDeadline()
{
    if (m_finished)
        return;
    readOutput();
    endGroup();
    finish();
}

void CommandRun::endGroup()
{
    if (m_pid <= 0)
        return;
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

void CommandRun::release()
{
    for (QSocketNotifier **notifier : {&m_outputNotifier, &m_endNotifier}) {
        if (*notifier != nullptr) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    closeFd(m_outputFd);
    closeFd(m_pidFd);
}

void CommandRun::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    for (int *timer : {&m_timerId, &m_pollTimerId}) {
        if (*timer != 0)
            killTimer(*timer);
        *timer = 0;
    }
    release();
    emit finished();
}

CommandResult runCommand(const Command &command, int timeoutMs)
{
    CommandRun run(command, timeoutMs);
    if (run.startProcess())
        run.waitInPlace();
    else
        run.finish();
    return run.result();
}

} // namespace facts

bool executeCmd(const QString &command, QString &output, int timeoutMs)
{
    output = facts::runCommand(facts::shellCommand(command), timeoutMs).text();
    return !output.isEmpty();
}
