#pragma once

#include "app/ProcessSignals.h"
#include "support/IsolatedHome.h"

#include <QApplication>
#include <QtTest>

// The fake tools folder goes first on PATH, so no test, and no program a test starts, can run the
// real route tracer.
inline void keepRealToolsAway()
{
    qputenv("PATH", QByteArray(VELMORA_FAKE_TOOLS) + ':' + qgetenv("PATH"));
}

// Like QTEST_MAIN, but the isolated home is in place before anything can write a trace line.
#define VELMORA_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        IsolatedHome home;                                                                         \
        keepRealToolsAway();                                                                       \
        velmora::ignoreBrokenPipes();                                                              \
        QApplication application(argc, argv);                                                      \
        application.setAttribute(Qt::AA_Use96Dpi, true);                                           \
        TestClass test(home);                                                                      \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
