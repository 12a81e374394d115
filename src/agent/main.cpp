// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent.h"
#include "agentcore.h"
#include "agentlog.h"
#include "constants.h"
#include "logdebughelper.h"
#include "processexit.h"
#include "supportfiles.h"

#include <simplelog/logmanager.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QTextCodec>

#include <malloc.h>

int main(int argc, char *argv[])
{
    // Calls carry up to 32 MiB, and the C library keeps the freed blocks of such calls in a
    // thread's own heap for good, where no trim reaches them. One heap for all threads lets the
    // Agent give them back once large calls stop (see Agent), and keeps them for reuse meanwhile.
    ::mallopt(M_ARENA_MAX, 1);
    LogDebugHelper logDebugHelper;
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(kvo::localeCodec));

    QCoreApplication app(argc, argv);
    app.setOrganizationName(kvo::organizationName());

    const QString category = QString::fromLatin1(kvo::logCategoryName);
    simplelog::LogManager::setLogFormat(kvo::logFormat());
    simplelog::LogManager::setlogFilePath(kvo::logFilePath());
    simplelog::LogManager::registerCategoryJournalAppender(category);
    simplelog::LogManager::registerJournalAppender();
    simplelog::LogManager::registerCategoryFileAppender(category);
    simplelog::LogManager::registerFileAppender();

    logDebugHelper.init(kvo::configAppId(), kvo::configName());

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCWarning(agentLog) << "QDBusConnection::systemBus().isConnected() failed";
        endProcess(1);
    }
    if (!bus.registerService(kvo::serviceName())) {
        qCWarning(agentLog) << "registerService Error" << bus.lastError();
        endProcess(2);
    }
    // Only the owner of the name writes the support files, so only it may tidy up after a crash.
    supportfiles::removeLeftoverTemporaries(kvo::supportDirectory());

    AgentCore core;
    Agent agent(&core);
    if (!bus.registerObject(kvo::agentObjectPath(), kvo::agentInterface(), &agent,
                            Agent::registerOptions)) {
        qCWarning(agentLog) << "registerObject Daemon Error" << bus.lastError();
        endProcess(3);
    }

    app.exec();
    return 0;
}
