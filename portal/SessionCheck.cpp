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
    // Any login the user starts from now on wins over this check.
    const std::uint64_t logins = loginsStarted();
    auto* checkThread = new QThread(this);
    auto* context = new QObject;
    context->moveToThread(checkThread);
    connect(checkThread, &QThread::started, context, [this, checkThread, logins] {
        // isLoggedOut is still false from construction, so this keep-alive goes out.
        bool revived = false;
        if (keepAliveExchange(logins, nullptr)) {
            {
                std::lock_guard lock(stateMutex);
                revived = userLogins == logins;
                if (revived) {
                    keepAliveWorker->enabled = true;
                    isLoggedOut = false;
                    isLoggedIn = true;
                }
            }
            if (revived)
                showConnectedPage(logins, false);
        }
        emit keepAliveFinished();
        sessionCheckEnded(revived);
        checkThread->quit();
        workEnds();
    });
    connect(checkThread, &QThread::finished, context, &QObject::deleteLater);
    connect(checkThread, &QThread::finished, checkThread, &QObject::deleteLater);
    // The tray shows the check under way until its thread has ended.
    connect(checkThread, &QThread::finished, this, [this] {
        sessionCheckUnderWay = false;
        showTrayState();
    });
    sessionCheckUnderWay = true;
    showTrayState();
    workerThreads.emplace_back(checkThread);
    workStarts();
    checkThread->start(QThread::InheritPriority);
}
