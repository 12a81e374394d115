// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-sysinfo [--pretty]
//
// Prints the facts the agent gathers about this machine as one JSON object on standard output,
// keys in a fixed order. Log lines go to standard error in the agent's line format, with the
// protected values as the agent writes them.
#include "agentcore.h"
#include "constants.h"
#include "sysinfo/blockdevicecollector.h"
#include "sysinfo/systeminfo.h"

#include <simplelog/lineformatter.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>

#include <cstdio>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

simplelog::LineFormatter *g_formatter = nullptr;

void toStandardError(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = g_formatter->format(type, context, message).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

QJsonObject recordObject(const QMap<QString, QString> &values)
{
    QJsonObject object;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// QJsonObject sorts its keys; the facts keep their own order, so the object is written by hand.
QByteArray orderedObject(const std::vector<std::pair<QString, QJsonValue>> &members, bool pretty)
{
    QByteArray out = "{";
    bool first = true;
    for (const auto &[key, value] : members) {
        const QByteArray pair = QJsonDocument(QJsonArray{key, value}).toJson(QJsonDocument::Compact);
        // [ "key", value ] -> "key": value
        const QByteArray keyText = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        QByteArray valueText;
        if (value.isObject())
            valueText = QJsonDocument(value.toObject()).toJson(pretty ? QJsonDocument::Indented : QJsonDocument::Compact).trimmed();
        else
            valueText = pair.mid(keyText.size() + 2).chopped(1);
        if (pretty)
            valueText.replace("\n", "\n    ");
        out += first ? "" : ",";
        out += pretty ? "\n    " : "";
        out += keyText + (pretty ? ": " : ":") + valueText;
        first = false;
    }
    out += pretty ? "\n}\n" : "}\n";
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(kvo::localeCodec));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvo-sysinfo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Prints the facts the service-and-support agent gathers about this machine as JSON."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("pretty"), QStringLiteral("Indent the JSON.")});
    parser.process(app);

    simplelog::LineFormatter formatter(kvo::logFormat());
    g_formatter = &formatter;
    qInstallMessageHandler(toStandardError);

    AgentCore core;
    SystemInfo info;
    BlockDeviceCollector *disks = info.blockDeviceCollector();

    if (::getuid() != 0)
        std::fputs("kvo-sysinfo: not running as root: ataIdentity needs root to query the disk, so it is empty\n", stderr);

    const std::vector<std::pair<QString, QJsonValue>> facts = {
        {QStringLiteral("osVersion"), recordObject(core.osVersion().values)},
        {QStringLiteral("oemVersion"), recordObject(core.oemVersion().values)},
        {QStringLiteral("boardInfo"), info.getBoardInfo()},
        {QStringLiteral("cpuInfo"), info.getCpuInfo()},
        {QStringLiteral("installTime"), info.getInstallTime()},
        {QStringLiteral("raidState"), info.raidState()},
        {QStringLiteral("vmState"), info.vmState()},
        {QStringLiteral("macAddress"), info.getMacAddress(false)},
        {QStringLiteral("activeMacAddress"), info.getActiveMacAddress()},
        {QStringLiteral("systemDiskName"), disks->systemDiskName()},
        {QStringLiteral("systemPartitionName"), disks->systemPartitionName()},
        {QStringLiteral("systemDiskModelSerial"), disks->systemDiskModelSerial()},
        {QStringLiteral("systemDiskIdCompact"), info.systemDiskIdCompact()},
        {QStringLiteral("systemDiskNameByPairs"), info.systemDiskNameByPairs()},
        {QStringLiteral("ataIdentity"), disks->ataIdentity()},
        {QStringLiteral("udisksBlockId"), info.udisksBlockId()},
        {QStringLiteral("udisksDriveId"), info.udisksDriveId()},
    };
    const QByteArray json = orderedObject(facts, parser.isSet(QStringLiteral("pretty")));
    const bool written = std::fwrite(json.constData(), 1, size_t(json.size()), stdout) == size_t(json.size())
        && std::fflush(stdout) == 0;
    return written ? 0 : 1;
}
