// SPDX-License-Identifier: GPL-3.0-or-later
//
// The straightforward Qt service the agent is compared with: an application object, the bus
// name, and one object whose slots write the bytes to a fixed file, as the baseline does.
//
//   kvo-bench-minimal-qt OUTPUT_DIRECTORY
#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int outputDir = -1;

void writeFile(const char *name, const QByteArray &data)
{
    const int fd = ::openat(outputDir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *p = data.constData();
    size_t size = size_t(data.size());
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        size -= size_t(n);
    }
    ::close(fd);
}

} // namespace

class MinimalService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.corvid.serviceandsupport.agent")
public Q_SLOTS:
    Q_SCRIPTABLE void updateDeviceTreeFile(const QByteArray &data) { writeFile("kvo-devicetree.json", data); }
    Q_SCRIPTABLE void updateCustomFile(const QByteArray &data) { writeFile("customer.json", data); }
    Q_SCRIPTABLE void downloadQRCode(const QString &, const QString &, const QByteArray &data,
                                     bool = false)
    {
        writeFile("qrcode.png", data);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    outputDir = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outputDir < 0)
        return 1;

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(QStringLiteral("com.corvid.serviceandsupport")))
        return 2;
    MinimalService service;
    if (!bus.registerObject(QStringLiteral("/com/corvid/serviceandsupport/agent"), &service,
                            QDBusConnection::ExportScriptableSlots))
        return 3;
    return app.exec();
}

#include "minimal-qt-service.moc"
