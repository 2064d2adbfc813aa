/*
 * quillmar-clipboard-history: a bounded, persistent clipboard history.
 *
 * The library keeps the history of one store directory per process. A host
 * that follows the system clipboard hands it every new text and PNG image;
 * the library records them in the directory (an index file "clips.json" and
 * one "img_<id>.png" file per image) and answers listing, fetching and search
 * calls with JSON.
 *
 * The contract, for every function below:
 *
 *  1. Results. Functions returning int return 1 on success and 0 on failure.
 *     Functions returning char * return a new NUL-terminated string, or NULL
 *     on failure. Every such string belongs to the caller, who releases it
 *     with clip_free_string() and with nothing else.
 *  2. Errors. After a failure, clip_last_error() returns a one-line message
 *     saying why; after a success it returns "". The message belongs to the
 *     library and is overwritten by the next call: copy it if you need it.
 *  3. Order. clip_init() must succeed before any other call does its work;
 *     until then they fail with "not initialized".
 *  4. Threads. None. The library keeps one global store, starts no threads
 *     and takes no locks: make one call at a time.
 *  5. Arguments are read during the call and never retained.
 *  6. Text is UTF-8. Text and labels that are not valid UTF-8 are refused.
 *  7. Durability. Every call that changes the history has written the whole
 *     index (and any image file) to disk before it returns, through a
 *     temporary file and an atomic rename; nothing is left to flush, and
 *     there is no shutdown call.
 *
 * The store directory must be a directory of the history's own:
 * clip_wipe() deletes every file in it, whoever made the file.
 */
#ifndef QUILLMAR_CLIP_H
#define QUILLMAR_CLIP_H

#if defined(_WIN32)
#if defined(QUILLMAR_CLIP_BUILD)
#define QUILLMAR_CLIP_API __declspec(dllexport)
#else
#define QUILLMAR_CLIP_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define QUILLMAR_CLIP_API __attribute__((visibility("default")))
#else
#define QUILLMAR_CLIP_API
#endif

#define QUILLMAR_CLIP_VERSION_MAJOR 1
#define QUILLMAR_CLIP_VERSION_MINOR 0
#define QUILLMAR_CLIP_VERSION_PATCH 0

/* Limits, in bytes or clips. */
#define CLIP_TEXT_CAP 1048576      /* longest text stored; longer ones are cut */
#define CLIP_IMAGE_CAP 10485760    /* largest image accepted */
#define CLIP_MAX_UNPINNED 500      /* unpinned clips kept; older ones are evicted */
#define CLIP_MAX_PINNED 200        /* pinned clips allowed */
#define CLIP_PREVIEW_CHARS 120     /* longest text preview */
#define CLIP_DEFAULT_LIMIT 50      /* page size when a limit of 0 or less is given */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Opens the store directory store_dir (creating its last component when
 * missing, with mode 0700) and loads its index, or writes a fresh one.
 * A damaged index is set aside as "clips.json.corrupt.<seconds>" and the
 * history starts empty; that is a success. May be called again at any time,
 * with the same or another directory. Paths longer than 4095 bytes are cut.
 * Returns 1, or 0 with a message; after a failure other than a NULL or empty
 * store_dir, the library is not initialised.
 */
QUILLMAR_CLIP_API int clip_init(const char *store_dir);

/*
 * Adds a text clip (NUL-terminated UTF-8, cut to CLIP_TEXT_CAP bytes at a
 * character boundary). Returns {"id":N,"dedup":0} for a new clip, or
 * {"id":N,"dedup":1} with the newest clip's id when the text repeats it.
 * Caller frees the result with clip_free_string(). NULL on failure.
 */
QUILLMAR_CLIP_API char *clip_push_text(const char *text);

/*
 * Adds an image clip of len bytes (1 to CLIP_IMAGE_CAP; the bytes are stored
 * unchanged in "img_<id>.png") with an optional UTF-8 label (may be NULL).
 * Returns {"id":N} for a new clip, or {"id":N,"dedup":1} when the bytes
 * repeat the newest clip. Caller frees the result with clip_free_string().
 * NULL on failure.
 */
QUILLMAR_CLIP_API char *clip_push_image(const unsigned char *png, int len,
                                        const char *label);

/*
 * A page of clip summaries, newest first: a JSON array of
 * {"id","ts","kind","preview","pinned"} objects, skipping the offset newest
 * clips and holding at most limit of them (CLIP_DEFAULT_LIMIT when limit is
 * 0 or less; a negative offset counts as 0). Caller frees the result with
 * clip_free_string(). NULL on failure.
 */
QUILLMAR_CLIP_API char *clip_list(int offset, int limit);

/*
 * The content of clip id: for a text clip its text, byte for byte (not JSON);
 * for an image clip {"image_path":P,"label":L} ("label" only when the clip has
 * one). Caller frees the result with clip_free_string(). NULL on failure,
 * including when no clip has the id.
 */
QUILLMAR_CLIP_API char *clip_get(int id);

/*
 * Pins clip id (pinned non-zero) or unpins it (pinned 0). Pinned clips are
 * never evicted; pinning a further clip fails while CLIP_MAX_PINNED are
 * pinned. Returns 1, or 0 with a message.
 */
QUILLMAR_CLIP_API int clip_pin(int id, int pinned);

/*
 * Deletes clip id, with its image file. Returns 1, or 0 with a message.
 */
QUILLMAR_CLIP_API int clip_delete(int id);

/*
 * Text clips whose text contains query, ignoring the case of A-Z, best first:
 * a JSON array of {"id","ts","kind","preview","pinned","score"} objects, at
 * most limit of them (CLIP_DEFAULT_LIMIT when limit is 0 or less). The empty
 * query matches every text clip. Caller frees the result with
 * clip_free_string(). NULL on failure.
 */
QUILLMAR_CLIP_API char *clip_search(const char *query, int limit);

/*
 * Deletes every file in the store directory (whatever its name: the store
 * directory must be the history's own), empties the history and writes a
 * fresh index; ids start again at 1. Subdirectories are left alone.
 * Returns 1, or 0 with a message.
 */
QUILLMAR_CLIP_API int clip_wipe(void);

/*
 * The message of the last failed call, or "" when the last call succeeded.
 * Never NULL. Owned by the library: do not free it, and copy it before the
 * next call if you need it.
 */
QUILLMAR_CLIP_API const char *clip_last_error(void);

/*
 * Releases a string returned by this library. NULL does nothing.
 */
QUILLMAR_CLIP_API void clip_free_string(char *s);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMAR_CLIP_H */
