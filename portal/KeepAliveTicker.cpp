#include "auth/VelmoraAuth.h"

#include "app/Trace.h"
#include "portal/TimeWorker.h"

#include <QThread>

void VelmoraAuth::startKeepAliveTicker()
{
    traceInfo("start keep alive thread with detachable");
    keepAliveThread = new QThread;
    keepAliveWorker = new TimeWorker;
    keepAliveWorker->moveToThread(keepAliveThread);
    connect(keepAliveThread, &QThread::started, keepAliveWorker, &TimeWorker::process);
    // Queued: the worker lives on the ticker thread, the window on the GUI thread.
    connect(keepAliveWorker, &TimeWorker::sendDateTime, this, &VelmoraAuth::checkALive);
    connect(keepAliveThread, &QThread::finished, keepAliveWorker, &QObject::deleteLater);
    keepAliveThread->start(QThread::InheritPriority);
}
