// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/net/https.h"

#include "agent/agentlog.h"
#include "agent/protectlogvalue.h"

#include <QMetaObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

// The protocols a request may use: what the owner's configuration allows, but nothing older than
// TLS 1.2. A configuration that already starts at 1.2 or later is kept as it is, never widened.
QSsl::SslProtocol withTlsFloor(QSsl::SslProtocol configured)
{
    switch (configured) {
    case QSsl::TlsV1_2:
    case QSsl::TlsV1_2OrLater:
    case QSsl::TlsV1_3:
    case QSsl::TlsV1_3OrLater:
    case QSsl::UnknownProtocol:
        return configured;
    default:
        return QSsl::TlsV1_2OrLater;
    }
}

// A body is logged whole up to this size; beyond it only its start and its size, so one large
// reply cannot flood the log or hold the main thread in encryption for seconds.
constexpr int maxLoggedBody = 64 * 1024;

QByteArray loggedBody(const QByteArray &body)
{
    if (body.size() <= maxLoggedBody)
        return protectLogValue(body);
    return protectLogValue(body.left(maxLoggedBody)) + " (" + QByteArray::number(body.size()) + " bytes)";
}

// CR or LF in a header value would end the header and let the rest pass as headers of its own.
bool fitsHeaderValue(const QString &value)
{
    for (const QChar c : value) {
        if (c.unicode() > 0xff || (c.unicode() < 0x20 && c != QLatin1Char('\t')) || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

// Errors of the HTTP exchange itself (4xx, 5xx) carry a genuine status and body. Any other error
// (connection refused or cut, TLS, malformed response) leaves at most part of a reply, which must
// not pass for the server's answer. Qt 5.15 reports 400 and 418 as an invalid protocol operation
// and 407 as a proxy asking for credentials, outside its content and server ranges; those two
// count only when a status line came with them.
bool isHttpStatusError(QNetworkReply::NetworkError error, int httpCode)
{
    // A content error under a successful status (a body that failed to inflate) is a broken
    // transfer, not the server's answer.
    return httpCode >= 400
        && ((error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
            || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError)
            || error == QNetworkReply::ProtocolInvalidOperationError
            || error == QNetworkReply::ProxyAuthenticationRequiredError);
}

// Qt names the URL or the host in some error texts ("Error transferring <url> - server
// replied: ..."); they reach the log only in the protected form.
QString loggedErrorString(const QNetworkReply *reply)
{
    const QString text = reply->errorString();
    const QUrl url = reply->url();
    QStringList clear;
    for (const QString &value : {url.toString(), url.toDisplayString(), url.host()}) {
        if (!value.isEmpty())
            clear.append(QRegularExpression::escape(value));
    }
    if (clear.isEmpty())
        return text;
    // One pass, longest first, so no protected text is scanned again.
    std::sort(clear.begin(), clear.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    const QRegularExpression pattern(clear.join(QLatin1Char('|')));
    QString out;
    int at = 0;
    for (auto it = pattern.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += QStringView(text).mid(at, match.capturedStart() - at);
        out += QString::fromLatin1(protectLogValue(match.captured().toUtf8()));
        at = match.capturedEnd();
    }
    out += QStringView(text).mid(at);
    return out;
}

// Set on a reply aborted because its body outgrew https::maxReplyBytes.
constexpr char tooLargeProperty[] = "kvoReplyTooLarge";

} // namespace

https::https(QObject *parent)
    : QObject(parent)
{
    connect(&m_manager, &QNetworkAccessManager::finished, this, &https::replyFinished);
}

https::~https()
{
    // Replies aborted while the manager is destroyed must not reach a half-destroyed object.
    disconnect(&m_manager, nullptr, this, nullptr);
}

void https::sendPost(const QString &url, const QByteArray &data, QString token)
{
    QNetworkRequest request{QUrl()};

    // Deprecated in Qt 5.15, but the manager may still hold a stale "not accessible" state that
    // would refuse every request. Qt 6 has no such state: its manager is always accessible.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    if (m_manager.networkAccessible() == QNetworkAccessManager::NotAccessible) {
        qCWarning(agentLog) << "m_manager.networkAccessible() NotAccessible";
        m_manager.setNetworkAccessible(QNetworkAccessManager::Accessible);
    } else {
        qCInfo(agentLog) << "m_manager.networkAccessible() access";
    }
    QT_WARNING_POP
#else
    qCInfo(agentLog) << "m_manager.networkAccessible() access";
#endif

    if (!token.isEmpty()) {
        if (!fitsHeaderValue(token)) {
            qCWarning(agentLog) << "http sendPost token not usable in a header, request not sent, url:"
                                << protectLogValue(url.toUtf8());
            // Reported like a connection that failed: one signal, later, as for any request.
            const QString postName = QUrl(url, QUrl::TolerantMode).toString();
            QMetaObject::invokeMethod(this, [this, postName] {
                Q_EMIT receiveHttpsData(0, QVariantMap(), QByteArray(), postName);
            }, Qt::QueuedConnection);
            return;
        }
        token = QStringLiteral("Bearer ") + token;
        request.setRawHeader("AuthToken", token.toLatin1());
    }
    request.setUrl(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QSslConfiguration tls = request.sslConfiguration();
    tls.setProtocol(withTlsFloor(tls.protocol()));
    request.setSslConfiguration(tls);
#if QT_VERSION >= QT_VERSION_CHECK(6, 2, 0)
    // Qt 6 refuses a body that inflates past a ratio once it exceeds 10 MiB; the bound of
    // limitReplySize holds for every body, inflated or not, so that check would only refuse
    // bodies the client takes on Qt 5.
    request.setDecompressedSafetyCheckThreshold(-1);
#endif
    limitReplySize(m_manager.post(request, data));

    qCWarning(agentLog) << "http sendPost url:" << protectLogValue(url.toUtf8())
                        << "http sendPost token:" << protectLogValue(token.toUtf8());
}

// The reply keeps its whole body in memory until it finishes, so the body is watched as it
// arrives. The read buffer one byte past the limit keeps Qt from taking more off the connection
// than that; the check ends the transfer once the buffer holds more than the limit.
void https::limitReplySize(QNetworkReply *reply)
{
    reply->setReadBufferSize(maxReplyBytes + 1);
    const auto check = [reply] {
        if (reply->isFinished() || reply->property(tooLargeProperty).toBool())
            return;
        bool announced = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
        if ((announced && length > maxReplyBytes) || reply->bytesAvailable() > maxReplyBytes) {
            reply->setProperty(tooLargeProperty, true);
            qCWarning(agentLog) << "reply body larger than" << maxReplyBytes << "bytes, transfer aborted";
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, check);
    connect(reply, &QNetworkReply::readyRead, this, check);
}

void https::replyFinished(QNetworkReply *reply)
{
    int httpCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString lastSegment = reply->url().fileName(QUrl::FullyDecoded);
    qCWarning(agentLog) << "this is reply url" << protectLogValue(lastSegment.toUtf8());

    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::TimeoutError) {
        qCWarning(agentLog) << "reply finished timeout";
        reply->deleteLater();
        return;
    }

    QVariantMap headerDate;
    const QList<QNetworkReply::RawHeaderPair> pairs = reply->rawHeaderPairs();
    for (const QNetworkReply::RawHeaderPair &pair : pairs)
        headerDate.insert(QString::fromUtf8(pair.first), QVariant(pair.second));

    const bool tooLarge = reply->property(tooLargeProperty).toBool();
    const bool partial = tooLarge || (error != QNetworkReply::NoError && !isHttpStatusError(error, httpCode));
    if (error != QNetworkReply::NoError) {
        qCWarning(agentLog) << "Failed: " << httpCode << error << loggedErrorString(reply);
        if (partial)
            httpCode = 0;
    }

    m_replyTooLarge = tooLarge;
    if (lastSegment == QLatin1String("health")) {
        Q_EMIT receiveHealth(headerDate, httpCode);
    } else {
        const QByteArray returnData = partial ? QByteArray() : reply->readAll();
        qCWarning(agentLog) << "returnByte" << loggedBody(returnData);
        Q_EMIT receiveHttpsData(httpCode, headerDate, returnData, reply->url().toString());
    }
    m_replyTooLarge = false;
    reply->deleteLater();
}
