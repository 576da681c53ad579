// glob.cpp — the glob matcher behind key listing, scanning and pattern
// subscriptions. Only '*' (any run of bytes, including none) and '?' (exactly one
// byte) are special; every other byte, brackets and backslash included, matches
// only itself. Matching is byte-wise, case-sensitive and anchored at both ends.
#include "keyspace/keyspace.h"

bool dict_glob_match(std::string_view pattern, std::string_view text) {
    // Iterative matching that remembers only the last star seen. When a later
    // literal fails, the last star absorbs one more byte and matching resumes
    // right after it. Earlier stars never need to be revisited: whatever they
    // could absorb the last star can absorb too, so the answer equals that of
    // trying every split, in O(pattern x text) time in the worst case.
    constexpr size_t kNoStar = static_cast<size_t>(-1);
    const size_t m = pattern.size();
    const size_t n = text.size();
    size_t p = 0;
    size_t t = 0;
    size_t star = kNoStar;  // pattern index of the last star
    size_t star_text = 0;   // text index the last star's run currently ends at
    while (t < n) {
        if (p < m && pattern[p] == '*') {
            star = p++;
            star_text = t;
        } else if (p < m && (pattern[p] == '?' || pattern[p] == text[t])) {
            p++;
            t++;
        } else if (star != kNoStar) {
            p = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    // The text is used up: only stars may remain in the pattern.
    while (p < m && pattern[p] == '*') p++;
    return p == m;
}
