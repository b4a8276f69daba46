// Kestrun waits in the tray until the network answers, then starts the user's programs.

#include <QApplication>
#include <QFont>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "Unit5.h"
#include "application_identity.h"
#include "end_request.h"
#include "error_box.h"
#include "list_rewrite.h"
#include "services.h"
#include "single_instance.h"
#include "tray_host_watch.h"
#include "unit1.h"

int main(int argc, char* argv[]) {
    // One waiting copy per list folder: a second start shows the first copy's window and ends,
    // before it opens a display or makes an icon. A working directory without a name has no
    // rendezvous; the main window reports it.
    using platform::SingleInstance;
    SingleInstance::Outcome outcome = SingleInstance::Outcome::unavailable;
    std::unique_ptr<SingleInstance> instance;
    bool folder_named = false;
    try {
        const std::string folder = store::ListPaths::current().directory();
        folder_named = true;
        // On Wayland the desktop hands a start a token that lets it raise a window; the copy
        // that shows its window needs it.
        const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
        instance = SingleInstance::claim(folder, outcome, token != nullptr ? token : "");
    } catch (const std::exception&) {
    }
    if (outcome == SingleInstance::Outcome::handed_over) return 0;
    if (outcome == SingleInstance::Outcome::no_answer) {
        std::fputs("kestrun: a copy already running for this folder does not answer\n", stderr);
        return 1;
    }
    if (outcome == SingleInstance::Outcome::unavailable && folder_named)
        std::fputs(
            "kestrun: no private folder to meet other copies in (XDG_RUNTIME_DIR, the "
            "temporary folder and ~/.cache are unusable): this copy does not check for "
            "another one\n",
            stderr);

    QApplication application(argc, argv);
    platform::set_application_identity();
    // Whether a tray host is there is asked now and answered while the windows are made.
    platform::TrayHostWatch::ask_early();
    // Only the program's own exits end it: an error box or dialog closed while the main
    // window is hidden must not.
    QApplication::setQuitOnLastWindowClosed(false);
    // The windows are laid out for "MS Sans Serif"; where it is missing, a face of its width
    // keeps every caption inside its fixed-size label.
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
         QStringLiteral("Arimo"), QStringLiteral("Arial"), QStringLiteral("Nimbus Sans")});

    // A later start's request is what a left click on the icon does. One that comes while the
    // main window is still being made waits for it.
    bool show_when_made = false;
    std::string waiting_token;
    const auto show_main_window = [](const std::string& token) {
        // Qt's Wayland plugin takes the token from the environment when the window is
        // activated; it must not reach the programs started later.
        if (!token.empty()) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
        platform::TMessage left_click;
        left_click.Msg = platform::UM_NOTIFYICON;
        left_click.LParam = platform::WM_LBUTTONDOWN;
        platform::guarded([&] { Form1->UMNotifyIcon(left_click); });
        if (!token.empty()) qunsetenv("XDG_ACTIVATION_TOKEN");
    };
    if (instance)
        instance->serve([&](const std::string& token) {
            if (Form1 != nullptr) {
                show_main_window(token);
            } else {
                show_when_made = true;
                waiting_token = token;
            }
        });

    // The main window first; it starts hidden: only its tray icon shows. The dialogs follow
    // when it first needs one, and then live until the process ends.
    TForm1 form1;
    Form1 = &form1;
    if (show_when_made) show_main_window(waiting_token);
    // The installer or uninstaller asks it to end (Windows): as "E&xit" does, so the icon goes.
    const auto end_watch =
        platform::watch_end_requests([] { platform::guarded([] { Form1->Exit1Click(); }); });
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

    // An exit chosen while start-up showed an error box ends the program here.
    const int status = platform::end_requested() ? 0 : QApplication::exec();
    instance.reset();  // its socket notifier goes before the application does
    return status;
}
