#pragma once
// The process-wide set of warning texts the user must see. Any thread may
// add or remove one; a notifier thread ("KIV-Warnings") writes the set to
// <installation>/www/warnings.json and hands it to registered listeners.

#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class WarningListener {
public:
    virtual ~WarningListener() {}
    virtual void handleWarnings(std::list<std::string>& warnings) = 0;
};

class WarningHolder {
public:
    static void AddWarning(const std::string& text);
    static void AddWarningTimeout(const std::string& text, int seconds);
    static void RemoveWarning(const std::string& text);
    static std::list<std::string> GetWarnings();

    // Wakes the notifier: the file and every listener get the current set.
    static void NotifyListeners();

    static void AddWarningListener(WarningListener* l);
    static void RemoveWarningListener(WarningListener* l);

    static void StartNotifyThread();
    static void StopNotifyThread();

    // False when the file could not be replaced (it keeps its last content).
    static bool writeWarningsFile(const std::list<std::string>& warnings);
    static bool writeWarningsFile(const std::string& text);
    static void clearWarningsFile();
    static std::string warningsFilePath();

private:
    static std::list<std::string> GetWarningsAndNotify(bool notify);
    static void NotifyListenersMain();
    static void changed(const std::string& text, int expiry, bool erase);

    static std::map<std::string, int> warnings;  // text -> monotonic expiry second, -1 = never
    static std::mutex warningsLock;              // guards warnings
    static std::set<WarningListener*> listenerList;
    static std::mutex listenerListLock;          // guards listenerList
    static std::mutex notifyLock;                // pairs with notifyCV; held by the notifier except while waiting
    static std::condition_variable notifyCV;
    static bool runNotifyThread;
    static bool notifyThreadReady;  // the notifier has made its first pass
    static std::thread* notifyThread;
};
