// line_input.cpp — vorel-cli: the prompt. With libedit (VOREL_HAVE_LIBEDIT) and
// a terminal on standard input, lines are edited in place and the history is
// kept in ~/.vorel_cli_history; otherwise lines come from standard input as they
// are, and the prompt is shown only to a terminal.
#include "tools/cli/line_input.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/platform.h"

#ifdef VOREL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace cli {

LineInput::LineInput() {
#ifdef VOREL_HAVE_LIBEDIT
    editing_ = platform::stdin_is_terminal();
    if (editing_) {
        using_history();
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
            history_file_ = std::string(home) + "/.vorel_cli_history";
            read_history(history_file_.c_str());
        }
    }
#endif
}

LineInput::~LineInput() {
#ifdef VOREL_HAVE_LIBEDIT
    if (editing_ && !history_file_.empty()) write_history(history_file_.c_str());
#endif
}

std::optional<std::string> LineInput::read(const std::string& prompt) {
#ifdef VOREL_HAVE_LIBEDIT
    if (editing_) {
        char* line = readline(prompt.c_str());
        if (line == nullptr) return std::nullopt;
        std::string text(line);
        std::free(line);
        return text;
    }
#endif
    if (platform::stdin_is_terminal()) {
        std::cout << prompt << std::flush;
    }
    std::string text;
    if (!std::getline(std::cin, text)) return std::nullopt;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

void LineInput::remember(const std::string& line) {
#ifdef VOREL_HAVE_LIBEDIT
    if (editing_) add_history(line.c_str());
#else
    (void)line;
#endif
}

}  // namespace cli
