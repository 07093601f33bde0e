#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quillmark");
    QWidget window;
    window.setWindowTitle("Quillmark");
    window.show();
    return QApplication::exec();
}
