// Giving back the clips of a damaged index that the library set aside, and
// telling the user that there is one.
#ifndef QUILLMAR_CLI_RECOVER_H
#define QUILLMAR_CLI_RECOVER_H

#include <string>

namespace host {

// Reads file (a bare name is one in the store; empty: the newest
// clips.json.corrupt.* of the store) and records every whole clip of it,
// and every image file of the store that no clip names (a whole PNG), as
// the newest clips, oldest first, with their pins and labels. Clips the
// history holds already are not added again, and clips that would evict
// the history's own (or pin more than may be pinned) are refused. Says what
// it added and, one line each, what it could not and why; with dry_run
// only what it would add. An image file whose bytes the history now holds
// under another clip is removed. The set-aside file itself stays.
int cmd_recover(const std::string &store, const std::string &file, bool dry_run);

// Says on standard error, once, that a damaged index newer than the last
// one noticed is set aside in dir, and how to recover it. The last one
// noticed is remembered in "<store>.noticed" beside the store directory.
void notice_set_aside(const std::string &dir);

}  // namespace host

#endif  // QUILLMAR_CLI_RECOVER_H
