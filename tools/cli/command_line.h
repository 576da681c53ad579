// command_line.h — vorel-cli: a typed command line split into arguments, and
// arguments framed as a request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Splits at spaces and tabs. "double quotes" take the escapes \" \\ \n \r \t
// \a \b and \xHH; 'single quotes' take \'. A closing quote must end its
// argument. nullopt for unbalanced quotes; an empty vector for a blank line.
std::optional<std::vector<std::string>> split_command_line(std::string_view line);

// Appends the multibulk request form of args to out.
void append_request(const std::vector<std::string>& args, std::string* out);

}  // namespace cli
