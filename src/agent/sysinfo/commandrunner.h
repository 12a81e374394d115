// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The one way the facts run a command: a shell line or a program with its arguments, in a
// process group of its own, ended together with everything it started at its deadline. Waited
// for in place (runCommand) or on the caller's event loop (CommandRun::finished).

#include "agent/sysinfo/factconstants.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class QSocketNotifier;

namespace facts {

// Bytes a tool printed, as the facts read them: Latin-1 up to the first zero byte. No bytes at
// all give the null text, so that "printed nothing" and "printed a zero byte first" differ.
QString latin1UpToNul(const QByteArray &bytes);

struct Command
{
    QString program;
    QStringList arguments;
};

// The line run through "bash" "-c".
Command shellCommand(const QString &line);

// The PATH every command runs with and the only one a program is looked up on. A command gets
// this PATH, LC_ALL=C and nothing else of the caller's environment, and no descriptor beyond
// 0-2: the tools run them as root on behalf of whoever started them, so nothing the caller set
// (BASH_ENV, exported functions, a PATH of its own, an open file) may reach them.
inline constexpr char commandPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// For the tests, which put fake tools in place of the real ones: PATH for the commands started
// from now on in this process; an empty path restores commandPath. Nothing else calls it, and no
// environment variable reaches it.
void setCommandPathForTests(const QString &path);

struct CommandResult
{
    // Standard output as read, also after the deadline; standard error is not kept.
    QByteArray output;
    // The command started and ended on its own before the deadline.
    bool endedInTime = false;
    bool normalExit = false;
    int exitCode = -1;

    QString text() const { return latin1UpToNul(output); }
    bool succeeded() const { return endedInTime && normalExit && exitCode == 0; }
};

class CommandRun : public QObject
{
    Q_OBJECT
public:
    explicit CommandRun(Command command, int timeoutMs = commandTimeoutMs, QObject *parent = nullptr);
    // A command still running is ended with its group.
    ~CommandRun() override;
    CommandRun(const CommandRun &) = delete;
    CommandRun &operator=(const CommandRun &) = delete;

    // Starts the command on this thread's event loop; the deadline counts from here.
    void start();

    bool isFinished() const { return m_finished; }
    const CommandResult &result() const { return m_result; }

Q_SIGNALS:
    // Once: the command ended, could not start, or was ended at its deadline.
    void finished();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    friend CommandResult runCommand(const Command &command, int timeoutMs);

    bool startProcess();
    void watchOnEventLoop();
    void waitInPlace();
    void readOutput();
    void reapIfEnded();
    void endAtDeadline();
    void endGroup();
    void release();
    void finish();

    Command m_command;
    int m_timeoutMs;
    QDeadlineTimer m_deadline;
    bool m_started = false;
    pid_t m_pid = -1;
    int m_outputFd = -1;
    // Readable once the command has ended; -1 where the kernel has no pidfd_open.
    int m_pidFd = -1;
    QSocketNotifier *m_outputNotifier = nullptr;
    QSocketNotifier *m_endNotifier = nullptr;
    int m_pollTimerId = 0;
    int m_timerId = 0;
    bool m_finished = false;
    CommandResult m_result;
};

// Runs command and waits for it in place, without an event loop.
CommandResult runCommand(const Command &command, int timeoutMs = commandTimeoutMs);

} // namespace facts
