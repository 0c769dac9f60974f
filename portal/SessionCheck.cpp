#include "auth/VelmoraAuth.h"

#include "portal/TimeWorker.h"

#include <QThread>

void VelmoraAuth::startSessionCheck()
{
    {
        std::lock_guard lock(stateMutex);
        if (k1.empty() || username.empty() || userid.empty() || fixedIP.empty())
            return;
    }
    auto* checkThread = new QThread(this);
    auto* context = new QObject;
    context->moveToThread(checkThread);
    connect(checkThread, &QThread::started, context, [this, checkThread] {
        // isLoggedOut is still false from construction, so this keep-alive goes out.
        if (keepALive()) {
            keepAliveWorker->enabled = true;
            {
                std::lock_guard lock(stateMutex);
                isLoggedOut = false;
                isLoggedIn = true;
            }
            onGuiThread([this] { ui.stackedWidget->setCurrentIndex(2); });
        }
        emit keepAliveFinished();
        checkThread->quit();
    });
    connect(checkThread, &QThread::finished, context, &QObject::deleteLater);
    connect(checkThread, &QThread::finished, checkThread, &QObject::deleteLater);
    workerThreads.emplace_back(checkThread);
    checkThread->start(QThread::InheritPriority);
}
