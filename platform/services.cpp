#include "services.h"

#include <QApplication>
#include <QMessageBox>

#include "document_opener.h"
#include "file_dialog.h"
#include "launcher.h"

namespace platform {

namespace {

void show_error_box(const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
}

}  // namespace

Services system_services() {
    Services s;
    s.make_tray = make_system_tray;
    s.launch = launch_command_line;
    s.open_document = open_document;
    s.error_box = show_error_box;
    s.terminate = end_application;
    s.choose_file = choose_executable_file;
    s.make_echo_attempt = probe::system_echo_attempt;
    s.make_network_watch = probe::system_network_watch;
    return s;
}

namespace {
bool end_asked = false;
}

void end_application() {
    end_asked = true;
    // exit(), not quit(): quit() does nothing before the main loop runs.
    QCoreApplication::exit(0);
}

bool end_requested() {
    return end_asked;
}

Services& services() {
    static Services table = system_services();
    return table;
}

ScopedServices::ScopedServices(Services replacement) : saved_(services()) {
    services() = std::move(replacement);
}

ScopedServices::~ScopedServices() {
    services() = std::move(saved_);
}

}  // namespace platform
