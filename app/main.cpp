#include <frmClient.h>

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    ui::frmClient window;
    window.show();
    return app.exec();
}
