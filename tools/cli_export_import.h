// export and import: the history copied out into a directory of plain files
// with a manifest that describes them, and restored from one. The manifest's
// format is written and read in cli_export_import.cpp alone.
#ifndef QUILLMAR_CLI_EXPORT_IMPORT_H
#define QUILLMAR_CLI_EXPORT_IMPORT_H

#include <string>

namespace host {

// Copies every clip of the store into dir (made when missing, refused when
// not empty): a text-<id>.txt or image-<id>.png file each, and
// manifest.json, which lists them newest first. Exit status 1 when a clip
// could not be copied (the others are).
int cmd_export(const std::string &store, const std::string &dir);

// Reads dir/manifest.json and its text-<id>.txt and image-<id>.png files,
// checks all of them, then records every clip oldest first, so that the
// clips come back in their order and on top of what the history holds,
// with their pins and labels (their times become the time of the import).
// Refused, with nothing recorded, when anything is unreadable or when the
// clips would not fit beside the history's own (pin cap, unpinned cap).
int cmd_import(const std::string &store, const std::string &dir);

}  // namespace host

#endif  // QUILLMAR_CLI_EXPORT_IMPORT_H
