#pragma once
// Shared helpers of the daemon and the sequence tools: clocks, date
// integers, files, JSON, strings, keywords, HTTP, hex dumps, base64,
// network interfaces, thread names and the process-wide shutdown hook.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

class KIVLoggerInstance;

// Clocks. GetTime (µs), GetTimeMicros (the same) and GetTimeMS count on the
// monotonic clock: it never steps when the wall clock is set (NTP on a
// board without a battery clock), so intervals, time-outs and expiries
// measured with it stay true. Their values mean nothing as dates.
long long GetTime();
long long GetTimeMicros();
long long GetTimeMS();
long long GetMonotonicMS();  // the same as GetTimeMS
// The wall clock, µs since the epoch: for what is kept or shown as a date.
long long GetWallTime();
std::string GetTimeStr(std::string format);
std::string GetDateStr(std::string format);
std::string secondsToTime(int secs);

// Date integers YYYYMMDD (MMDD and DD without year / month)
int DateStrToInt(const char* str);
int GetCurrentDateInt(int daysOffset = 0);
bool DateInRange(int date, int startDate, int endDate);
bool DateInRange(long when, int startDate, int endDate);
bool CurrentDateInRange(int startDate, int endDate);

// Files
bool DirectoryExists(const char* path);
bool DirectoryExists(const std::string& path);
bool FileExists(const char* path);
bool FileExists(const std::string& path);
void Touch(const char* path);
void Touch(const std::string& path);
std::string GetFileContents(const std::string& path);
bool PutFileContents(const std::string& path, const std::string& text);
// A file written under a temporary name beside `path` (hidden, so listings
// skip it) that takes the name only on Commit, once its bytes are on the
// disk; destroyed uncommitted, the temporary is removed and `path` is as it
// was. Used by PutFileContents and for files that arrive in pieces.
class FileReplacer {
public:
    explicit FileReplacer(const std::string& path);
    ~FileReplacer();
    FileReplacer(const FileReplacer&) = delete;
    FileReplacer& operator=(const FileReplacer&) = delete;
    // False (errno set) when the temporary could not be created.
    bool Open();
    bool Write(const char* data, size_t len);
    bool Commit();
    // Closes and removes the temporary at once (its space is free again).
    void Discard();
    // The reason of the last failure.
    const std::string& Error() const { return m_error; }
    // The temporary's path until Commit (to look at what was written).
    const std::string& TempPath() const { return m_temp; }

private:
    std::string m_path, m_dir, m_base, m_temp, m_error;
    int m_fd = -1;
};
bool CopyFileContents(const std::string& from, const std::string& to);
std::string tail(const std::string& text, size_t n);
// The process's file mode creation mask, without changing it.
mode_t ProcessUmask();
bool SetFilePerms(const char* path, bool executable = false);
bool SetFilePerms(const std::string& path, bool executable = false);
std::string GetFileExtension(const std::string& name);
bool CheckForHostSpecificFile(const char* host, std::string& path);
bool CheckForHostSpecificFile(const std::string& host, std::string& path);
void CloseOpenFiles();

// JSON
bool LoadJsonFromString(const std::string& text, Json::Value& value);
// The same parse without a log line: for texts from peers that may send
// garbage in a loop, whose callers report problems at a bounded rate.
bool ParseJson(const std::string& text, Json::Value& value);
// The same, giving the first line of the parser's complaint when the text
// does not parse: for configuration files, whose refusal says why.
bool ParseJson(const std::string& text, Json::Value& value, std::string* error);
Json::Value LoadJsonFromString(const std::string& text);
bool LoadJsonFromFile(const std::string& path, Json::Value& value);
Json::Value LoadJsonFromFile(const std::string& path);
std::string SaveJsonToString(const Json::Value& value, const std::string& indentation = "");
// With numbers written to that many significant digits (17 above, enough
// for any double to read back the same): measured values, where 12.034
// should not read 12.034000000000001.
std::string SaveJsonToString(const Json::Value& value, const std::string& indentation, int significantDigits);
bool SaveJsonToString(const Json::Value& value, std::string& out, const std::string& indentation = "");
bool SaveJsonToFile(const Json::Value& value, const std::string& path, const std::string& indentation = "\t");
void MergeJsonValues(Json::Value& into, Json::Value& from);
// An integer member of a configuration object, also written as a bool, a
// whole number in a double or numeric text ("101", "0x10"); def when absent
// or unreadable.
int JsonInt(const Json::Value& config, const char* key, int def);

