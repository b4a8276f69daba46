#pragma once
// Asking the running program to end from outside, as the Windows installer and uninstaller do
// before they replace or remove its files. A copy that is asked ends as "E&xit" ends it, so its
// tray icon goes with it.
//
// On Windows the request is a named manual-reset event in the user's session (its name comes
// from the build, KESTRUN_END_EVENT, and the installer uses the same): every waiting copy opens
// it and keeps it open until the process ends, and whoever sets it asks them all. Once the
// event is gone (no copy holds it any more) the asker knows that every copy has ended. Elsewhere
// nothing asks and nothing is watched.

#include <functional>
#include <memory>

class QObject;

namespace platform {

// Calls `end` on the GUI thread when the program is asked to end; an ask made before this call
// (that no copy has seen yet) counts too. Keep the returned object for as long as the request
// should be watched; nullptr where there is nothing to watch.
std::unique_ptr<QObject> watch_end_requests(std::function<void()> end);

}  // namespace platform
