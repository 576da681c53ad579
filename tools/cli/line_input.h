// line_input.h — vorel-cli: reads the lines typed at the prompt, with line
// editing and a history kept across sessions where libedit is built in, or
// from plain standard input otherwise (or when input is not a terminal).
#pragma once

#include <optional>
#include <string>

namespace cli {

class LineInput {
public:
    LineInput();
    ~LineInput();
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    // The next line without its line end; nullopt at the end of input.
    std::optional<std::string> read(const std::string& prompt);
    // Adds a line that was run to the history.
    void remember(const std::string& line);

private:
    bool editing_ = false;  // libedit drives a terminal
    std::string history_file_;
};

}  // namespace cli
