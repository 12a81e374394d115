// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/commandrunner.h"

#include "agent/sysinfo/sysutils.h"

#include <QProcess>
#include <QTimerEvent>

#include <signal.h>
#include <unistd.h>

#include <utility>

namespace facts {

namespace {

// The command leads a process group of its own, so that a command that outlives its deadline
// can be ended together with everything it started.
class GroupLeaderProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

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

CommandRun::CommandRun(Command command, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_command(std::move(command))
    , m_timeoutMs(timeoutMs)
{
}

CommandRun::~CommandRun()
{
    if (m_process != nullptr && m_process->state() != QProcess::NotRunning) {
        m_process->disconnect(this);
        endGroup();
        m_process->waitForFinished(-1);
    }
}

void CommandRun::start()
{
    if (m_process != nullptr)
        return;
    m_timerId = startTimer(m_timeoutMs, Qt::PreciseTimer);
    startProcess();
}

void CommandRun::startProcess()
{
    m_process = new GroupLeaderProcess(this);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus status) { onProcessFinished(exitCode, status == QProcess::NormalExit); });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish();
    });
    m_deadline.setRemainingTime(m_timeoutMs);
    m_process->start(m_command.program, m_command.arguments, QIODevice::ReadWrite);
}

void CommandRun::waitInPlace()
{
    while (!m_finished) {
        const qint64 remaining = qMax<qint64>(0, m_deadline.remainingTime());
        if (m_process->waitForFinished(int(remaining)) || m_finished)
            continue;
        if (m_process->state() == QProcess::NotRunning) {
            finish();
        } else if (m_deadline.hasExpired()) {
            endAtDeadline();
            m_process->waitForFinished(-1);
        }
    }
}

void CommandRun::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timerId)
        endAtDeadline();
}

void CommandRun::onProcessFinished(int exitCode, bool normalExit)
{
    if (m_finished)
        return;
    m_result.output = m_process->readAllStandardOutput();
    m_result.endedInTime = true;
    m_result.normalExit = normalExit;
    m_result.exitCode = exitCode;
    finish();
}

void CommandRun::endAtDeadline()
{
    if (m_finished)
        return;
    m_result.output = m_process->readAllStandardOutput();
    endGroup();
    finish();
}

void CommandRun::endGroup()
{
    const qint64 pid = m_process->processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    m_process->kill();
}

void CommandRun::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
    emit finished();
}

CommandResult runCommand(const Command &command, int timeoutMs)
{
    CommandRun run(command, timeoutMs);
    run.startProcess();
    run.waitInPlace();
    return run.result();
}

} // namespace facts

bool executeCmd(const QString &command, QString &output, int timeoutMs)
{
    output = facts::runCommand(facts::shellCommand(command), timeoutMs).text();
    return !output.isEmpty();
}
