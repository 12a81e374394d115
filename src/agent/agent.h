// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class AgentCore;
class AgentPrivate;

// The one object the agent exports on the system bus. Its slots unpack a call and hand it to
// the support-file functions once the caller is allowed to change them (CallerAuthority);
// callers get an empty reply whatever happened. The journal entries of a call name its caller
// (CALLER_UID=, CALLER_PID=). It starts the watcher of the support application, whose
// exitAgent ends the process.
class Agent : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.corvid.serviceandsupport.agent")
public:
    // core: start-up's core object, kept for the process's life.
    explicit Agent(AgentCore *core);
    ~Agent() override;

    // What registerObject exports of it: every slot, signal and property, scriptable or not.
    static constexpr QDBusConnection::RegisterOptions registerOptions =
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals | QDBusConnection::ExportAllProperties;

public Q_SLOTS:
    Q_SCRIPTABLE void updateDeviceTreeFile(const QByteArray &data);
    Q_SCRIPTABLE void updateCustomFile(const QByteArray &data);
    Q_SCRIPTABLE void downloadQRCode(const QString &qrCodeType, QString saveName,
                                     const QByteArray &data, bool delCacheFile = false);

private:
    // Runs work(allowed) for the call being served: at once when it comes from this process,
    // else when its caller's authority is known, perhaps after the slot has returned.
    void serve(const char *method, qint64 bytes, std::function<void(bool allowed)> work);

    std::unique_ptr<AgentPrivate> d;
};
