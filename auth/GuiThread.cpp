#include "auth/VelmoraAuth.h"

#include <QCoreApplication>
#include <QThread>

void VelmoraAuth::onGuiThread(std::function<void()> step)
{
    if (QThread::currentThread() == thread()) {
        step();
        return;
    }
    {
        std::lock_guard lock(guiStepsMutex);
        guiSteps.push_back(std::move(step));
    }
    // Called by name, the queued call carries nothing of ours: the steps go through the queue
    // above, under a lock that ThreadSanitizer sees (it cannot see inside Qt's event queue).
    QMetaObject::invokeMethod(this, "runGuiSteps", Qt::QueuedConnection);
}

void VelmoraAuth::runGuiSteps()
{
    std::deque<std::function<void()>> steps;
    {
        std::lock_guard lock(guiStepsMutex);
        steps.swap(guiSteps);
    }
    for (const auto& step : steps)
        step();
}

void VelmoraAuth::runPendingEvents()
{
    // From another thread the GUI thread is not blocked and paints by itself; processing events
    // there would only re-enter whatever it is doing.
    if (QThread::currentThread() == thread())
        QCoreApplication::processEvents();
}

void VelmoraAuth::offGuiThread(std::function<bool()> exchange, std::function<void(bool)> ended)
{
    auto* exchangeThread = new QThread(this);
    auto* context = new QObject;
    context->moveToThread(exchangeThread);
    connect(exchangeThread, &QThread::started, context,
            [this, exchangeThread, exchange = std::move(exchange), ended = std::move(ended)] {
                const bool result = exchange();
                onGuiThread([ended, result] { ended(result); });
                exchangeThread->quit();
                workEnds();
            });
    connect(exchangeThread, &QThread::finished, context, &QObject::deleteLater);
    connect(exchangeThread, &QThread::finished, exchangeThread, &QObject::deleteLater);
    std::erase_if(workerThreads, [](const QPointer<QThread>& thread) { return thread.isNull(); });
    workerThreads.emplace_back(exchangeThread);
    workStarts();
    exchangeThread->start(QThread::InheritPriority);
}
