#include "auth/VelmoraAuth.h"

#include <QCoreApplication>
#include <QThread>

void VelmoraAuth::onGuiThread(std::function<void()> step)
{
    if (QThread::currentThread() == thread())
        step();
    else
        QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
}

void VelmoraAuth::paintNow()
{
    // From another thread the GUI thread is not blocked and paints by itself; processing events
    // there would only re-enter whatever it is doing.
    if (QThread::currentThread() == thread())
        QCoreApplication::processEvents();
}

void VelmoraAuth::returnToLoginPage()
{
    onGuiThread([this] {
        if (ui.stackedWidget->currentIndex() != 0)
            ui.stackedWidget->setCurrentIndex(0);
    });
}
