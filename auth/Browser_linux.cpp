#include "auth/Browser.h"

#include <QDesktopServices>
#include <QUrl>

namespace velmora {

void openInBrowser(const std::string& url)
{
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

} // namespace velmora
