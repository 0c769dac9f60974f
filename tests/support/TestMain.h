#pragma once

#include "app/ProcessSignals.h"
#include "support/IsolatedHome.h"

#include <QApplication>
#include <QtTest>

// Like QTEST_MAIN, but the isolated home is in place before anything can write a trace line.
#define VELMORA_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        IsolatedHome home;                                                                         \
        velmora::ignoreBrokenPipes();                                                              \
        QApplication application(argc, argv);                                                      \
        application.setAttribute(Qt::AA_Use96Dpi, true);                                           \
        TestClass test(home);                                                                      \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
