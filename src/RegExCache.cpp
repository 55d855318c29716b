#include "RegExCache.h"

#include <re2/re2.h>

#include "log.h"

RegExCache::RegExCache(const std::string& pattern) : m_pattern(pattern) {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    m_re = std::make_unique<RE2>(pattern, options);
    if (!m_re->ok()) {
        LogErr(VB_GENERAL, "Invalid regular expression '%s': %s\n", pattern.c_str(), m_re->error().c_str());
    }
}

RegExCache::~RegExCache() {}

bool RegExCache::ok() const { return m_re && m_re->ok(); }

bool RegExCache::search(const std::string& text, std::vector<Group>* groups) const {
    if (!ok()) return false;
    int n = groups ? m_re->NumberOfCapturingGroups() : 0;
    std::vector<re2::StringPiece> pieces(n + 1);
    if (!m_re->Match(text, 0, text.size(), RE2::UNANCHORED, pieces.data(), n + 1)) {
        return false;
    }
    if (groups) {
        groups->assign(n, Group());
        for (int i = 0; i < n; ++i) {
            const re2::StringPiece& p = pieces[i + 1];
            if (p.data() != nullptr) {
                (*groups)[i].matched = true;
                (*groups)[i].text.assign(p.data(), p.size());
            }
        }
    }
    return true;
}
