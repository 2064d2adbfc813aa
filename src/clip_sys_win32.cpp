// The system-call seam on Windows. Paths arrive as UTF-8 and are converted
// to UTF-16 for the wide calls only: a narrow call would read them in the
// ANSI code page and make "störe" a folder named "stÃ¶re". Every failure is
// reported as on POSIX (-1 or null and errno); the Windows error behind it is
// kept so that a message can carry the system's own text for it.
#include "clip_sys.h"

#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <windows.h>

namespace {

// Room for the longest path the library forms (a 4095-byte store directory
// and a file name), as UTF-16, with the "\\?\UNC\" prefix of a long path.
constexpr size_t kWidePathCap = 4608;

// A rename or delete that meets a file held open for a moment by a virus
// scanner, an indexer or a backup tool is tried again, a few times, a few
// tens of milliseconds apart; a holder that never lets go makes the call
// fail after about a quarter of a second.
constexpr int kRetries = 5;
constexpr DWORD kRetryDelayMs = 25;

// The last Windows error a call met, and the errno it was reported as.
constinit DWORD g_win_error = 0;
constinit int g_win_errno = 0;
// For a sharing violation, the access the other process does not share
// ("read", "delete"); null for any other error.
constinit const char *g_unshared = nullptr;
constinit char g_error_text[512] = {};

int errno_of(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NO_UNICODE_TRANSLATION:
      return EILSEQ;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

// A failure of a Windows call, with its error code.
int fail_win(DWORD e) {
  g_win_error = e;
  g_win_errno = errno_of(e);
  g_unshared = nullptr;
  errno = g_win_errno;
  return -1;
}

// A failure because another process holds the file open without sharing
// `access` with others: reported as EACCES, with a text that says so.
int fail_unshared(const char *access) {
  fail_win(ERROR_SHARING_VIOLATION);
  g_unshared = access;
  return -1;
}

// A failure with no Windows error behind it (an injected fault, a name too
// long): its message carries the C runtime's text.
int fail_errno(int e) {
  g_win_error = 0;
  errno = e;
  return -1;
}

bool is_retryable(DWORD e) {
  return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED ||
         e == ERROR_LOCK_VIOLATION;
}

void retry_pause(int attempt) { Sleep(kRetryDelayMs * static_cast<DWORD>(attempt + 1)); }

// A UTF-8 path as the NUL-terminated UTF-16 string the wide calls take.
// Paths too long for the classic limit get the "\\?\" form, which takes them
// whole once they are made absolute.
class wide_path {
 public:
  // False, with errno set, when path is not valid UTF-8 or too long.
  bool from(const char *path) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, buf_,
                                static_cast<int>(kWidePathCap));
    if (n == 0) {
      DWORD e = GetLastError();
      if (e == ERROR_INSUFFICIENT_BUFFER) return fail_errno(ENAMETOOLONG) == 0;
      return fail_win(e) == 0;
    }
    // CreateDirectoryW's limit is MAX_PATH less room for an 8.3 file name.
    if (static_cast<size_t>(n) < MAX_PATH - 12 || wcsncmp(buf_, L"\\\\?\\", 4) == 0) {
      return true;
    }
    return make_long();
  }
  const wchar_t *get() const { return buf_; }

 private:
  bool make_long() {
    wchar_t full[kWidePathCap];
    DWORD n = GetFullPathNameW(buf_, static_cast<DWORD>(kWidePathCap), full, nullptr);
    if (n == 0) return fail_win(GetLastError()) == 0;
    if (n >= kWidePathCap - 8) return fail_errno(ENAMETOOLONG) == 0;
    if (full[0] == L'\\' && full[1] == L'\\') {
      // \\server\share\... becomes \\?\UNC\server\share\...
      wcscpy(buf_, L"\\\\?\\UNC");
      wcscat(buf_, full + 1);
    } else {
      wcscpy(buf_, L"\\\\?\\");
      wcscat(buf_, full);
    }
    return true;
  }
  wchar_t buf_[kWidePathCap];
};

