#include "quillmark_application.h"
#include "unit1.h"

int main(int argc, char* argv[]) {
    qm::QuillmarkApplication app(argc, argv);
    qm::QuillmarkApplication::setApplicationName(QStringLiteral("Quillmark"));
    qm::TForm1 Form1(app.shell());
    Form1.show();
    return qm::QuillmarkApplication::exec();
}
