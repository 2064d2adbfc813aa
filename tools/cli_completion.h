// Shell completion scripts for quillmar-clip, made from its own command
// line so that they never drift from it.
#ifndef QUILLMAR_CLI_COMPLETION_H
#define QUILLMAR_CLI_COMPLETION_H

#include <CLI/CLI.hpp>
#include <string>

namespace host {

// The hidden command the scripts run for the clip ids.
inline constexpr char kCompleteIdsCommand[] = "complete-ids";

// The completion script for shell ("bash", "zsh" or "fish"): the commands,
// their options, and the ids of the clips for the commands that take one
// (from quillmar-clip complete-ids, with the --store given on the line).
// Empty for another shell.
std::string completion_script(const CLI::App &app, const std::string &shell);

// What complete-ids prints: the lines of list --picker (newest first) of
// the store in dir, read from its clips.json where it lies. A Tab must
// never make or change anything: a store without a clips.json, or one the
// library would set aside as damaged, has no ids, and nothing is created,
// locked or written. Always 0.
int print_completion_ids(const std::string &dir);

}  // namespace host

#endif  // QUILLMAR_CLI_COMPLETION_H