int fd_of(HANDLE h, int flags) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return fail_errno(EMFILE);
  }
  return fd;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void info_of(const BY_HANDLE_FILE_INFORMATION &bhi, DWORD type, clip_file_info *out) {
  out->size = (static_cast<uint64_t>(bhi.nFileSizeHigh) << 32) | bhi.nFileSizeLow;
  out->directory = (bhi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->regular = !out->directory && type == FILE_TYPE_DISK;
}

// What stands on a name, without following a final reparse point.
DWORD attributes_of(const wide_path &w) { return GetFileAttributesW(w.get()); }

// When a rename or delete was refused, whether a read-only attribute on
// `target` was the cause: then the attribute is taken off, since a file's own
// permissions do not keep it from being replaced or removed on POSIX either.
bool cleared_read_only(const wide_path &target) {
  DWORD attrs = attributes_of(target);
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      (attrs & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  return SetFileAttributesW(target.get(), attrs & ~FILE_ATTRIBUTE_READONLY) != 0;
}

// Whether another process holds the file at w open without delete sharing.
// A rename onto such a file fails with ERROR_ACCESS_DENIED, as for a lack
// of rights; asking for delete access alone tells the two apart.
bool held_without_delete_sharing(const wide_path &w) {
  HANDLE h = CreateFileW(w.get(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// The failure of a rename or delete that replaces or removes target.
int fail_removal(const wide_path &target, DWORD e) {
  if (e == ERROR_SHARING_VIOLATION ||
      (e == ERROR_ACCESS_DENIED && held_without_delete_sharing(target))) {
    return fail_unshared("delete");
  }
  return fail_win(e);
}

// Runs op, a rename or delete that replaces or removes target, until it
// succeeds or meets an error no retry can help.
template <class Op>
int with_retry(const wide_path &target, Op op) {
  bool cleared = false;
  for (int attempt = 0;; ++attempt) {
    if (op()) return 0;
    DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED) {
      DWORD attrs = attributes_of(target);
      if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return fail_errno(EISDIR);
      }
      if (!cleared && cleared_read_only(target)) {
        cleared = true;
        continue;
      }
    }
    if (!is_retryable(e) || attempt + 1 >= kRetries) return fail_removal(target, e);
    retry_pause(attempt);
  }
}

int delete_name(const wide_path &w) {
  return with_retry(w, [&] { return DeleteFileW(w.get()) != 0; });
}

}  // namespace

struct clip_dir {
  HANDLE find;
  bool pending;  // data holds an entry not yet handed out
  WIN32_FIND_DATAW data;
  char name[MAX_PATH * 3 + 1];
};

int clip_sys_open_read(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) return fail_errno(EACCES);
  wide_path w;
  if (!w.from(path)) return -1;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // A file held open for a moment without read sharing (a scanner, a
  // backup tool) is waited for as a rename waits for it.
  for (int attempt = 0;; ++attempt) {
    HANDLE h = CreateFileW(w.get(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return fd_of(h, _O_RDONLY);
    DWORD e = GetLastError();
    DWORD attrs = e == ERROR_ACCESS_DENIED ? attributes_of(w) : INVALID_FILE_ATTRIBUTES;
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      // A directory opens only this way; the caller then sees what it is.
      h = CreateFileW(w.get(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (h == INVALID_HANDLE_VALUE) return fail_win(GetLastError());
      return fd_of(h, _O_RDONLY);
    }
    if (!is_retryable(e) || attempt + 1 >= kRetries) {
      return e == ERROR_SHARING_VIOLATION ? fail_unshared("read") : fail_win(e);
    }
    retry_pause(attempt);
  }
}

int clip_sys_create_fresh(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPEN)) return fail_errno(EACCES);
  wide_path w;
  if (!w.from(path)) return -1;
  // Something could take the name again between the removal and the
  // creation; a few rounds outlast anything but a deliberate race.
  for (int round = 0; round < 4; ++round) {
    // Only the owner's handle writes; readers and a later rename may share
    // it. A name whose old file is still held open elsewhere is free again
    // only once that handle closes, so CREATE_NEW is tried again as a rename
    // is.
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD e = 0;
    for (int attempt = 0;; ++attempt) {
      h = CreateFileW(w.get(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) return fd_of(h, _O_WRONLY);
      e = GetLastError();
      DWORD attrs = attributes_of(w);
      if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) break;
      if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return fail_errno(EISDIR);
      }
      if (!is_retryable(e) || attempt + 1 >= kRetries) return fail_win(e);
      retry_pause(attempt);
    }
    DWORD attrs = attributes_of(w);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
      DWORD gone = GetLastError();
      if (gone == ERROR_FILE_NOT_FOUND || gone == ERROR_PATH_NOT_FOUND) continue;
      return fail_win(gone);
    }
    bool link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) return fail_errno(EISDIR);
    if (CLIP_FAULT(CLIP_FAULT_UNLINK)) return fail_errno(EIO);
    // A link to a directory goes as a directory does; what it names stays.
    int removed = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0
                      ? (RemoveDirectoryW(w.get()) ? 0 : fail_win(GetLastError()))
                      : delete_name(w);
    if (removed != 0 && errno != ENOENT) return -1;
  }
  return fail_errno(EEXIST);
}

