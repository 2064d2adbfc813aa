#include "cli_completion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "cli_help.h"
#include "cli_layout.h"
#include "cli_picker.h"

namespace host {
namespace {

// What a value or an argument is completed with.
enum class Kind { none, id, file, dir, shell };

Kind kind_of(const std::string &name) {
  if (name == "ID") return Kind::id;
  if (name == "FILE") return Kind::file;
  if (name == "DIR") return Kind::dir;
  if (name == "SHELL") return Kind::shell;
  return Kind::none;
}

struct OptionInfo {
  std::vector<std::string> names;  // "-o", "--output"
  bool takes_value = false;
  Kind value = Kind::none;
  std::string desc;
};

struct CommandInfo {
  std::string name, desc;
  std::vector<OptionInfo> options;
  bool has_argument = false;
  Kind argument = Kind::none;
};

// The first clause of a summary, short enough for a completion menu.
std::string short_desc(std::string_view s) {
  size_t end = s.size();
  for (std::string_view stop : {". ", ": ", "; ", " ("})
    end = std::min(end, s.find(stop));
  std::string out(s.substr(0, end));
  while (!out.empty() && out.back() == '.') out.pop_back();
  if (out.size() > 60) out = out.substr(0, out.rfind(' ', 57)) + "...";
  return out;
}

std::vector<OptionInfo> options_of(const CLI::App *app) {
  std::vector<OptionInfo> out;
  for (const CLI::Option *opt : app->get_options()) {
    if (!opt->nonpositional()) continue;
    OptionInfo o;
    for (auto &s : opt->get_snames()) o.names.push_back("-" + s);
    for (auto &l : opt->get_lnames()) o.names.push_back("--" + l);
    std::string value = value_name(opt);
    o.takes_value = !value.empty();
    o.value = kind_of(value);
    o.desc =
        opt == app->get_help_ptr() ? "show the help" : short_desc(opt->get_description());
    out.push_back(std::move(o));
  }
  // Help last, after the options that do something.
  if (!out.empty() && out.front().desc == "show the help")
    std::rotate(out.begin(), out.begin() + 1, out.end());
  return out;
}

std::vector<CommandInfo> commands_of(const CLI::App &app) {
  std::vector<CommandInfo> out;
  for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; })) {
    // A command without a group is not for people (help leaves it out too).
    if (sub->get_group().empty()) continue;
    CommandInfo c;
    c.name = sub->get_name();
    c.desc = short_desc(sub->get_description());
    c.options = options_of(sub);
    for (const CLI::Option *opt : sub->get_options()) {
      if (opt->nonpositional()) continue;
      c.has_argument = true;
      c.argument = kind_of(opt->get_name(true));
    }
    out.push_back(std::move(c));
  }
  return out;
}

// s in single quotes for sh, bash, zsh and fish alike.
std::string sh_quote(std::string_view s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string joined(const std::vector<std::string> &words, const char *sep = " ") {
  std::string out;
  for (auto &w : words) out += (out.empty() ? "" : sep) + w;
  return out;
}

std::string bash_reply(Kind kind) {
  switch (kind) {
    case Kind::id:
      return "_quillmar_clip_ids";
    case Kind::file:
      return "_quillmar_clip_paths -f";
    case Kind::dir:
      return "_quillmar_clip_paths -d";
    case Kind::shell:
      return "COMPREPLY=($(compgen -W 'bash zsh fish' -- \"$cur\"))";
    case Kind::none:
      break;
  }
  return ":";
}

std::string bash_script(const CLI::App &app) {
  std::vector<CommandInfo> commands = commands_of(app);
  std::vector<std::string> names, globals;
  for (auto &c : commands) names.push_back(c.name);
  for (auto &o : options_of(&app))
    globals.insert(globals.end(), o.names.begin(), o.names.end());
  std::string value_cases, takes_value, option_cases, argument_cases;
  for (auto &c : commands) {
    std::vector<std::string> all;
    for (auto &o : c.options) {
      all.insert(all.end(), o.names.begin(), o.names.end());
      if (!o.takes_value) continue;
      for (auto &n : o.names) {
        value_cases += "    " + sh_quote(c.name + " " + n) + ") " + bash_reply(o.value) +
                       "; return 0 ;;\n";
        takes_value += (takes_value.empty() ? "" : "|") + sh_quote(c.name + " " + n);
      }
    }
    option_cases +=
        "    " + sh_quote(c.name) + ") words=" + sh_quote(joined(all)) + " ;;\n";
    if (c.has_argument)
      argument_cases +=
          "    " + sh_quote(c.name) + ") " + bash_reply(c.argument) + " ;;\n";
  }
  return R"SH(# bash completion for quillmar-clip
# Written by 'quillmar-clip completion bash'; load it with
#   source <(quillmar-clip completion bash)

# The program and the store the command line names, for the clip ids
# (complete-ids reads the store's index and makes nothing).
_quillmar_clip_ids() {
  local prog=${COMP_WORDS[0]} id rest
  local -a ids=()
  [[ $prog == "~/"* ]] && prog=$HOME/${prog:2}
  while IFS=$'\t' read -r id rest; do
    [[ $id == "$cur"* ]] && ids+=("$id")
  done < <("$prog" ${store:+--store "$store"} complete-ids 2>/dev/null)
  COMPREPLY=("${ids[@]}")
  # Newest first, as list shows them.
  compopt -o nosort 2>/dev/null
  return 0
}

_quillmar_clip_paths() {
  local IFS=$'\n'
  COMPREPLY=($(compgen "$1" -- "$cur"))
  compopt -o filenames 2>/dev/null
  return 0
}

# Whether option $2 of command $1 takes a value.
_quillmar_clip_takes_value() {
  case "$1 $2" in
    )SH" +
         takes_value + R"SH() return 0 ;;
  esac
  return 1
}

# Completes the value of option $2 of command $1; fails when it takes none.
_quillmar_clip_value() {
  case "$1 $2" in
)SH" + value_cases +
         R"SH(  esac
  return 1
}

