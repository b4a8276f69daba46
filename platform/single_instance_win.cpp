// The rendezvous on Windows: a named mutex held by the copy that serves the folder (the system
// releases it however that copy ends) and two named events, one a later start sets to ask for
// the window and one the holder sets to answer. The names are the session's own ("Local\").

#include <windows.h>

#include <QCryptographicHash>
#include <QWinEventNotifier>
#include <chrono>
#include <thread>

#include "single_instance.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the names are ASCII
}

int milliseconds_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
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

enum class Asked { answered, nobody_listens, no_answer };

Asked ask_to_show(const std::string& path, Clock::time_point deadline) {
    Handle asked(OpenEventW(EVENT_MODIFY_STATE, FALSE, wide(path + ".show").c_str()));
    Handle answered(OpenEventW(SYNCHRONIZE, FALSE, wide(path + ".shown").c_str()));
    // Not made yet (the holder is starting) or gone with its holder.
    if (asked.value == nullptr || answered.value == nullptr) return Asked::nobody_listens;
    if (!SetEvent(asked.value)) return Asked::no_answer;
    return WaitForSingleObject(answered.value, DWORD(milliseconds_until(deadline))) == WAIT_OBJECT_0
               ? Asked::answered
               : Asked::no_answer;
}

}  // namespace

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
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray(folder.data(), qsizetype(folder.size())),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    return "Local\\kestrun-" + digest.toStdString();
}

std::unique_ptr<SingleInstance> SingleInstance::claim(const std::string& folder, Outcome& outcome) {
    outcome = Outcome::unavailable;
    const std::string path = rendezvous_path(folder);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(answer_wait_ms);
    for (;;) {
        Handle mutex(CreateMutexW(nullptr, FALSE, wide(path + ".lock").c_str()));
        if (mutex.value == nullptr) return nullptr;
        const DWORD waited = WaitForSingleObject(mutex.value, 0);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            std::unique_ptr<SingleInstance> instance(new SingleInstance);
            instance->server_ = std::make_unique<Server>();
            instance->server_->mutex = mutex.release();
            // Auto-reset: one request, one answer.
            instance->server_->asked =
                CreateEventW(nullptr, FALSE, FALSE, wide(path + ".show").c_str());
            instance->server_->answered =
                CreateEventW(nullptr, FALSE, FALSE, wide(path + ".shown").c_str());
            outcome = Outcome::first;
            return instance;
        }
        switch (ask_to_show(path, deadline)) {
            case Asked::answered:
                outcome = Outcome::handed_over;
                return nullptr;
            case Asked::no_answer:
                outcome = Outcome::no_answer;
                return nullptr;
            case Asked::nobody_listens:
                break;  // the holder is starting or has just ended: try the mutex again
        }
        if (milliseconds_until(deadline) == 0) {
            outcome = Outcome::no_answer;
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void SingleInstance::serve(std::function<void()> show) {
    if (!server_ || server_->asked == nullptr || server_->answered == nullptr) return;
    // A request made before now is still set: the notifier sees it at once.
    server_->notifier = std::make_unique<QWinEventNotifier>(server_->asked);
    QObject::connect(server_->notifier.get(), &QWinEventNotifier::activated,
                     [this, show = std::move(show)] {
                         SetEvent(server_->answered);
                         if (show) show();
                     });
}

SingleInstance::~SingleInstance() = default;

}  // namespace platform
