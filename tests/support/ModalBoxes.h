#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that opens while it lives, as a person would: it reads the
// title and text, then presses OK. Tests read what was shown afterwards.
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
    };
    QList<Box> shown;

private:
    void answer();

    QTimer m_timer;
};
