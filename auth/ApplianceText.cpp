#include "auth/ApplianceText.h"

#include "app/OutsideText.h"

#include <QMessageBox>

namespace velmora {

QString shownMessage(const std::string& message)
{
    // At most four bytes a character: that much fills the box, however long the message is.
    constexpr std::size_t enoughBytes = (shownMessageCharacters + 1) * 4;
    QString text = QString::fromStdString(withoutPasswords(message, enoughBytes));
    if (text.size() <= shownMessageCharacters)
        return text;
    int cut = shownMessageCharacters;
    // Never half of a character outside the basic plane.
    if (text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QStringLiteral(" [\u2026]");
}

void showInformation(QWidget* parent, const std::string& message)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"), QString(),
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setText(shownMessage(message));
    box.exec();
}

} // namespace velmora
