// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// Applies Qt logging rules taken from the "log_rules" value of the configuration service,
// at start-up and whenever the service reports a change of that value.
class LogDebugHelper : public QObject
{
    Q_OBJECT
public:
    LogDebugHelper();

    void init(const QString &appId, const QString &name);

    QString configPath;
    QString rules;

    QString requestConfigPath(const QString &appId, const QString &name);
    QVariant getValue(const QString &key);
    void appendRules(const QString &text);
    void setRules(const QString &text);

private Q_SLOTS:
    void onValueChanged(QString key);
};
