// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QNetworkReply;

// Posts JSON documents over HTTPS and hands every reply back through signals. Several requests
// may be in flight at once; their replies are told apart by postName.
class https : public QObject
{
    Q_OBJECT

public:
    explicit https(QObject *parent);
    ~https() override;

    void sendPost(const QString &url, const QByteArray &data, QString token);

Q_SIGNALS:
    void receiveHttpsData(int httpCode, QVariantMap headerDate, QByteArray returnData, QString postName);
    void receiveHealth(QVariantMap headerDate, int statusCode);
    void receiveErrorMessage();

private Q_SLOTS:
    void replyFinished(QNetworkReply *reply);

private:
    // The tests set a transfer time-out on the manager; the transport itself sets none.
    friend class tst_Https;

    QNetworkAccessManager m_manager;
};
