// SPDX-License-Identifier: GPL-3.0-or-later
//
// A bus client for tst_policy and tst_authority, run as another user: asks for the agent's name,
// calls one of its members and prints "ok <number of reply arguments>" or the name of the error,
// sends a store and leaves at once without waiting for the reply, or floods a connection with
// large signals.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        out << "no bus: " << bus.lastError().message() << '\n';
        return 1;
    }

    if (args.size() == 2 && args[0] == QLatin1String("own")) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
            bus.interface()->registerService(args[1], QDBusConnectionInterface::DontQueueService);
        if (!reply.isValid())
            out << reply.error().name() << '\n';
        else
            out << (reply.value() == QDBusConnectionInterface::ServiceRegistered ? "ok 0" : "not owned") << '\n';
        return 0;
    }

    if (args.size() == 4 && args[0] == QLatin1String("call")) {
        // "-" leaves the interface field out of the message.
        const QString interface = args[1] == QLatin1String("-") ? QString() : args[1];
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("com.corvid.serviceandsupport"), QStringLiteral("/com/corvid/serviceandsupport/agent"),
            interface, args[2]);
        const QString signature = args[3];
        const QByteArray data("{\"policy\":1}");
        if (signature == QLatin1String("ay"))
            call << data;
        else if (signature == QLatin1String("s"))
            call << QStringLiteral("com.corvid.serviceandsupport.agent");
        else if (signature == QLatin1String("ssay"))
            call << QStringLiteral("policy") << QStringLiteral("policy.png") << data;
        else if (signature == QLatin1String("ssayb"))
            call << QStringLiteral("policy") << QStringLiteral("policy.png") << data << false;
        const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
        if (reply.type() == QDBusMessage::ReplyMessage)
            out << "ok " << reply.arguments().size() << '\n';
        else
            out << reply.errorName() << '\n';
        return 0;
    }

    if (args.size() == 2 && args[0] == QLatin1String("leave")) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("com.corvid.serviceandsupport"), QStringLiteral("/com/corvid/serviceandsupport/agent"),
            QStringLiteral("com.corvid.serviceandsupport.agent"), args[1]);
        call << QByteArray("{\"left\":1}");
        call.setAutoStartService(false);
        if (!bus.send(call)) {
            out << "not sent\n";
            return 1;
        }
        // send() only queues; flush the message out before the connection closes with the process.
        bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
        out << "sent " << bus.baseService() << '\n';
        return 0;
    }

    if (args.size() == 4 && args[0] == QLatin1String("flood")) {
        // flood DESTINATION COUNT MIB: signals addressed to one connection, as fast as the bus
        // takes them, each a little under MIB so that the header fits the bus's message limit.
        const int count = args[2].toInt();
        const QByteArray payload((args[3].toInt() << 20) - 4096, 'f');
        for (int i = 0; i < count; ++i) {
            QDBusMessage signal = QDBusMessage::createTargetedSignal(args[1], QStringLiteral("/flood"),
                                                                     QStringLiteral("com.corvid.kvo.Flood"), QStringLiteral("Flood"));
            signal << payload;
            bus.send(signal);
            // Keeps at most one signal queued here: the bus, not this process, holds the rest.
            bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
            if (i == 0) {
                out << "flooding\n";
                out.flush();
            }
        }
        out << "flooded " << count << '\n';
        return 0;
    }

    out << "usage: tst_policy_client own NAME | call INTERFACE|- MEMBER -|ay|s|ssay|ssayb | leave MEMBER | flood DEST COUNT MIB\n";
    return 2;
}
