#include "auth/ScreenReaderNotices.h"

#include <QAccessibleWidget>
#include <QLabel>

#include <mutex>

namespace velmora {

namespace {

QAccessibleInterface* noticeInterface(const QString& className, QObject* object)
{
    if (className != QLatin1String("QLabel") || !object->property("accessibleNotice").toBool())
        return nullptr;
    // Its name is the accessibleName the form gives it: the text without its line breaks.
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
}

} // namespace

void announceNoticesToScreenReaders()
{
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(noticeInterface); });
}

} // namespace velmora
