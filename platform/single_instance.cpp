#include "single_instance.h"

#include <QCryptographicHash>
#include <QString>
#include <thread>

namespace platform {

std::unique_ptr<SingleInstance> SingleInstance::claim(const std::string& folder, Outcome& outcome,
                                                      const std::string& activation_token) {
    outcome = Outcome::unavailable;
    const std::string path = rendezvous_path(folder);
    if (path.empty()) return nullptr;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(answer_wait_ms);
    for (;;) {
        bool unusable = false;
        if (std::unique_ptr<SingleInstance> instance = hold(path, unusable)) {
            outcome = Outcome::first;
            return instance;
        }
        if (unusable) return nullptr;
        switch (ask_to_show(path, activation_token, deadline)) {
            case Asked::answered:
                outcome = Outcome::handed_over;
                return nullptr;
            case Asked::no_answer:
                outcome = Outcome::no_answer;
                return nullptr;
            case Asked::nobody_listens:
                break;  // the holder is starting, has just ended or is not taking connections: try
                        // again
        }
        if (milliseconds_until(deadline) == 0) {
            outcome = Outcome::no_answer;
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string SingleInstance::folder_key(const std::string& folder, bool ignore_case) {
    QByteArray name(folder.data(), qsizetype(folder.size()));
    if (ignore_case) name = QString::fromLocal8Bit(name).toCaseFolded().toUtf8();
    return QCryptographicHash::hash(name, QCryptographicHash::Sha256)
        .toHex()
        .left(32)
        .toStdString();
}

int SingleInstance::milliseconds_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

}  // namespace platform