// Strings
void TrimWhiteSpace(std::string& s);
bool startsWith(const std::string& s, const std::string& prefix);
bool endsWith(const std::string& s, const std::string& suffix);
bool contains(const std::string& s, const std::string& part);
void toUpper(std::string& s);
void toLower(std::string& s);
std::string toUpperCopy(const std::string& s);
std::string toLowerCopy(const std::string& s);
std::vector<std::string> split(const std::string& s, char delim);
void split(const std::string& s, char delim, std::vector<std::string>& out);
std::vector<std::string> splitWithQuotes(const std::string& s, char delim);
bool replaceAll(std::string& s, const std::string& from, const std::string& to);
bool ReplaceString(std::string& s, const std::string& from, const std::string& to);
bool replaceStart(std::string& s, const std::string& from, const std::string& to);
bool replaceEnd(std::string& s, const std::string& from, const std::string& to);
std::string getSimpleXMLTag(const std::string& text, const std::string& tag);
std::string getSimpleHTMLTTag(const std::string& html, const std::string& marker, const std::string& open,
                              const std::string& close);
std::string ReplaceKeywords(std::string text, std::map<std::string, std::string>& keywords);
std::string base64Encode(const unsigned char* data, unsigned int len);
std::vector<unsigned char> base64Decode(const std::string& text);
unsigned char ReverseBitsInByte(unsigned char b);

// Network
int GetInterfaceAddress(const char* iface, char* addr, char* mask, char* gateway);
// The first IPv4 address of interface `iface`; false when it has none.
bool InterfaceIPv4Address(const std::string& iface, struct in_addr& address);
const char* FindInterfaceForIP(char* ip);

// HTTP through libcurl, synchronous
bool urlHelper(const std::string& method, const std::string& url, const std::string& body, std::string& response,
               unsigned int timeoutSeconds);
bool urlGet(const std::string& url, std::string& response);
bool urlPost(const std::string& url, const std::string& body, std::string& response);
bool urlPut(const std::string& url, const std::string& body, std::string& response);
bool urlDelete(const std::string& url, const std::string& body, std::string& response);
size_t urlWriteData(void* buffer, size_t size, size_t nmemb, void* userp);
// GET for answers from devices that are not trusted: the answer is read up
// to maxBytes (larger ones fail), HTTP statuses of 400 and above fail, no
// proxy and no redirects are used, the whole request ends within timeoutMs.
// On failure, error (when given) holds a one-line reason.
bool urlGetBounded(const std::string& url, std::string& response, long timeoutMs, size_t maxBytes,
                   std::string* error = nullptr);

// Logging helper
void HexDump(const char* title, const void* data, int len, KIVLoggerInstance& facility, int perLine = 16);

// Process
// Names the calling thread and gives it an alternate signal stack
// (EnsureSignalStack): every thread of the daemon names itself first thing.
void SetThreadName(const std::string& name);
// Gives the calling thread a stack for signal handlers of its own, so a
// handler installed with SA_ONSTACK (the crash report) still runs when the
// thread's stack has overflowed. A thread that has one already (the
// sanitizers give every thread one) keeps it; ours goes when the thread ends.
void EnsureSignalStack();
void RegisterShutdownHandler(std::function<void(bool)> handler);
void ShutdownKIVD(bool restart);
