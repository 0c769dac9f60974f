// The floor of the start and memory measures: what any Qt Widgets program with this window
// costs, so that the benchmark can tell what velmora-auth adds to it. A bare main window of the
// same fixed size with a tray icon that carries an icon, shown, and nothing else.
#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.setFixedSize(400, 600);

    QPixmap image(64, 64);
    image.fill(Qt::blue);
    QSystemTrayIcon trayIcon { QIcon(image) };
    trayIcon.setVisible(true);

    window.show();
    return application.exec();
}
