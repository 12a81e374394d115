// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/agent.h"

#include "agent/callerauthority.h"
#include "agent/constants.h"
#include "agent/heaptrim.h"
#include "agent/lifecycle.h"
#include "agent/supportfiles.h"
#include "agent/watcher.h"

#include <QDBusConnection>
#include <QDBusMessage>

class AgentPrivate
{
public:
    AgentPrivate(Agent *owner, AgentCore *core)
        : core(core)
        , owner(owner)
        , authority(QDBusConnection::systemBus())
    {
    }

    ::watcher *watcher = nullptr; // a child of owner
    AgentCore *core;
    Agent *owner;
    HeapTrim heapTrim;
    CallerAuthority authority;
};

Agent::Agent(AgentCore *core)
    : QObject(nullptr)
    , d(std::make_unique<AgentPrivate>(this, core))
{
    d->watcher = new watcher(this);
    // Direct: the handler runs on the watcher's thread, so the end comes even while the main
    // thread is inside a long call. Connected before the thread starts, so no emission can
    // come before there is a handler.
    connect(d->watcher, &watcher::exitAgent, d->watcher, &lifecycle::exitHandler, Qt::DirectConnection);
    d->watcher->start(QThread::InheritPriority);
}

// The private part goes first, then the QObject base deletes the watcher, which joins its thread.
Agent::~Agent() = default;

void Agent::serve(const char *method, qint64 bytes, std::function<void(bool allowed)> work)
{
    if (!calledFromDBus()) {
        work(true);
        return;
    }
    if (!d->authority.admit(message(), method, bytes, std::move(work)))
        setDelayedReply(true);
}

void Agent::updateDeviceTreeFile(const QByteArray &data)
{
    serve("updateDeviceTreeFile", data.size(), [this, data](bool allowed) {
        if (allowed)
            supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::deviceTreeFileName(), data,
                                           {"Device Tree File open success!", "Device Tree File open error!"});
        d->heapTrim.afterPayload(data.size());
    });
}

void Agent::updateCustomFile(const QByteArray &data)
{
    serve("updateCustomFile", data.size(), [this, data](bool allowed) {
        if (allowed)
            supportfiles::storeSupportFile(kvo::supportDirectory(), kvo::customerFileName(), data,
                                           {"Custom File open success!", "Custom File open error!"});
        d->heapTrim.afterPayload(data.size());
    });
}

void Agent::downloadQRCode(const QString &qrCodeType, QString saveName, const QByteArray &data,
                           bool delCacheFile)
{
    const qint64 bytes = data.size() + 2 * (qint64(qrCodeType.size()) + saveName.size());
    serve("downloadQRCode", bytes, [this, qrCodeType, saveName, data, delCacheFile, bytes](bool allowed) mutable {
        if (allowed)
            supportfiles::storeQrCode(kvo::qrCodeDirectory(), qrCodeType, saveName, data, delCacheFile);
        d->heapTrim.afterPayload(bytes);
    });
}