_quillmar_clip() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local command= store= words w i nargs=0
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if [[ -z $command ]]; then
      case $w in
        --store) ((i++)); store=${COMP_WORDS[i]} ;;
        --store=*) store=${w#--store=} ;;
        -*) ;;
        *) command=$w ;;
      esac
    elif _quillmar_clip_takes_value "$command" "$w"; then
      ((i++))
    elif [[ $w != -* || $w == - ]]; then
      ((nargs++))
    fi
  done
  [[ $store == "~/"* ]] && store=$HOME/${store:2}
  if [[ -z $command ]]; then
    if [[ $prev == --store ]]; then
      _quillmar_clip_paths -d
    elif [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W ')SH" +
         joined(globals) + R"SH(' -- "$cur"))
    else
      COMPREPLY=($(compgen -W ')SH" +
         joined(names) + R"SH(' -- "$cur"))
    fi
    return 0
  fi
  COMPREPLY=()
  _quillmar_clip_value "$command" "$prev" && return 0
  if [[ $cur == -* ]]; then
    case $command in
)SH" + option_cases +
         R"SH(    *) words= ;;
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
    return 0
  fi
  ((nargs == 0)) || return 0
  case $command in
)SH" + argument_cases +
         R"SH(  esac
  return 0
}

complete -F _quillmar_clip quillmar-clip
)SH";
}

// The _arguments word for one option.
std::string zsh_option(const OptionInfo &o) {
  std::string desc;
  for (char c : o.desc) desc += (c == '[' || c == ']' || c == ':') ? ' ' : c;
  std::string action;
  if (o.takes_value) {
    action = o.value == Kind::file  ? ":file:_files"
             : o.value == Kind::dir ? ":directory:_files -/"
                                    : ":value: ";
  }
  std::string excl = o.names.size() > 1 ? "(" + joined(o.names) + ")" : "";
  if (o.desc == "show the help") excl = "(- *)";
  std::string out;
  for (auto &n : o.names) {
    out += " " + sh_quote(excl + n + "[" + desc + "]" + action);
  }
  return out;
}

std::string zsh_argument(Kind kind) {
  switch (kind) {
    case Kind::id:
      return "1:clip id:_quillmar_clip_ids";
    case Kind::file:
      return "1:file:_files";
    case Kind::dir:
      return "1:directory:_files -/";
    case Kind::shell:
      return "1:shell:(bash zsh fish)";
    case Kind::none:
      break;
  }
  return "1:argument: ";
}

std::string zsh_script(const CLI::App &app) {
  std::string list, cases, globals;
  for (auto &o : options_of(&app)) globals += " \\\n    " + zsh_option(o).substr(1);
  for (auto &c : commands_of(app)) {
    list += "    " + sh_quote(c.name + ":" + c.desc) + "\n";
    cases += "        " + sh_quote(c.name) + ")\n          _arguments";
    for (auto &o : c.options) cases += zsh_option(o);
    if (c.has_argument) cases += " " + sh_quote(zsh_argument(c.argument));
    cases += " && ret=0 ;;\n";
  }
  return R"SH(#compdef quillmar-clip
# zsh completion for quillmar-clip
# Written by 'quillmar-clip completion zsh'; load it with
#   source <(quillmar-clip completion zsh)
# or save it as _quillmar-clip in a directory of $fpath.

# The clip ids of the store the command line names, newest first, each
# with its preview (complete-ids reads the store's index and makes nothing).
_quillmar_clip_ids() {
  local -a lines ids
  local l
  lines=(${(f)"$(_call_program clip-ids ${(q)_quillmar_clip_prog} \
    ${_quillmar_clip_store:+--store ${(q)_quillmar_clip_store}} complete-ids 2>/dev/null)"})
  for l in $lines; do
    ids+=("${l%%$'\t'*}:${${l#*$'\t'}//:/\\:}")
  done
  _describe -V -t clip-ids 'clip id' ids
}

_quillmar-clip() {
  local curcontext=$curcontext state line ret=1
  local -A opt_args
  local _quillmar_clip_prog=${words[1]} _quillmar_clip_store
  _arguments -C)SH" +
         globals + R"SH( \
    '1:command:->command' \
    '*::argument:->argument' && ret=0
  case $state in
    command)
      local -a commands
      commands=(
)SH" + list +
         R"SH(      )
      _describe -V -t commands command commands && ret=0
      ;;
    argument)
      _quillmar_clip_store=${(Q)opt_args[--store]}
      case ${words[1]} in
)SH" + cases +
         R"SH(      esac
      ;;
  esac
  return ret
}

