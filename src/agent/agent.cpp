// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/agent.h"

#include "agent/callercredentials.h"
#include "agent/constants.h"
#include "agent/heaptrim.h"
#include "agent/supportfiles.h"

#include <simplelog/journalfields.h>

#include <QDBusConnection>
#include <QDBusMessage>

class AgentPrivate
{
public:
    AgentPrivate()
        : callers(QDBusConnection::systemBus())
    {
    }

    HeapTrim heapTrim;
    CallerCredentials callers;
};

Agent::Agent()
    : QObject(nullptr)
    , d(std::make_unique<AgentPrivate>())
{
}

Agent::~Agent() = default;

QVector<QByteArray> Agent::callerFields()
{
    return calledFromDBus() ? d->callers.journalFields(message().service()) : QVector<QByteArray>();
}

void Agent::updateDeviceTreeFile(const QByteArray &data)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::deviceTreeFileName(), data,
                                   {"Device Tree File open success!", "Device Tree File open error!"});
    d->heapTrim.afterPayload(data.size());
}

void Agent::updateCustomFile(const QByteArray &data)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::customerFileName(), data,
                                   {"Custom File open success!", "Custom File open error!"});
    d->heapTrim.afterPayload(data.size());
}

void Agent::downloadQRCode(const QString &qrCodeType, QString saveName, const QByteArray &data,
                           bool delCacheFile)
{
    const simplelog::JournalFields caller(callerFields());
    supportfiles::storeQrCode(kvo::qrCodeDirectory(), qrCodeType, saveName, data, delCacheFile);
    d->heapTrim.afterPayload(data.size() + 2 * (qint64(qrCodeType.size()) + saveName.size()));
}
