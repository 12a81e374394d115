// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent.h"

#include "agentlog.h"
#include "callercredentials.h"
#include "constants.h"
#include "processexit.h"
#include "supportfiles.h"
#include "watcher.h"

#include <simplelog/journalfields.h>
#include <simplelog/logmanager.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

#include <malloc.h>

// A payload this large leaves heap behind that the C library keeps until asked to trim.
static constexpr int largePayload = 1 << 20;
// Long enough that a burst of large calls reuses the pages instead of faulting them in anew.
static constexpr int trimDelayMs = 250;

class AgentPrivate
{
public:
    AgentPrivate(Agent *owner, AgentCore *core)
        : core(core)
        , owner(owner)
        , callers(QDBusConnection::systemBus())
    {
    }

    // Gives freed heap back to the system once large calls have stopped coming. Long texts
    // count as well: they are decoded into copies twice their size.
    void afterPayload(qint64 bytes)
    {
        if (bytes >= largePayload)
            trimTimer.start();
    }

    watcher *watcherThread = nullptr;
    AgentCore *core;
    Agent *owner;
    QTimer trimTimer;
    CallerCredentials callers;
};

// Runs on the watcher thread while the main thread may be in the middle of a call. Taking the
// log first makes "exit agent." the last line; ending without global clean-up keeps the main
// thread from running into destroyed Qt state.
static void exitAgentHandler()
{
    simplelog::LogManager::lockForExit();
    qCWarning(agentLog) << "exit agent.";
    endProcess(0);
}

Agent::Agent(AgentCore *core)
    : QObject(nullptr)
    , d(std::make_unique<AgentPrivate>(this, core))
{
    d->trimTimer.setSingleShot(true);
    d->trimTimer.setInterval(trimDelayMs);
    connect(&d->trimTimer, &QTimer::timeout, this, [] { ::malloc_trim(0); });
    d->watcherThread = new watcher(this);
    connect(d->watcherThread, &watcher::exitAgent, d->watcherThread, exitAgentHandler, Qt::DirectConnection);
    d->watcherThread->start(QThread::InheritPriority);
}

Agent::~Agent()
{
    // Only reached when the event loop returns; the thread must be joined before its object goes.
    d->watcherThread->requestInterruption();
    d->watcherThread->wait();
}

QVector<QByteArray> Agent::callerFields()
{
    return calledFromDBus() ? d->callers.journalFields(message().service()) : QVector<QByteArray>();
}

void Agent::updateDeviceTreeFile(const QByteArray &data)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::deviceTreeFileName(), data,
                                   {"Device Tree File open success!", "Device Tree File open error!"});
    d->afterPayload(data.size());
}

void Agent::updateCustomFile(const QByteArray &data)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::customerFileName(), data,
                                   {"Custom File open success!", "Custom File open error!"});
    d->afterPayload(data.size());
}

void Agent::downloadQRCode(const QString &qrCodeType, QString saveName, const QByteArray &data,
                           bool delCacheFile)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeQrCode(kvo::qrCodeDirectory(), qrCodeType, saveName, data, delCacheFile);
    d->afterPayload(data.size() + 2 * (qint64(qrCodeType.size()) + saveName.size()));
}
