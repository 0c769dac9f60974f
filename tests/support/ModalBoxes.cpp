#include "support/ModalBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

ModalBoxes::ModalBoxes()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalBoxes::answer);
    m_timer.start(20);
}

void ModalBoxes::answer()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    shown.append({ box->windowTitle(), box->text(), box->parentWidget() != nullptr,
                   note ? note() : QString(), box->textFormat(),
                   box->defaultButton() ? box->defaultButton()->text() : QString() });
    QAbstractButton* press = box->button(QMessageBox::Ok);
    if (!press)
        press = box->button(sayYes ? QMessageBox::Yes : QMessageBox::No);
    if (press)
        QTest::mouseClick(press, Qt::LeftButton);
    else
        box->reject();
}
