// Kestrun waits in the tray until the network answers, then starts the user's programs.

#include <QApplication>
#include <QFont>
#include <memory>

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
    // The windows are laid out for "MS Sans Serif"; where it is missing, a face of its width
    // keeps every caption inside its fixed-size label.
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
         QStringLiteral("Arimo"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans")});

    // The main window first; it starts hidden: only its tray icon shows. The dialogs follow
    // when it first needs one, and then live until the process ends.
    TForm1 form1;
    Form1 = &form1;
    QApplication::setWindowIcon(form1.windowIcon());
    std::unique_ptr<TForm2> form2;
    std::unique_ptr<TForm3> form3;
    std::unique_ptr<TForm4> form4;
    std::unique_ptr<TForm5> form5;
    make_dialogs = [&] {
        if (form2) return;
        form2 = std::make_unique<TForm2>(&form1);
        Form2 = form2.get();
        form3 = std::make_unique<TForm3>(&form1);
        Form3 = form3.get();
        form4 = std::make_unique<TForm4>(&form1);
        Form4 = form4.get();
        form5 = std::make_unique<TForm5>(&form1);
        Form5 = form5.get();
    };

    return QApplication::exec();
}
