#include "auth/InformationBox.h"

#include "app/OutsideText.h"

#include <QApplication>
#include <QMessageBox>
#include <QStyle>

namespace velmora {

QString shownMessage(const std::string& message)
{
    // At most four bytes a character: that much fills the box, however long the message is.
    constexpr std::size_t enoughBytes = (shownMessageCharacters + 1) * 4;
    const QString masked = QString::fromStdString(withoutPasswords(message, enoughBytes));
    // As in the log: nothing may reorder the box's text or break it where the appliance chose.
    // A line break, a separator or another control becomes a blank, so the words on either side
    // stay apart.
    QString text;
    text.reserve(masked.size());
    for (const QChar c : masked) {
        const char16_t point = c.unicode();
        if (isControlCharacter(point) || point == 0x2028 || point == 0x2029)
            text += QLatin1Char(' ');
        else if (!isSteeringCharacter(point))
            text += c;
    }
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

void prepareInformationBox()
{
    QStyle* style = QApplication::style();
    const int iconSize = style->pixelMetric(QStyle::PM_MessageBoxIconSize);
    style->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(iconSize, iconSize);
    const int buttonIconSize = style->pixelMetric(QStyle::PM_ButtonIconSize);
    style->standardIcon(QStyle::SP_DialogOkButton).pixmap(buttonIconSize, buttonIconSize);
}

} // namespace velmora
