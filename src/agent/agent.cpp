// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent.h"

#include "constants.h"
#include "supportfiles.h"

class AgentPrivate
{
public:
    AgentPrivate(Agent *owner, AgentCore *core)
        : owner(owner)
        , core(core)
    {
    }

    Agent *owner;
    AgentCore *core;
};

Agent::Agent(AgentCore *core)
    : QObject(nullptr)
    , d(std::make_unique<AgentPrivate>(this, core))
{
}

Agent::~Agent() = default;

void Agent::updateDeviceTreeFile(const QByteArray &data)
{
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::deviceTreeFileName(), data,
                                   {"Device Tree File open success!", "Device Tree File open error!"});
}

void Agent::updateCustomFile(const QByteArray &data)
{
    supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::customerFileName(), data,
                                   {"Custom File open success!", "Custom File open error!"});
}

void Agent::downloadQRCode(const QString &qrCodeType, QString saveName, const QByteArray &data,
                           bool delCacheFile)
{
    supportfiles::storeQrCode(kvo::qrCodeDirectory(), qrCodeType, saveName, data, delCacheFile);
}
