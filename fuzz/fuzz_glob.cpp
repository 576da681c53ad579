// Fuzz target: the glob matcher against a plain recursive reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "keyspace/keyspace.h"

namespace {

bool reference(std::string_view p, std::string_view t) {
    if (p.empty()) return t.empty();
    if (p[0] == '*') {
        for (size_t i = 0; i <= t.size(); ++i) {
            if (reference(p.substr(1), t.substr(i))) return true;
        }
        return false;
    }
    if (t.empty()) return false;
    return (p[0] == '?' || p[0] == t[0]) && reference(p.substr(1), t.substr(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\0');
    if (cut == std::string_view::npos) return 0;
    std::string_view pattern = in.substr(0, cut), text = in.substr(cut + 1);
    bool got = dict_glob_match(pattern, text);
    // The reference is exponential: compare on short inputs only.
    if (pattern.size() <= 10 && text.size() <= 16 && got != reference(pattern, text)) std::abort();
    return 0;
}