if [[ ${funcstack[1]} == _quillmar-clip ]]; then
  _quillmar-clip "$@"
else
  compdef _quillmar-clip quillmar-clip
fi
)SH";
}

std::string fish_option(const std::string &condition, const OptionInfo &o) {
  std::string out = "complete -c quillmar-clip -n " + sh_quote(condition);
  for (auto &n : o.names)
    out += n.size() == 2 ? " -s " + n.substr(1) : " -l " + n.substr(2);
  if (o.takes_value) {
    out += o.value == Kind::file  ? " -r -F"
           : o.value == Kind::dir ? " -r -a '(__fish_complete_directories)'"
                                  : " -r";
  }
  return out + " -d " + sh_quote(o.desc) + "\n";
}

std::string fish_script(const CLI::App &app) {
  std::string body;
  for (auto &o : options_of(&app)) body += fish_option("not __quillmar_clip_command", o);
  for (auto &c : commands_of(app)) {
    body += "complete -c quillmar-clip -n 'not __quillmar_clip_command' -a " +
            sh_quote(c.name) + " -d " + sh_quote(c.desc) + "\n";
  }
  for (auto &c : commands_of(app)) {
    std::string condition = "__quillmar_clip_using " + c.name;
    for (auto &o : c.options) body += fish_option(condition, o);
    if (!c.has_argument) continue;
    std::string head = "complete -c quillmar-clip -n " + sh_quote(condition);
    switch (c.argument) {
      case Kind::id:
        body += head + " -k -a '(__quillmar_clip_ids)'\n";
        break;
      case Kind::file:
        body += head + " -F\n";
        break;
      case Kind::dir:
        body += head + " -a '(__fish_complete_directories)'\n";
        break;
      case Kind::shell:
        body += head + " -a 'bash zsh fish'\n";
        break;
      case Kind::none:
        break;
    }
  }
  return R"SH(# fish completion for quillmar-clip
# Written by 'quillmar-clip completion fish'; load it with
#   quillmar-clip completion fish | source

# The command on the line (the first word that is neither an option nor the
# value of --store); fails when there is none yet.
function __quillmar_clip_command
    set -l words (commandline -opc)
    set -e words[1]
    while set -q words[1]
        switch $words[1]
            case --store
                set -e words[1]
            case '-*'
            case '*'
                echo $words[1]
                return 0
        end
        set -e words[1]
    end
    return 1
end

function __quillmar_clip_using
    set -l command (__quillmar_clip_command)
    and test "$command" = "$argv[1]"
end

# ID<TAB>PREVIEW lines: fish shows the preview as the description.
function __quillmar_clip_ids
    set -l words (commandline -opc)
    set -l prog $words[1]
    set -l store
    set -e words[1]
    while set -q words[2]
        if test "$words[1]" = --store
            set store --store $words[2]
        end
        set -e words[1]
    end
    # complete-ids reads the store's index and makes nothing.
    $prog $store complete-ids 2>/dev/null
end

complete -c quillmar-clip -f
)SH" + body;
}

}  // namespace

int print_completion_ids(const std::string &dir) {
  struct stat st;
  if (stat(index_path(dir).c_str(), &st) != 0) return 0;
  std::vector<IndexedClip> clips;
  bool damaged = false;
  std::string error;
  if (!read_index(dir, &clips, &damaged, &error) || damaged) return 0;
  std::string out;
  for (auto it = clips.rbegin(); it != clips.rend(); ++it)
    out.append(picker_line(it->id, it->preview)).push_back('\n');
  fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

std::string completion_script(const CLI::App &app, const std::string &shell) {
  if (shell == "bash") return bash_script(app);
  if (shell == "zsh") return zsh_script(app);
  if (shell == "fish") return fish_script(app);
  return "";
}

}  // namespace host
