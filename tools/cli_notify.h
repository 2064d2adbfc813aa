// Saying a failure where the user sees it: a command bound to a hotkey has no
// terminal, so its standard error goes nowhere anyone reads.
#ifndef QUILLMAR_CLI_NOTIFY_H
#define QUILLMAR_CLI_NOTIFY_H

#include <string>

namespace host {

// Shows "quillmar-clip: <message>" as a desktop notification through
// notify-send (libnotify-bin), when standard error is not a terminal and
// notify-send is installed; the caller has said it on standard error
// already. The message is one line and must hold nothing of a clip.
void notify_user(const std::string &message);

// The notification a failing command leaves: the first complaint made while
// remember_complaints is on (cli_store.h's complain() tells us of each),
// unless a caller replaced it with one that holds nothing of a clip.
void remember_complaints();
void note_complaint(const std::string &message);
void replace_complaint(const std::string &message);
// Sends the remembered complaint, if any, with notify_user.
void notify_complaint();

}  // namespace host

#endif  // QUILLMAR_CLI_NOTIFY_H
