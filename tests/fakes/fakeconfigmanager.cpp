// SPDX-License-Identifier: GPL-3.0-or-later
//
// A stand-in for the desktop configuration service on a private system bus. It hands out one
// configuration object for the agent's application id and name and serves its values; the
// extra methods let a test change a value and have "valueChanged" sent, or delay the answers.
//
//   kvo-fake-configmanager [--value KEY=TEXT]...
#include "agent/constants.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QHash>
#include <QTextStream>
#include <QThread>

namespace {
const char configPath[] = "/org/desktopspec/ConfigManager/kvo_service_support_agent";
}

class ConfigObject : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.desktopspec.ConfigManager.Manager")
public:
    QHash<QString, QString> values;
    int replyDelayMs = 0;

public Q_SLOTS:
    QDBusVariant value(const QString &key)
    {
        // Lets a test hold the agent's main thread inside a blocking call.
        if (replyDelayMs > 0)
            QThread::msleep(ulong(replyDelayMs));
        return QDBusVariant(values.value(key));
    }
    void setReplyDelay(int ms) { replyDelayMs = ms; }
    void setValue(const QString &key, const QString &text)
    {
        values.insert(key, text);
        Q_EMIT valueChanged(key);
    }
    void emitValueChanged(const QString &key) { Q_EMIT valueChanged(key); }

Q_SIGNALS:
    void valueChanged(const QString &key);
};

class ConfigManager : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.desktopspec.ConfigManager")
public Q_SLOTS:
    QDBusObjectPath acquireManager(const QString &appId, const QString &name, const QString &subpath)
    {
        if (appId != kvo::configAppId() || name != kvo::configName() || subpath != kvo::configSubPath()) {
            sendErrorReply(QStringLiteral("org.desktopspec.ConfigManager.Error.NotFound"),
                           QStringLiteral("no configuration %1/%2/%3").arg(appId, name, subpath));
            return {};
        }
        return QDBusObjectPath(QString::fromLatin1(configPath));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("value"), QStringLiteral("Initial value KEY=TEXT."), QStringLiteral("pair")});
    parser.process(app);

    ConfigObject object;
    for (const QString &pair : parser.values(QStringLiteral("value"))) {
        const int eq = pair.indexOf(QLatin1Char('='));
        if (eq > 0)
            object.values.insert(pair.left(eq), pair.mid(eq + 1));
    }
    ConfigManager manager;

    QDBusConnection bus = QDBusConnection::systemBus();
    const auto options = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (!bus.registerObject(QStringLiteral("/"), &manager, options)
        || !bus.registerObject(QString::fromLatin1(configPath), &object, options)
        || !bus.registerService(kvo::configService())) {
        QTextStream(stderr) << "fake configuration service: cannot serve: " << bus.lastError().message() << '\n';
        return 1;
    }
    return app.exec();
}

#include "fakeconfigmanager.moc"
