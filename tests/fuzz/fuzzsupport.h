// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared by the fuzz targets: the application object some code paths expect, a silent message
// handler (writing every log line would make the runs I/O bound), and a failing oracle.

#include <QCoreApplication>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

inline void silentHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

// Our own argument vector: QCoreApplication may edit the one it is given, and libFuzzer reads
// its options from the real one after LLVMFuzzerInitialize.
inline void initialize(bool silent = true)
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
    if (silent)
        qInstallMessageHandler(silentHandler);
}

// Prints what the oracle saw and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "ORACLE FAILED: %s\n%s\n", what, detail.toLocal8Bit().constData());
    std::fflush(stderr);
    __builtin_trap();
}

} // namespace fuzzsupport

#define FUZZ_CHECK(condition, detail)                                                                              \
    do {                                                                                                           \
        if (!(condition))                                                                                          \
            fuzzsupport::fail(#condition, detail);                                                                 \
    } while (false)
