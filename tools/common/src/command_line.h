// The tools' command lines, read by CLI11: options that take a value and flags, each handled by
// a function of the tool's own (which checks the value and keeps it), in the order given, and
// the positional arguments (those after "--" too). Every mistake comes back as one line of text:
// "unknown option --x (see --help)", "option --port needs a value", "option --json takes no
// value", or the handler's own; never as an exception. The usage texts stay the tools' own (the
// manual pages are made from them): CLI11's help is off.
// Threads: one object per command line, used by one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
} // namespace CLI

namespace skyloom::tools {

class CommandLine
{
public:
    /** Checks and keeps the value; returns "" or the line that says what is wrong with it. */
    using ValueHandler = std::function<std::string(const std::string& value)>;
    using FlagHandler = std::function<void()>;

    CommandLine();
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    /** An option with a value ("--port 1", "--port=1"); `names` as "--port" or "-p,--port". */
    void value(const std::string& names, ValueHandler handler);

    void flag(const std::string& names, FlagHandler handler);

    /**
     * Reads the arguments (without the program's name), calling the handlers; the positional
     * arguments go to *positionals in their order. Returns "" or the first mistake.
     */
    [[nodiscard]] std::string parse(
        const std::vector<std::string>& args, std::vector<std::string>* positionals);

private:
    std::unique_ptr<CLI::App> m_app;
    std::vector<std::string> m_flagNames; //< Every name of every flag, for "takes no value".
    std::vector<std::string> m_positionals;
};

} // namespace skyloom::tools
