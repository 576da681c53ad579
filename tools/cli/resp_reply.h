// resp_reply.h — vorel-cli: one server reply as a tree, and an incremental parser
// for every RESP2 and RESP3 reply type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct Reply {
    enum class Kind { Status, Error, Integer, Bulk, Nil, Double, Boolean, BigNumber, Verbatim, Array, Set, Map, Push };
    Kind kind = Kind::Nil;
    // Status, Error, Bulk and Verbatim text; the digits of Integer, Double and
    // BigNumber; "t" or "f" for Boolean. Verbatim keeps its "txt:" prefix.
    std::string text;
    // Array, Set and Push elements; a Map's keys and values alternately.
    std::vector<Reply> items;

    bool is_error() const { return kind == Kind::Error; }
};

enum class ParseStatus { Complete, Incomplete, Invalid };

// Parses the reply at data[pos..]. On Complete *used holds its length. An
// attribute frame is read and dropped: the reply it annotates is returned.
ParseStatus parse_reply(std::string_view data, size_t pos, Reply* out, size_t* used);

}  // namespace cli
