// The help texts and usage errors of quillmar-clip, in one voice: CLI11
// parses the command line, these words describe it.
#ifndef QUILLMAR_CLI_HELP_H
#define QUILLMAR_CLI_HELP_H

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>

namespace host {

// text wrapped to width columns, every line after indent spaces.
std::string wrap(const std::string &text, size_t indent, size_t width);

// The name of an option's value as help shows it ("FILE", "N"), "" for a
// flag.
std::string value_name(const CLI::Option *opt);

// COMMAND --help: the usage line, the summary, the arguments and options
// with their descriptions, and the example.
std::string command_help(const CLI::App *sub, const std::string &usage,
                         const std::string &summary, const std::string &example);

// A parse error of CLI11 as the reason of a usage error ("missing ID",
// "unknown option: --bogus", "--limit takes a number of 1 or more, not 0").
std::string usage_why(const CLI::ParseError &e);

}  // namespace host

#endif  // QUILLMAR_CLI_HELP_H
