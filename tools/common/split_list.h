// The tools' list options ("a,b,c"): one splitter, so every tool reads a
// list the same way.
#pragma once

#include <string>
#include <vector>

// `s` cut at each `sep`; empty parts (",,", a trailing comma) are dropped.
inline std::vector<std::string> split_list(const std::string &s, char sep = ',') {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find(sep, at);
        if (end == std::string::npos) end = s.size();
        if (end > at) out.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    return out;
}
