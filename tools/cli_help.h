// The help texts and usage errors of quillmar-clip, in one voice: CLI11
// parses the command line, these words describe it. What help says of each
// command is here too, in a table keyed by the command's name; what the
// command takes and runs is in cli_main.cpp's table of commands.
#ifndef QUILLMAR_CLI_HELP_H
#define QUILLMAR_CLI_HELP_H

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <string_view>

namespace host {

// What help says of a command.
struct CommandHelp {
  const char *name;
  // Its heading in quillmar-clip --help; "" for a command that is not for
  // people (other programs run it), which that help and the completion
  // scripts leave out.
  const char *group;
  const char *synopsis;  // its usage, after "quillmar-clip "
  const char *summary;
  const char *example;  // a whole command line
};

// The help of the command called name; nullptr for a name without one.
const CommandHelp *help_of(std::string_view name);

// quillmar-clip --help: the usage, the commands of app that are for people
// under their headings, in the order app has them, and the options and
// words every command shares.
std::string main_help(const CLI::App *app);

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
