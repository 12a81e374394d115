// SPDX-License-Identifier: GPL-3.0-or-later
//
// A stand-in for UDisks2 on a private system bus: block device objects with "Id" and "Drive",
// drive objects with "Id". Prints "ready" once it owns its name.
//
//   kvo-fake-udisks2 [--block NAME=DRIVE=ID]... [--drive NAME=ID]...
//
// DRIVE names an object under .../drives/; an empty DRIVE gives "/", as UDisks2 reports a
// block device without a drive.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QTextStream>

#include <memory>
#include <vector>

namespace {
const QString blockPrefix = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString drivePrefix = QStringLiteral("/org/freedesktop/UDisks2/drives/");
}

class FakeBlock : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QDBusObjectPath Drive READ drive)
public:
    FakeBlock(const QString &id, const QDBusObjectPath &drive) : m_id(id), m_drive(drive) {}
    QString id() const { return m_id; }
    QDBusObjectPath drive() const { return m_drive; }

private:
    QString m_id;
    QDBusObjectPath m_drive;
};

class FakeDrive : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Drive")
    Q_PROPERTY(QString Id READ id)
public:
    explicit FakeDrive(const QString &id) : m_id(id) {}
    QString id() const { return m_id; }

private:
    QString m_id;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("block"), QStringLiteral("Block device NAME=DRIVE=ID."), QStringLiteral("entry")});
    parser.addOption({QStringLiteral("drive"), QStringLiteral("Drive NAME=ID."), QStringLiteral("entry")});
    parser.process(app);

    QDBusConnection bus = QDBusConnection::systemBus();
    QTextStream err(stderr);
    std::vector<std::unique_ptr<QObject>> objects;
    for (const QString &entry : parser.values(QStringLiteral("block"))) {
        const QStringList parts = entry.split(QLatin1Char('='));
        if (parts.size() < 3) {
            err << "bad --block " << entry << "\n";
            return 2;
        }
        const QDBusObjectPath drive(parts.at(1).isEmpty() ? QStringLiteral("/") : drivePrefix + parts.at(1));
        objects.push_back(std::make_unique<FakeBlock>(parts.mid(2).join(QLatin1Char('=')), drive));
        if (!bus.registerObject(blockPrefix + parts.at(0), objects.back().get(), QDBusConnection::ExportAllProperties)) {
            err << "cannot register block " << parts.at(0) << "\n";
            return 2;
        }
    }
    for (const QString &entry : parser.values(QStringLiteral("drive"))) {
        const int eq = entry.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            err << "bad --drive " << entry << "\n";
            return 2;
        }
        objects.push_back(std::make_unique<FakeDrive>(entry.mid(eq + 1)));
        if (!bus.registerObject(drivePrefix + entry.left(eq), objects.back().get(), QDBusConnection::ExportAllProperties)) {
            err << "cannot register drive " << entry.left(eq) << "\n";
            return 2;
        }
    }
    if (!bus.registerService(QStringLiteral("org.freedesktop.UDisks2"))) {
        err << "cannot own org.freedesktop.UDisks2: " << bus.lastError().message() << "\n";
        return 1;
    }
    QTextStream(stdout) << "ready" << Qt::endl;
    return app.exec();
}

#include "fakeudisks2.moc"