ssize_t clip_sys_read(int fd, void *buf, size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_READ)) return fail_errno(EIO);
  DWORD want = n > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(n);
  DWORD got = 0;
  if (!ReadFile(handle_of(fd), buf, want, &got, nullptr)) {
    DWORD e = GetLastError();
    if (e == ERROR_HANDLE_EOF || e == ERROR_BROKEN_PIPE) return 0;
    return fail_win(e);
  }
  return static_cast<ssize_t>(got);
}

ssize_t clip_sys_write(int fd, const void *buf, size_t n) {
  if (CLIP_FAULT(CLIP_FAULT_WRITE)) return fail_errno(ENOSPC);
  DWORD want = n > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(n);
  DWORD put = 0;
  if (!WriteFile(handle_of(fd), buf, want, &put, nullptr)) return fail_win(GetLastError());
  return static_cast<ssize_t>(put);
}

int clip_sys_fsync(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_SYNC)) return fail_errno(EIO);
  if (!FlushFileBuffers(handle_of(fd))) return fail_win(GetLastError());
  return 0;
}

int clip_sys_close(int fd) {
  if (CLIP_FAULT(CLIP_FAULT_CLOSE)) {
    _close(fd);
    return fail_errno(EIO);
  }
  if (_close(fd) != 0) return fail_errno(errno);
  return 0;
}

int clip_sys_fstat(int fd, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) return fail_errno(EIO);
  HANDLE h = handle_of(fd);
  BY_HANDLE_FILE_INFORMATION bhi;
  if (!GetFileInformationByHandle(h, &bhi)) return fail_win(GetLastError());
  info_of(bhi, GetFileType(h), out);
  return 0;
}

int clip_sys_stat(const char *path, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) return fail_errno(EIO);
  wide_path w;
  if (!w.from(path)) return -1;
  // Opening the name follows links to what they name, as stat does; the
  // backup flag lets a directory be opened too.
  HANDLE h = CreateFileW(w.get(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_win(GetLastError());
  BY_HANDLE_FILE_INFORMATION bhi;
  bool ok = GetFileInformationByHandle(h, &bhi) != 0;
  DWORD e = GetLastError();
  DWORD type = GetFileType(h);
  CloseHandle(h);
  if (!ok) return fail_win(e);
  info_of(bhi, type, out);
  return 0;
}

int clip_sys_lstat(const char *path, clip_file_info *out) {
  if (CLIP_FAULT(CLIP_FAULT_STAT)) return fail_errno(EIO);
  wide_path w;
  if (!w.from(path)) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(w.get(), GetFileExInfoStandard, &data)) {
    return fail_win(GetLastError());
  }
  bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  out->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link;
  out->regular = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !link;
  return 0;
}

int clip_sys_mkdir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_MKDIR)) return fail_errno(EIO);
  wide_path w;
  if (!w.from(path)) return -1;
  // No mode: the folder gets the default ACL it inherits, the user
  // profile's for a store under it.
  if (!CreateDirectoryW(w.get(), nullptr)) return fail_win(GetLastError());
  return 0;
}

