#include "command_line.h"

#include <algorithm>

#include <CLI/CLI.hpp>

namespace skyloom::tools {

namespace {

/** A handler's verdict on its value: ends the parse at the first mistake. */
struct OptionMistake
{
    std::string text;
};

/** "--port" of "--port=1"; the argument itself when it holds no '='. */
std::string optionName(const std::string& argument)
{
    return argument.substr(0, argument.find('='));
}

/** The names of "-q,--quiet" one by one. */
std::vector<std::string> namesOf(const std::string& names)
{
    std::vector<std::string> result;
    size_t start = 0;
    while (start <= names.size())
    {
        const size_t comma = std::min(names.find(',', start), names.size());
        result.push_back(names.substr(start, comma - start));
        start = comma + 1;
    }
    return result;
}

} // namespace

CommandLine::CommandLine():
    m_app(std::make_unique<CLI::App>())
{
    m_app->set_help_flag(); //< Each tool prints its own usage text.
    m_app->allow_extras(); //< Unknown options are told in this tool's words, below.
    m_app->add_option("arguments", m_positionals)->expected(0, -1);
}

CommandLine::~CommandLine() = default;

void CommandLine::value(const std::string& names, ValueHandler handler)
{
    m_app->add_option_function<std::string>(names,
            [handler = std::move(handler)](const std::string& value)
            {
                if (std::string mistake = handler(value); !mistake.empty())
                    throw OptionMistake{std::move(mistake)};
            })
        ->trigger_on_parse(); //< In the order given, each time it is given.
}

void CommandLine::flag(const std::string& names, FlagHandler handler)
{
    for (const std::string& name: namesOf(names))
        m_flagNames.push_back(name);
    m_app->add_flag_callback(names, std::move(handler))->trigger_on_parse();
}

std::string CommandLine::parse(
    const std::vector<std::string>& args, std::vector<std::string>* positionals)
{
    // CLI11 would take "--json=1" as a flag's value; a flag here takes none.
    for (const std::string& argument: args)
    {
        if (argument == "--")
            break;
        if (argument.rfind("--", 0) == 0 && argument.find('=') != std::string::npos
            && std::count(m_flagNames.begin(), m_flagNames.end(), optionName(argument)) > 0)
        {
            return "option " + optionName(argument) + " takes no value";
        }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend()); //< As CLI11 takes them.
    try
    {
        m_app->parse(reversed);
    }
    catch (const OptionMistake& mistake)
    {
        return mistake.text;
    }
    catch (const CLI::ArgumentMismatch& e)
    {
        // "--port: 1 required TEXT missing": the option came last, or before another option.
        const std::string text = e.what();
        return "option " + text.substr(0, text.find(':')) + " needs a value";
    }
    catch (const CLI::ParseError& e)
    {
        return e.what();
    }
    // CLI11 keeps the "--" that ends the options among the arguments it did not take.
    for (const std::string& extra: m_app->remaining())
    {
        if (extra != "--" && extra.size() > 1 && extra[0] == '-')
        {
            return "unknown option " + (extra.rfind("--", 0) == 0 ? optionName(extra) : extra)
                + " (see --help)";
        }
    }
    *positionals = m_positionals;
    return {};
}

} // namespace skyloom::tools
