#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers every modal message box that opens while it lives, as a person would: it reads the
// title and text, then presses OK, or Yes or No as sayYes says. Tests read what was shown
// afterwards.
class ModalBoxes : public QObject
{
    Q_OBJECT

public:
    ModalBoxes();

    struct Box
    {
        QString title;
        QString text;
        bool hadParent = false;
        QString note; // what `note` said while the box showed
        Qt::TextFormat format = Qt::AutoText;
        QString defaultButton; // its text; empty without one
    };
    QList<Box> shown;
    bool sayYes = false;
    // Asked while each box shows, for the state of the window behind it.
    std::function<QString()> note;

private:
    void answer();

    QTimer m_timer;
};
