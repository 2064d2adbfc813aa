// Shell completion scripts for quillmar-clip, made from its own command
// line so that they never drift from it.
#ifndef QUILLMAR_CLI_COMPLETION_H
#define QUILLMAR_CLI_COMPLETION_H

#include <CLI/CLI.hpp>
#include <string>

namespace host {

// The completion script for shell ("bash", "zsh" or "fish"): the commands,
// their options, and the ids of the clips for the commands that take one
// (from quillmar-clip list --picker, with the --store given on the line).
// Empty for another shell.
std::string completion_script(const CLI::App &app, const std::string &shell);

}  // namespace host

#endif  // QUILLMAR_CLI_COMPLETION_H
