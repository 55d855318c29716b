#pragma once
// A compiled regular expression searched anywhere in a text, for patterns
// matched against pages and answers from other devices. Backed by RE2, so a
// search takes time linear in the text and bounded memory whatever the text
// holds: no backtracking, no recursion. Used by controller detection.

#include <memory>
#include <string>
#include <vector>

namespace re2 {
class RE2;
}

class RegExCache {
public:
    // ECMAScript-style syntax as far as RE2 shares it (groups, alternation,
    // classes, \d \s \w, quantifiers); texts are handled as bytes.
    explicit RegExCache(const std::string& pattern);
    ~RegExCache();
    RegExCache(const RegExCache&) = delete;
    RegExCache& operator=(const RegExCache&) = delete;

    bool ok() const;
    const std::string& pattern() const { return m_pattern; }

    // True when the expression matches somewhere in text. groups, when
    // given, receives one entry per capturing group; a group that did not
    // take part in the match is flagged in `matched` and left empty.
    struct Group {
        bool matched = false;
        std::string text;
    };
    bool search(const std::string& text, std::vector<Group>* groups = nullptr) const;

private:
    std::string m_pattern;
    std::unique_ptr<re2::RE2> m_re;
};
