// Kestrun waits in the tray until the network answers, then starts the user's programs.

#include <QApplication>

#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "unit1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kestrun"));
    // Only the program's own exits end it: an error box or dialog closed while the main
    // window is hidden must not.
    QApplication::setQuitOnLastWindowClosed(false);

    // The main window first, then the dialogs; all live until the process ends. The main
    // window starts hidden: only its tray icon shows.
    TForm1 form1;
    Form1 = &form1;
    TForm2 form2(&form1);
    Form2 = &form2;
    TForm3 form3(&form1);
    Form3 = &form3;
    TForm4 form4(&form1);
    Form4 = &form4;
    TForm5 form5(&form1);
    Form5 = &form5;
    QApplication::setWindowIcon(form1.windowIcon());

    return QApplication::exec();
}