int clip_sys_rename(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) return fail_errno(EIO);
  wide_path wf, wt;
  if (!wf.from(from) || !wt.from(to)) return -1;
  return with_retry(wt, [&] {
    return MoveFileExW(wf.get(), wt.get(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

int clip_sys_rename_noreplace(const char *from, const char *to) {
  if (CLIP_FAULT(CLIP_FAULT_RENAME)) return fail_errno(EIO);
  wide_path wf, wt;
  if (!wf.from(from) || !wt.from(to)) return -1;
  // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move
  // (ERROR_ALREADY_EXISTS, reported as EEXIST) and is never replaced.
  return with_retry(wf, [&] {
    return MoveFileExW(wf.get(), wt.get(), MOVEFILE_WRITE_THROUGH) != 0;
  });
}

int clip_sys_unlink(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_UNLINK)) return fail_errno(EIO);
  wide_path w;
  if (!w.from(path)) return -1;
  return delete_name(w);
}

// Windows has no way to make the directory entry of a rename durable apart
// from the rename itself: MOVEFILE_WRITE_THROUGH returns once the move is on
// the disk, which is as far as a directory sync would go.
int clip_sys_sync_dir(const char *) {
  if (CLIP_FAULT(CLIP_FAULT_SYNC)) return fail_errno(EIO);
  return 0;
}

clip_dir *clip_sys_opendir(const char *path) {
  if (CLIP_FAULT(CLIP_FAULT_OPENDIR)) {
    fail_errno(EIO);
    return nullptr;
  }
  wide_path w;
  if (!w.from(path)) return nullptr;
  wchar_t pattern[kWidePathCap + 2];
  size_t n = wcslen(w.get());
  if (n + 3 > sizeof pattern / sizeof pattern[0]) {
    fail_errno(ENAMETOOLONG);
    return nullptr;
  }
  wcscpy(pattern, w.get());
  if (n > 0 && pattern[n - 1] != L'\\' && pattern[n - 1] != L'/') pattern[n++] = L'\\';
  pattern[n++] = L'*';
  pattern[n] = L'\0';
  // Not through the library's allocator: opendir's own allocation is not
  // one of the library's either.
  clip_dir *dir = static_cast<clip_dir *>(malloc(sizeof(clip_dir)));
  if (dir == nullptr) {
    fail_errno(ENOMEM);
    return nullptr;
  }
  dir->find = FindFirstFileW(pattern, &dir->data);
  dir->pending = dir->find != INVALID_HANDLE_VALUE;
  if (dir->find == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e != ERROR_FILE_NOT_FOUND && e != ERROR_NO_MORE_FILES) {
      free(dir);
      fail_win(e);
      return nullptr;
    }
  }
  return dir;
}

const char *clip_sys_readdir(clip_dir *dir) {
  if (!dir->pending) {
    if (dir->find == INVALID_HANDLE_VALUE || !FindNextFileW(dir->find, &dir->data)) {
      return nullptr;
    }
  }
  dir->pending = false;
  int n = WideCharToMultiByte(CP_UTF8, 0, dir->data.cFileName, -1, dir->name,
                              static_cast<int>(sizeof dir->name), nullptr, nullptr);
  if (n == 0) dir->name[0] = '\0';
  return dir->name;
}

void clip_sys_closedir(clip_dir *dir) {
  if (dir == nullptr) return;
  if (dir->find != INVALID_HANDLE_VALUE) FindClose(dir->find);
  free(dir);
}

int64_t clip_sys_time() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // FILETIME counts 100 ns ticks from 1601-01-01.
  constexpr uint64_t kUnixEpoch = 116444736000000000ULL;
  return static_cast<int64_t>((ticks - kUnixEpoch) / 10000000ULL);
}

size_t clip_sys_page_size() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// Hints only, and none that Windows takes for a file being written or for a
// heap block: the disk is written at the flush, the pages fault in as they
// are filled and go back when the buffer is freed.
void clip_sys_write_hint(int, uint64_t, uint64_t) {}

void clip_sys_release_pages(void *, size_t) {}

void clip_sys_prefault_pages(void *, size_t) {}

const char *clip_sys_error_text(int err) {
  if (g_win_error == 0 || err != g_win_errno) return strerror(err);
  if (g_unshared != nullptr) {
    snprintf(g_error_text, sizeof g_error_text,
             "another process holds the file open without %s sharing", g_unshared);
    return g_error_text;
  }
  wchar_t wide[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, g_win_error, 0, wide,
                           static_cast<DWORD>(sizeof wide / sizeof wide[0]), nullptr);
  int len = n == 0 ? 0
                   : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), g_error_text,
                                         static_cast<int>(sizeof g_error_text - 1), nullptr,
                                         nullptr);
  if (len <= 0) {
    snprintf(g_error_text, sizeof g_error_text, "Windows error %lu",
             static_cast<unsigned long>(g_win_error));
    return g_error_text;
  }
  // One line, as every message is: line breaks become spaces, and the
  // trailing break and full stop go.
  g_error_text[len] = '\0';
  for (int i = 0; i < len; ++i) {
    if (g_error_text[i] == '\r' || g_error_text[i] == '\n') g_error_text[i] = ' ';
  }
  while (len > 0 && (g_error_text[len - 1] == ' ' || g_error_text[len - 1] == '.')) {
    g_error_text[--len] = '\0';
  }
  return g_error_text;
}

bool clip_sys_keeps_last_name(const char *path) {
  size_t end = strlen(path);
  while (end > 0 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\' &&
         path[start - 1] != ':') {
    --start;
  }
  size_t len = end - start;
  // "." and ".." are resolved alike wherever they stand.
  if (len == 0 || (len == 1 && path[start] == '.') ||
      (len == 2 && path[start] == '.' && path[start + 1] == '.')) {
    return true;
  }
  // Also with a separator after it: "C:\x\clips \" would make a folder
  // that keeps its space, a name most Windows programs cannot open.
  return path[end - 1] != ' ' && path[end - 1] != '.';
}
