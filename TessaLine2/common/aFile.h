#pragma once
// Buffered files behind a checked handle. Used by the library and by the application for
// firmware files, settings files and the store, so the error codes below reach the user.
//
// A handle is not locked internally: one thread at a time per handle.

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Open modes.
typedef uint32_t aFileMode;
inline constexpr aFileMode aFileModeRead = 0;    // "rb"
inline constexpr aFileMode aFileModeWrite = 1;   // "wb": created or truncated
inline constexpr aFileMode aFileModeAppend = 2;  // "ab+": read anywhere, write at the end

// Seek origins.
inline constexpr int aSeekStart = 0;
inline constexpr int aSeekCurrent = 1;
inline constexpr int aSeekEnd = 2;

// Longest path the file functions accept.
inline constexpr size_t aFILE_MAX_PATH = 4096;

struct aFile;
typedef aFile* aFileRef;

// True when `path` can be examined and is not a directory. False for a null path, a path longer
// than aFILE_MAX_PATH, a missing entry or a directory.
bool aFile_Exists(const char* path);

// Opens `path` in `mode`. Returns a heap handle that the caller closes with aFile_Close, or null.
// When `error` is given it receives the reason of a failure (aErrNone on success):
// aErrParam for a null or empty path, aErrFileNameLength for a path longer than aFILE_MAX_PATH,
// aErrMode for an unknown mode; in read mode any open failure (a directory included) is
// aErrNotFound; in write and append mode aErrPermission (access denied), aErrBusy (busy) or
// aErrIO (anything else).
aFileRef aFile_Open(const char* path, aFileMode mode, aErr* error = nullptr);

// Closes the stream, frees the handle and sets `*file` to null (also when the handle was
// invalid). aErrParam for a null or invalid handle; aErrIO when buffered output could not be
// written out while closing (the handle is released all the same).
aErr aFile_Close(aFileRef* file);

// Reads up to `length` bytes into `buffer`; `count` (optional) receives the number read.
// aErrMode in write mode; aErrParam for an invalid handle or null buffer; aErrEOF when nothing
// could be read for a non-zero request.
aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count);

// Writes `length` bytes of `data`; `count` (optional) receives the number written.
// aErrMode in read mode; aErrParam for an invalid handle or null data; aErrIO when nothing could
// be written for a non-zero request.
aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count);

// Moves the position by `offset` from `origin` (aSeekStart, aSeekCurrent, aSeekEnd). The new
// position must lie between 0 and the file size inclusive, else aErrRange and the position is
// unchanged. aErrParam for an invalid handle or origin; aErrIO when the position or the size
// cannot be found or set.
aErr aFile_Seek(aFileRef file, int64_t offset, int origin);

// The file size in bytes; the position is kept. aErrIO (size 0) when it cannot be found;
// aErrParam for an invalid handle or null output.
aErr aFile_GetSize(aFileRef file, size_t* size);

// The current position (0 at the start). aErrIO (position 0) when it cannot be read;
// aErrParam for an invalid handle or null output.
aErr aFile_GetPosition(aFileRef file, size_t* position);

// Reads one line, newline kept, of at most `size` - 1 characters into `buffer` as a string.
// The buffer is emptied and `length` (optional) set to 0 first; on return `length` holds the
// string length read. aErrMode in write mode; aErrParam for an invalid handle, a null buffer or
// a size below 2; aErrEOF at end of file with nothing read; aErrIO on a read error; aErrOverrun
// when the buffer filled before the line ended (the next call continues the same line).
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

// Switches a write or append stream to unbuffered output. aErrMode in read mode or when the
// stream refuses; aErrParam for an invalid handle.
aErr aFile_SetUnbuffered(aFileRef file);

// printf-style output. aErrMode in read mode; aErrParam for an invalid handle or null format;
// aErrIO when the output fails.
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Removes the file `path` (never a directory). aErrParam for a null path, aErrFileNameLength for
// a path longer than aFILE_MAX_PATH, aErrNotFound when it does not exist, aErrPermission when
// access is denied, aErrIO otherwise.
aErr aFile_Delete(const char* path);
