#pragma once
// How the drawing commands compare the names they are given (colours,
// fonts, effects, states, directions) and quote what they refuse.

#include <cctype>
#include <string>

// Lower case, without spaces, hyphens or underscores: "Warm-White",
// "warm white" and "WarmWhite" are one name.
inline std::string FoldName(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' && c != '-' && c != '_') out += (char)tolower((unsigned char)c);
    }
    return out;
}

// A text from a client as an error message shows it: at most `max` bytes.
inline std::string Quoted(const std::string& text, size_t max = 32) {
    return text.size() > max ? text.substr(0, max) + "..." : text;
}
