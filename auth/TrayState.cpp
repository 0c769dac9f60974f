#include "auth/TrayState.h"

#include <QImageReader>
#include <QPixmap>

namespace velmora {

QIcon trayImage(TrayState state)
{
    const char* name = state == TrayState::Connected ? "connected"
        : state == TrayState::UnderWay               ? "busy"
                                                     : "not-connected";
    QIcon icon;
    for (const int size : { 16, 22, 32, 48 }) {
        // Read as the PNG it is: a file name alone makes Qt ask every image plugin about it.
        QImageReader image(QStringLiteral(":/VelmoraAuth/assets/tray/%1-%2.png")
                               .arg(QLatin1String(name))
                               .arg(size),
                           "png");
        image.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(image.read()));
    }
    return icon;
}

} // namespace velmora
