// The program's real entry with one addition: every modal box is answered, after its title and
// text are printed as "BOX|<title>|<text>", so a test can run the program as a child process.
#include "app/Entry.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <iostream>

namespace {

void answerModalBoxes()
{
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::cout << "BOX|" << box->windowTitle().toStdString() << '|'
                      << box->text().toStdString() << std::endl;
            box->accept();
        }
    });
    timer->start(50);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(answerModalBoxes)

int main(int argc, char* argv[])
{
    return runVelmoraAuth(argc, argv);
}
