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

    // A reply whose body grows larger than this is aborted as soon as it does (or as soon as
    // its Content-Length announces it) and reported like a failed connection: status 0, no body.
    static constexpr qint64 maxReplyBytes = 16 * 1024 * 1024;
    // True while receiveHttpsData or receiveHealth reports a reply aborted for its size; read it
    // in a handler connected directly.
    bool replyTooLarge() const { return m_replyTooLarge; }

Q_SIGNALS:
    void receiveHttpsData(int httpCode, QVariantMap headerDate, QByteArray returnData, QString postName);
    void receiveHealth(QVariantMap headerDate, int statusCode);
    void receiveErrorMessage();

private Q_SLOTS:
    void replyFinished(QNetworkReply *reply);

private:
    // The tests set a transfer time-out on the manager; the transport itself sets none.
    friend class tst_Https;

    void limitReplySize(QNetworkReply *reply);

    QNetworkAccessManager m_manager;
    bool m_replyTooLarge = false;
};
