// The rendezvous on Windows: a named mutex held by the copy that serves the folder (the system
// releases it however that copy ends) and two named events, one a later start sets to ask for
// the window and one the holder sets to answer. The names are the session's own ("Local\").

#include <windows.h>

#include <QWinEventNotifier>

#include "single_instance.h"

namespace platform {

namespace {

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the names are ASCII
}

struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    explicit Handle(HANDLE h) : value(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (value != nullptr) CloseHandle(value);
    }
    HANDLE release() {
        HANDLE h = value;
        value = nullptr;
        return h;
    }
};

}  // namespace

SingleInstance::Asked SingleInstance::ask_to_show(const std::string& path,
                                                  const std::string& /*activation_token*/,
                                                  Clock::time_point deadline) {
    Handle asked(OpenEventW(EVENT_MODIFY_STATE, FALSE, wide(path + ".show").c_str()));
    Handle answered(OpenEventW(SYNCHRONIZE, FALSE, wide(path + ".shown").c_str()));
    // Not made yet (the holder is starting) or gone with its holder.
    if (asked.value == nullptr || answered.value == nullptr) return Asked::nobody_listens;
    // This start was the user's doing: the holder may bring its window to the front.
    AllowSetForegroundWindow(ASFW_ANY);
    if (!SetEvent(asked.value)) return Asked::no_answer;
    return WaitForSingleObject(answered.value, DWORD(milliseconds_until(deadline))) == WAIT_OBJECT_0
               ? Asked::answered
               : Asked::no_answer;
}

struct SingleInstance::Server {
    HANDLE mutex = nullptr;
    HANDLE asked = nullptr;
    HANDLE answered = nullptr;
    std::unique_ptr<QWinEventNotifier> notifier;
    ~Server() {
        notifier.reset();
        for (HANDLE h : {answered, asked, mutex})
            if (h != nullptr) CloseHandle(h);
    }
};

std::string SingleInstance::rendezvous_path(const std::string& folder) {
    return "Local\\kestrun-" + folder_key(folder);
}

std::unique_ptr<SingleInstance> SingleInstance::hold(const std::string& path, bool& unusable) {
    Handle mutex(CreateMutexW(nullptr, FALSE, wide(path + ".lock").c_str()));
    if (mutex.value == nullptr) {
        unusable = true;
        return nullptr;
    }
    const DWORD waited = WaitForSingleObject(mutex.value, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return nullptr;
    std::unique_ptr<SingleInstance> instance(new SingleInstance);
    instance->server_ = std::make_unique<Server>();
    instance->server_->mutex = mutex.release();
    // Auto-reset: one request, one answer.
    instance->server_->asked = CreateEventW(nullptr, FALSE, FALSE, wide(path + ".show").c_str());
    instance->server_->answered =
        CreateEventW(nullptr, FALSE, FALSE, wide(path + ".shown").c_str());
    return instance;
}

void SingleInstance::serve(std::function<void(const std::string&)> show) {
    if (!server_ || server_->asked == nullptr || server_->answered == nullptr) return;
    // A request made before now is still set: the notifier sees it at once.
    server_->notifier = std::make_unique<QWinEventNotifier>(server_->asked);
    QObject::connect(server_->notifier.get(), &QWinEventNotifier::activated,
                     [this, show = std::move(show)] {
                         SetEvent(server_->answered);
                         if (show) show(std::string());
                     });
}

SingleInstance::~SingleInstance() = default;

}  // namespace platform
