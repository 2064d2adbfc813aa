// Restoring what quillmar-clip export wrote.
#ifndef QUILLMAR_CLI_IMPORT_H
#define QUILLMAR_CLI_IMPORT_H

#include <string>

namespace host {

// Reads dir/manifest.json and its text-<id>.txt and image-<id>.png files,
// checks all of them, then records every clip oldest first, so that the
// clips come back in their order and on top of what the history holds,
// with their pins and labels (their times become the time of the import).
// Refused, with nothing recorded, when anything is unreadable or when the
// clips would not fit beside the history's own (pin cap, unpinned cap).
int cmd_import(const std::string &store, const std::string &dir);

}  // namespace host

#endif  // QUILLMAR_CLI_IMPORT_H
