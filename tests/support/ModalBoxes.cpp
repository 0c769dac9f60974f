#include "support/ModalBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
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
                   note ? note() : QString(), box->textFormat() });
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    if (ok)
        QTest::mouseClick(ok, Qt::LeftButton);
    else
        box->reject();
}
