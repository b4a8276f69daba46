#pragma once
// Every OS service the windows call, in one table. The program runs with the real
// ones; tests put fakes in for the length of a test (ScopedServices).

#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "echo_attempt.h"
#include "network_watch.h"
#include "tray_service.h"

class QWidget;

namespace platform {

struct Services {
    std::function<std::unique_ptr<TrayService>()> make_tray;
    std::function<void(const std::string& command_line)> launch;
    std::function<void(const QString& address)> open_document;
    std::function<void(const QString& caption, const QString& text)> error_box;
    // Tells the application to end: its message loops end, and a message loop not started yet
    // never starts (see end_requested).
    std::function<void()> terminate;
    // The file-open dialog: returns the chosen file, or an empty string when cancelled.
    std::function<QString(QWidget* parent, const QString& start_file)> choose_file;
    // One echo exchange that the window does not wait on.
    std::function<std::unique_ptr<probe::EchoAttempt>()> make_echo_attempt;
    // What tells the window that the network may have come up.
    std::function<std::unique_ptr<probe::NetworkWatch>()> make_network_watch;
};

Services& services();

// Ends every running message loop of the application and remembers it, so that an end asked for
// during start-up (from an error box's loop, before the main loop runs) still ends the program.
void end_application();
bool end_requested();
Services system_services();

// Replaces the table for its lifetime and puts the previous one back afterwards.
class ScopedServices {
  public:
    explicit ScopedServices(Services replacement);
    ~ScopedServices();
    ScopedServices(const ScopedServices&) = delete;
    ScopedServices& operator=(const ScopedServices&) = delete;

  private:
    Services saved_;
};

}  // namespace platform
