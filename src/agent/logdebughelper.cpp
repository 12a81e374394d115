// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/logdebughelper.h"

#include "agent/agentlog.h"
#include "agent/constants.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QLoggingCategory>
#include <QStringList>

namespace {

// Plain messages rather than QDBusInterface: that one first sends a blocking Introspect to the
// service, a round trip per object before each call at every start. The interface is not valid
// when the bus is not connected or when the service cannot be reached: no owner and none
// started, a start that failed, or a refusal by the bus. All of these are errors the bus itself
// answers with, where an error of the service comes from the service's own name; a proxy that
// is not valid logs only the message of the error. False then, and nothing more to log.
bool callConfigService(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &arguments, QDBusMessage *reply)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCWarning(agentLog) << bus.lastError().message();
        return false;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(kvo::configService(), path, interface, method);
    call.setArguments(arguments);
    *reply = bus.call(call, QDBus::Block);
    if (reply->type() == QDBusMessage::ErrorMessage && reply->service() == kvo::busDaemonService()) {
        qCWarning(agentLog) << reply->errorMessage();
        return false;
    }
    return true;
}

} // namespace

LogDebugHelper::LogDebugHelper()
{
    // Must happen before the application object exists: Qt reads the variable then, and its
    // rules would override every rule applied through setRules().
    qunsetenv("QT_LOGGING_RULES");
}

void LogDebugHelper::init(const QString &appId, const QString &name)
{
    configPath = requestConfigPath(appId, name);
    if (configPath.isEmpty()) {
        qCWarning(agentLog) << "codestack: " << "get path failed.";
        return;
    }

    QDBusConnection::systemBus().connect(kvo::configService(), configPath, kvo::configManagerInterface(),
                                         QStringLiteral("valueChanged"), this,
                                         SLOT(onValueChanged(QString)));

    appendRules(getValue(kvo::logRulesKey()).toString());
    setRules(rules);
}

QString LogDebugHelper::requestConfigPath(const QString &appId, const QString &name)
{
    QDBusMessage message;
    if (!callConfigService(kvo::configRootPath(), kvo::configRootInterface(), QStringLiteral("acquireManager"),
                           {appId, name, kvo::configSubPath()}, &message))
        return QString();

    const QDBusReply<QDBusObjectPath> reply = message;
    if (!reply.isValid()) {
        qCWarning(agentLog) << "D-Bus Error:" << reply.error();
        return QString();
    }
    return reply.value().path();
}

QVariant LogDebugHelper::getValue(const QString &key)
{
    if (configPath.isEmpty()) {
        qCWarning(agentLog) << "codestack: " << "get path failed.";
        return QVariant(QString());
    }

    QDBusMessage message;
    if (!callConfigService(configPath, kvo::configManagerInterface(), QStringLiteral("value"), {key}, &message))
        return QVariant(QString());

    const QDBusReply<QDBusVariant> reply = message;
    if (!reply.isValid()) {
        qCWarning(agentLog) << "D-Bus Error:" << reply.error();
        return QVariant(QString());
    }
    return reply.value().variant();
}

void LogDebugHelper::appendRules(const QString &text)
{
    QString normalized = text;
    normalized.replace(QLatin1Char(';'), QLatin1Char('\n'));

    // Items are compared with the rules as they were, not with each other, so a rule that
    // stands twice in the new text is kept twice.
    QStringList added;
    const QStringList items = normalized.split(QLatin1Char('\n'));
    for (const QString &item : items) {
        if (!rules.contains(item))
            added.append(item);
    }
    if (added.isEmpty())
        return;

    const QString joined = added.join(QLatin1Char('\n'));
    if (rules.isEmpty())
        rules = joined;
    else
        rules += QLatin1Char('\n') + joined;
}

void LogDebugHelper::setRules(const QString &text)
{
    rules = text;
    rules.replace(QLatin1Char(';'), QLatin1Char('\n'));
    QLoggingCategory::setFilterRules(rules);
}

void LogDebugHelper::onValueChanged(QString key)
{
    if (key != kvo::logRulesKey())
        return;
    qCWarning(agentLog) << "value changed:" << key;
    setRules(getValue(key).toString());
}
