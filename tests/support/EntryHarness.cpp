// The program's real entry with additions for tests that run it as a child process. Lines for the
// test go to standard error: standard output goes nowhere when it is not a terminal.
// - Every modal box is answered, after its title and text are printed as "BOX|<title>|<text>".
// - VELMORA_HARNESS_STEPS, a comma-separated list, is worked through once the window shows, a step
//   every 300 ms and none while a box is open: "close" closes the window as its title-bar button
//   does, "login" presses Login, "exit" triggers the tray menu's Exit, "report" prints
//   "WINDOW|visible=<0|1>|minimized=<0|1>|scale=<device pixels per pixel>", "fit" prints
//   "CLIPPED|<object name>|<size needed>|<size given>" for every text of the pages that does not
//   fit its widget, then "FIT|done". Each step is announced as "STEP|<name>".
// - Lines on standard input are steps too, run as they come: a test gives them at the moment it
//   chooses, and a GUI thread that is held answers them only when it is free again.
// - VELMORA_HARNESS_EXIT_AT: the tray menu's Exit is triggered as soon as the log gains a line
//   holding this text, to end the program at a chosen step of a login.
// - Whenever the tray icon's state image changes, "TRAY|<connected|busy|not-connected|other>".
#include "app/Entry.h"
#include "app/LogLocation.h"
#include "support/VelmoraAuthInspector.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QTimer>

#include <iostream>
#include <memory>
#include <optional>

#include <unistd.h>

namespace {

QMainWindow* mainWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<QMainWindow*>(widget))
            return window;
    }
    return nullptr;
}

std::string text(QSize size)
{
    return std::to_string(size.width()) + 'x' + std::to_string(size.height());
}

// What a widget's text needs beside what it has; nothing for a widget without text.
std::optional<std::pair<QSize, QSize>> neededAndGiven(QWidget* widget)
{
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
        const QString shown = field->text().isEmpty() ? field->placeholderText() : field->text();
        const QSize needed(field->fontMetrics().horizontalAdvance(shown),
                           field->fontMetrics().height());
        return std::pair(needed, field->contentsRect().size());
    }
    if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty()) {
        const QSize needed = label->wordWrap()
            ? QSize(0, label->heightForWidth(label->contentsRect().width()))
            : label->sizeHint();
        return std::pair(needed, label->size());
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && !button->text().isEmpty())
        return std::pair(button->sizeHint(), button->size());
    return std::nullopt;
}

void reportWhatDoesNotFit(QMainWindow* window)
{
    // The address and port fields show only with their boxes unticked.
    for (const char* name : { "autoDetectIpAddress", "autoDetectPortAddress" }) {
        if (auto* box = window->findChild<QCheckBox*>(QLatin1String(name)))
            box->click();
    }
    auto* pages = window->findChild<QStackedWidget*>(QStringLiteral("stackedWidget"));
    for (int page = 0; pages && page < 3; ++page) {
        pages->setCurrentIndex(page);
        QCoreApplication::processEvents();
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            const auto sizes = widget->isVisible() ? neededAndGiven(widget) : std::nullopt;
            if (sizes
                && (sizes->first.width() > sizes->second.width()
                    || sizes->first.height() > sizes->second.height()))
                std::cerr << "CLIPPED|" << widget->objectName().toStdString() << '|'
                          << text(sizes->first) << '|' << text(sizes->second) << std::endl;
        }
    }
    std::cerr << "FIT|done" << std::endl;
}

void pressExit(QMainWindow* window)
{
    for (QAction* action : window->findChildren<QAction*>()) {
        if (action->text() == QLatin1String("Exit"))
            action->trigger();
    }
}

void runStep(const QString& step)
{
    QMainWindow* window = mainWindow();
    if (!window)
        return;
    std::cerr << "STEP|" << step.toStdString() << std::endl;
    if (step == QLatin1String("close")) {
        window->close();
    } else if (step == QLatin1String("login")) {
        if (auto* login = window->findChild<QAbstractButton*>(QStringLiteral("login")))
            login->click();
    } else if (step == QLatin1String("exit")) {
        pressExit(window);
    } else if (step == QLatin1String("report")) {
        std::cerr << "WINDOW|visible=" << window->isVisible()
                  << "|minimized=" << window->isMinimized()
                  << "|scale=" << window->devicePixelRatioF() << std::endl;
    } else if (step == QLatin1String("fit")) {
        reportWhatDoesNotFit(window);
    }
}

void startHarness()
{
    auto* timer = new QTimer(QCoreApplication::instance());
    auto steps =
        std::make_shared<QStringList>(QString::fromLocal8Bit(qgetenv("VELMORA_HARNESS_STEPS"))
                                          .split(QLatin1Char(','), Qt::SkipEmptyParts));
    auto sinceStep = std::make_shared<int>(0);
    auto trayState = std::make_shared<QString>();
    QObject::connect(timer, &QTimer::timeout, [steps, sinceStep, trayState] {
        if (auto* window = qobject_cast<VelmoraAuth*>(mainWindow())) {
            const QString state = VelmoraAuthInspector(*window).trayImage();
            if (state != *trayState) {
                *trayState = state;
                std::cerr << "TRAY|" << state.toStdString() << std::endl;
            }
        }
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::cerr << "BOX|" << box->windowTitle().toStdString() << '|'
                      << box->text().toStdString() << std::endl;
            box->accept();
            *sinceStep = 0;
            return;
        }
        const QMainWindow* window = mainWindow();
        if (steps->isEmpty() || !window || (*sinceStep += 50) < 300)
            return;
        *sinceStep = 0;
        runStep(steps->takeFirst());
    });
    timer->start(50);
}

void runStepsFromInput()
{
    auto* input =
        new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, QCoreApplication::instance());
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(input, &QSocketNotifier::activated, [input, pending] {
        char buffer[256];
        const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (received <= 0) {
            input->setEnabled(false);
            return;
        }
        pending->append(buffer, static_cast<int>(received));
        for (int end = pending->indexOf('\n'); end >= 0; end = pending->indexOf('\n')) {
            const QString step = QString::fromUtf8(pending->left(end)).trimmed();
            pending->remove(0, end + 1);
            if (!step.isEmpty())
                runStep(step);
        }
    });
}

void pressExitAtLogLine()
{
    const QByteArray text = qgetenv("VELMORA_HARNESS_EXIT_AT");
    if (text.isEmpty())
        return;
    const QString log = QString::fromStdString(velmora::logFilePath());
    const qint64 start = QFile(log).size();
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [timer, text, log, start] {
        QFile file(log);
        QMainWindow* window = mainWindow();
        if (!window || !file.open(QIODevice::ReadOnly) || !file.seek(start)
            || !file.readAll().contains(text))
            return;
        timer->stop();
        pressExit(window);
    });
    // Every millisecond: the step to catch may last only a few.
    timer->setTimerType(Qt::PreciseTimer);
    timer->start(1);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startHarness)
Q_COREAPP_STARTUP_FUNCTION(pressExitAtLogLine)
Q_COREAPP_STARTUP_FUNCTION(runStepsFromInput)

int main(int argc, char* argv[])
{
    // Started by hand as well as by the tests: whatever starts it, a login's search must never
    // run the real route tracer.
    qputenv("PATH", QByteArray(VELMORA_FAKE_TOOLS) + ':' + qgetenv("PATH"));
    return runVelmoraAuth(argc, argv);
}
