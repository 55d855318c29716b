#include "Warnings.h"

#include <unistd.h>

#include <chrono>
#include <ctime>

#include "common.h"
#include "log.h"
#include "settings.h"

std::map<std::string, int> WarningHolder::warnings;
std::mutex WarningHolder::warningsLock;
std::set<WarningListener*> WarningHolder::listenerList;
std::mutex WarningHolder::listenerListLock;
std::mutex WarningHolder::notifyLock;
std::condition_variable WarningHolder::notifyCV;
bool WarningHolder::runNotifyThread = false;
bool WarningHolder::notifyThreadReady = false;
std::thread* WarningHolder::notifyThread = nullptr;

static constexpr int FILE_RETRY_SECONDS = 3;

static int monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int)ts.tv_sec;
}

void WarningHolder::changed(const std::string& text, int expiry, bool erase) {
    std::unique_lock<std::mutex> nlock(notifyLock);
    {
        std::lock_guard<std::mutex> wlock(warningsLock);
        if (erase) {
            warnings.erase(text);
        } else {
            warnings[text] = expiry;
        }
    }
    notifyCV.notify_all();
}

void WarningHolder::AddWarning(const std::string& text) {
    LogDebug(VB_GENERAL, "Adding Warning: %s\n", text.c_str());
    changed(text, -1, false);
}

void WarningHolder::AddWarningTimeout(const std::string& text, int seconds) {
    LogDebug(VB_GENERAL, "Adding Warning with Timeout: %s\n", text.c_str());
    changed(text, monotonicSeconds() + seconds, false);
}

void WarningHolder::RemoveWarning(const std::string& text) {
    LogDebug(VB_GENERAL, "Removing Warning: %s\n", text.c_str());
    changed(text, 0, true);
}

std::list<std::string> WarningHolder::GetWarningsAndNotify(bool notify) {
    int now = monotonicSeconds();
    std::list<std::string> result;
    bool expired = false;
    {
        std::lock_guard<std::mutex> lock(warningsLock);
        for (auto it = warnings.begin(); it != warnings.end();) {
            if (it->second == -1 || it->second > now) {
                result.push_back(it->first);
                ++it;
            } else {
                it = warnings.erase(it);
                expired = true;
            }
        }
    }
    if (expired && notify) {
        std::lock_guard<std::mutex> lock(notifyLock);
        notifyCV.notify_all();
    }
    return result;
}

std::list<std::string> WarningHolder::GetWarnings() { return GetWarningsAndNotify(true); }

void WarningHolder::NotifyListeners() {
    std::lock_guard<std::mutex> lock(notifyLock);
    notifyCV.notify_all();
}

void WarningHolder::AddWarningListener(WarningListener* l) {
    LogDebug(VB_GENERAL, "About to add listner\n");
    {
        std::lock_guard<std::mutex> lock(listenerListLock);
        listenerList.insert(l);
    }
    LogDebug(VB_GENERAL, "Adding Listner Done\n");
}

void WarningHolder::RemoveWarningListener(WarningListener* l) {
    std::lock_guard<std::mutex> lock(listenerListLock);
    if (listenerList.erase(l)) {
        LogDebug(VB_GENERAL, "Removing Warning Listner Complete\n");
    } else {
        LogWarn(VB_GENERAL, "Requested to remove Listener, but it wasn't found\n");
    }
}

std::string WarningHolder::warningsFilePath() { return getKIVDDir("/www/warnings.json"); }

bool WarningHolder::writeWarningsFile(const std::list<std::string>& list) {
    Json::Value arr(Json::arrayValue);
    for (auto& w : list) {
        arr.append(w);
    }
    return SaveJsonToFile(arr, warningsFilePath(), "\t");
}

bool WarningHolder::writeWarningsFile(const std::string& text) { return PutFileContents(warningsFilePath(), text); }

void WarningHolder::clearWarningsFile() { unlink(warningsFilePath().c_str()); }

void WarningHolder::NotifyListenersMain() {
    SetThreadName("KIV-Warnings");
    std::unique_lock<std::mutex> lock(notifyLock);
    // A file that could not be written (a full disk) is written again every
    // few seconds until it is right, even when nothing changes meanwhile.
    bool fileBehind = !writeWarningsFile(GetWarningsAndNotify(false));
    // From here every change is seen: the first wait releases the lock.
    notifyThreadReady = true;
    notifyCV.notify_all();
    while (runNotifyThread) {
        bool changed = true;
        if (fileBehind) {
            changed = notifyCV.wait_for(lock, std::chrono::seconds(FILE_RETRY_SECONDS)) == std::cv_status::no_timeout;
        } else {
            notifyCV.wait(lock);
        }
        if (!runNotifyThread) {
            break;
        }
        std::list<std::string> current = GetWarningsAndNotify(false);
        fileBehind = !writeWarningsFile(current);
        if (!changed) {
            continue;
        }
        LogDebug(VB_GENERAL, "Warning has changed, notifying other threads of %d Warnings\n", (int)current.size());
        std::lock_guard<std::mutex> llock(listenerListLock);
        for (auto* l : listenerList) {
            l->handleWarnings(current);
        }
    }
}

void WarningHolder::StartNotifyThread() {
    // Hold the lock until the notifier itself waits, so no change made
    // after this returns can slip past it.
    std::unique_lock<std::mutex> lock(notifyLock);
    if (notifyThread) {
        return;
    }
    runNotifyThread = true;
    notifyThreadReady = false;
    notifyThread = new std::thread(NotifyListenersMain);
    notifyCV.wait(lock, [] { return notifyThreadReady; });
}

void WarningHolder::StopNotifyThread() {
    {
        std::lock_guard<std::mutex> lock(notifyLock);
        if (!notifyThread) {
            return;
        }
        runNotifyThread = false;
        notifyCV.notify_all();
    }
    notifyThread->join();
    delete notifyThread;
    notifyThread = nullptr;
}
