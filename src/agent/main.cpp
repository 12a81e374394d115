// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/agent.h"
#include "agent/agentcore.h"
#include "agent/agentlog.h"
#include "agent/constants.h"
#include "agent/heaptrim.h"
#include "agent/lifecycle.h"
#include "agent/localeencoding.h"
#include "agent/logdebughelper.h"
#include "agent/supportfiles.h"

#include <simplelog/logmanager.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

int main(int argc, char *argv[])
{
    HeapTrim::useOneHeap();
    LogDebugHelper logDebugHelper;
    kvo::useUtf8ForLocaleText();

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
    if (!bus.isConnected())
        lifecycle::end(1, [] { qCWarning(agentLog) << "QDBusConnection::systemBus().isConnected() failed"; });
    if (!bus.registerService(kvo::serviceName()))
        lifecycle::end(2, [&bus] { qCWarning(agentLog) << "registerService Error" << bus.lastError(); });
    // Only the owner of the name writes the support files, so only it may tidy up after a crash.
    // One directory of the agent's own, which holds a file only while a call is served.
    supportfiles::removeLeftoverTemporaries(kvo::stagingDirectory());

    AgentCore core;
    Agent agent(&core);
    if (!bus.registerObject(kvo::agentObjectPath(), kvo::agentInterface(), &agent,
                            Agent::registerOptions))
        lifecycle::end(3, [&bus] { qCWarning(agentLog) << "registerObject Daemon Error" << bus.lastError(); });

    app.exec();
    return 0;
}
