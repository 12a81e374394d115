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
    // Calls carry up to 32 MiB. Left to itself the C library raises its mmap threshold after the
    // first such block is freed and from then on keeps those blocks in a thread's heap for good
    // (tens of MiB for a daemon that otherwise needs about twelve); a fixed threshold returns them
    // to the system as soon as a call is done.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
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
                            QDBusConnection::RegisterOptions(kvo::agentRegisterOptions))) {
        qCWarning(agentLog) << "registerObject Daemon Error" << bus.lastError();
        endProcess(3);
    }

    app.exec();
    return 0;
}
